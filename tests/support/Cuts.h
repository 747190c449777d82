// The input cut short at every offset, for the readers' truncation tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "psd/report/PSDReport.h"

namespace testsupport {

// Reads each prefix of bytes shorter than the whole (from `from`, every `step`-th) with
// read(part), which returns the error code of its failure or -1 on success: each must fail as
// truncated.
template <class Read>
void ExpectEveryCutTruncated(std::vector<uint8_t> const& bytes, Read&& read, size_t from = 0,
                             size_t step = 1) {
    for (size_t cut = from; cut < bytes.size(); cut += step) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        EXPECT_EQ(read(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut))),
                  int(PSD::PSDError::kTruncated));
    }
}

// Reads the bytes with each byte from `from` on replaced by each of a few telling values (0, 0xFF,
// 0x80 and itself plus one) with read(bad, at), which tells whether they were accepted; a refusal
// must say why (read checks that). Both outcomes must occur: some bytes are free (names, fill
// values), others structural.
template <class Read>
void ExpectDamageAcceptedOrRefused(std::vector<uint8_t> const& bytes, Read&& read, size_t from = 0) {
    size_t accepted = 0, refused = 0;
    for (size_t at = from; at < bytes.size(); ++at) {
        SCOPED_TRACE("byte " + std::to_string(at));
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x80), uint8_t(bytes[at] + 1)}) {
            if (v == bytes[at]) continue;
            std::vector<uint8_t> bad = bytes;
            bad[at] = v;
            ++(read(bad, at) ? accepted : refused);
        }
    }
    EXPECT_GT(accepted, 0u);
    EXPECT_GT(refused, 0u);
}

// The error code a report holds, -1 for none.
inline int ErrorCodeOf(PSD::PSDReport const& r) {
    return r.m_error ? int(r.m_error->GetCode()) : -1;
}

}  // namespace testsupport
