// The string and number forms of resources, read and written.
#include <gtest/gtest.h>

#include "psd/file/ImageResourcesTestSupport.h"
#include "psd/file/PSDResourceIO.h"
#include "support/OneByteStream.h"

using namespace resourcetest;

namespace {

std::vector<uint8_t> WrittenUnicode(PSD::String const& text, bool swap = true) {
    auto out = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_TRUE(PSD::WriteUnicodeString(*out, PSD::ByteOrderFixer{swap}, text));
    return out->GetData();
}

TEST(ImageResourcesValues, UnicodeStringsRoundTrip) {
    for (PSD::String text :
         {PSD::String(""), PSD::String("Adobe Photoshop"), PSD::String("\xC3\xA9t\xC3\xA9"),
          PSD::String("\xF0\x9F\x98\x80 emoji"), PSD::String(std::string(3000, 'z'))}) {
        for (bool swap : {true, false}) {
            auto bytes = WrittenUnicode(text, swap);
            auto in = Kernel::MemoryInStream::Create(bytes);
            PSD::PSDLoadData ld(swap);
            PSD::String back;
            ASSERT_TRUE(PSD::ReadUnicodeString(*in, back, ld));
            EXPECT_EQ(back, text);
            EXPECT_EQ(in->GetPosition(), bytes.size());
            // Handed out one byte at a time, through the block reader's own stream.
            testsupport::OneByteInStream trickle(bytes);
            PSD::PSDLoadData ld2(swap);
            PSD::String slow;
            auto view = Kernel::ForwardBiasedSeekableInStream::Create(trickle);
            ASSERT_TRUE(PSD::ReadUnicodeString(*view, slow, ld2));
            EXPECT_EQ(slow, text);
        }
    }
}

TEST(ImageResourcesValues, UnicodeStringsCutAtEveryOffsetAreTruncated) {
    auto bytes = WrittenUnicode("Adobe Photoshop CS6");
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        auto in = Kernel::MemoryInStream::Create(
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
        PSD::PSDLoadData ld;
        PSD::String out;
        EXPECT_FALSE(PSD::ReadUnicodeString(*in, out, ld)) << cut;
        ASSERT_TRUE(ld.m_report.m_error);
        EXPECT_EQ(ld.m_report.m_error->GetCode(), PSD::PSDError::kTruncated);
    }
    // A count of four billion units over four bytes of data.
    auto in = Kernel::MemoryInStream::Create(Bytes().U32(0xFFFFFFFF).U16('a').U16('b'));
    PSD::PSDLoadData ld;
    PSD::String out;
    EXPECT_FALSE(PSD::ReadUnicodeString(*in, out, ld));
    EXPECT_EQ(ld.m_report.m_error->GetCode(), PSD::PSDError::kTruncated);
}

TEST(ImageResourcesValues, FixedValues) {
    struct Case {
        uint32_t stored;
        float value;
    } cases[] = {{0x00480000, 72.0f},
                 {0x00488000, 72.5f},
                 {0xFFFF8000, -0.5f},
                 {0x80000000, -32768.0f},
                 {0, 0.0f}};
    for (auto const& c : cases) {
        auto in = Kernel::MemoryInStream::Create(Bytes().U32(c.stored));
        PSD::PSDLoadData ld;
        float v = -1;
        ASSERT_TRUE(PSD::ReadFixedValue(*in, v, ld));
        EXPECT_EQ(v, c.value) << std::hex << c.stored;
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(PSD::WriteFixedValue(*out, PSD::ByteOrderFixer{true}, v));
        EXPECT_EQ(out->GetData(), Bytes().U32(c.stored)) << std::hex << c.stored;
    }
    for (size_t cut = 0; cut < 4; ++cut) {
        auto in = Kernel::MemoryInStream::Create(std::vector<uint8_t>(cut, 1));
        PSD::PSDLoadData ld;
        float v;
        EXPECT_FALSE(PSD::ReadFixedValue(*in, v, ld));
        EXPECT_EQ(ld.m_report.m_error->GetCode(), PSD::PSDError::kTruncated);
    }
}

}  // namespace
