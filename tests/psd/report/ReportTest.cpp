#include <gtest/gtest.h>

#include "psd/report/PSDReport.h"

using namespace PSD;

TEST(Report, ErrorFormatsDetailAndNumber) {
    EXPECT_EQ(PSDError(PSDError::kBadSignature, "ABCD").Report(), "Bad file signature : ABCD");
    EXPECT_EQ(PSDError(PSDError::kTruncated, "", 7).Report(), "The file appears to be truncated [7]");
    EXPECT_EQ(PSDError(PSDError::kUnsupportedVersion, "3", 9).Report(), "Unsupported PSD version : 3 [9]");
    EXPECT_EQ(PSDError(PSDError::kParsing).Report(), "Failed to parse the file");
    // Codes outside the table have no message, but keep their suffixes.
    EXPECT_EQ(PSDError(static_cast<PSDError::Code>(60), "X").Report(), " : X");
    EXPECT_EQ(PSDError(static_cast<PSDError::Code>(49)).Report(), "");
    EXPECT_EQ(PSDError(PSDError::kSolidFillBadData).Report(), "Solid Fill: Bad data");
}
