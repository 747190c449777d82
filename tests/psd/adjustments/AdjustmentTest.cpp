// Adjustment and fill bodies: versions that warn or fail, the curve forms per colour mode, the
// unknown-key warnings of the descriptor bodies, block framing on save, and cut-short bodies.
#include <gtest/gtest.h>

#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "tests/support/Cuts.h"
#include "tests/support/MinimalDocument.h"

namespace {

using namespace PSD;
using testsupport::Bytes;

struct Read {
    bool ok = false;
    Kernel::Counted<PSDAdjustment> adjustment;
    PSDReport report;
    std::string warnings() const { return report.m_warnings ? std::string(report.m_warnings->Report()) : ""; }
    int error() const { return report.m_error ? int(report.m_error->GetCode()) : -1; }
};

Read ReadBody(uint32_t key, std::vector<uint8_t> const& body, ColourMode mode = ColourMode::RGB) {
    Read r;
    r.adjustment = PSDAdjustment::Create(key);
    ParseData pd;
    pd.m_colourMode = uint32_t(mode);
    pd.m_report.m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    auto in = Kernel::MemoryInStream::Create(body);
    r.ok = r.adjustment->Parse(*in, pd);
    r.report = pd.m_report;
    return r;
}

Bytes DescriptorBody(Descriptor const& d) {
    auto out = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_TRUE(d.Save(*out, ByteOrderFixer{}));
    Bytes b;
    b.Append(out->TakeData());
    return b;
}

Bytes CurvePoints(std::initializer_list<std::pair<int, int>> points) {
    Bytes b;
    b.U16(uint16_t(points.size()));
    for (auto [out, in] : points) b.U16(uint16_t(out)).U16(uint16_t(in));
    return b;
}

TEST(Adjustment, VersionsAndForms) {
    struct Case {
        char const* name;
        char const* key;
        Bytes body;
        ColourMode mode;
        bool ok;
        int error;             // -1 for none
        std::string warnings;  // the report's warning text
        std::string json;      // a part the JSON must hold, empty for none
    };
    Bytes identity;
    for (int i = 0; i < 256; ++i) identity.U8(uint8_t(i));
    // One red stop, no transparency stops, the trailer's required words.
    Bytes ramp = Bytes().U32(0).U16(1).U32(0).U32(50).U16(0).U16(0xFFFF).Zeros(6).U16(0).U16(0);
    ramp.U16(2).U16(16).U16(32).Zeros(34);
    Case const cases[] = {
        {"levels of version 1", "levl", Bytes().U16(1).Zeros(290), ColourMode::RGB, true, -1,
         "Unknown Levels Adjustment version : 1\n", "\"unread\":true"},
        {"curves of version 2", "curv", Bytes().U8(0).U16(2), ColourMode::RGB, true, -1,
         "Unknown Curves Adjustment version : 2\n", ""},
        {"photo filter of version 4", "phfl", Bytes().U16(4), ColourMode::RGB, false,
         int(PSDError::kUnknownPhotoFilterVersion), "", ""},
        {"invert without a body", "nvrt", Bytes(), ColourMode::RGB, true, -1, "", "\"invert\""},
        // Bits 0 and 2: the composite curve and the green one.
        {"curves 0 and 2 of an RGB document", "curv",
         Bytes()
             .U8(0)
             .U16(1)
             .U16(0)
             .U16(5)
             .Append(CurvePoints({{0, 0}, {255, 255}}))
             .Append(CurvePoints({{10, 0}, {128, 100}, {250, 255}})),
         ColourMode::RGB, true, -1, "",
         R"("channels":[{"channel":0,"points":[[0,0],[255,255]]},{"channel":2,"points":[[0,10],[100,128],[255,250]]}])"},
        {"an identity table is two points", "curv",
         Bytes().U8(1).U16(1).U16(0).U16(1).Append(identity), ColourMode::Grayscale, true, -1, "",
         R"("points":[[0,0],[255,255]])"},
        {"curves in an indexed document", "curv", Bytes().U8(0).U16(1).U16(0).U16(0),
         ColourMode::Indexed, false, int(PSDError::kParsing), "", ""},
        {"a curve index past the curves", "curv",
         Bytes().U8(0).U16(4).U16(0).U16(1).U16(5).Append(CurvePoints({{0, 0}})), ColourMode::CMYK,
         false, int(PSDError::kParsing), "", ""},
        {"CMYK curves by record", "curv",
         Bytes().U8(0).U16(4).U16(0).U16(1).U16(4).Append(CurvePoints({{3, 4}})), ColourMode::CMYK,
         true, -1, "", R"("channel":4,"points":[[4,3]])"},
        {"gradient map of version 3 says how its colours mix", "grdm",
         Bytes().U16(3).U8(1).U8(0).Str("Perc").Append(ramp), ColourMode::RGB, true, -1, "",
         R"("interpolation":"Perc")"},
        {"gradient map of version 2", "grdm", Bytes().U16(2).Append(ramp), ColourMode::RGB, true,
         -1, "Unknown Gradient Map Adjustment version : 2\n", "\"unread\":true"},
        {"hue/saturation of version 1", "hue2", Bytes().U16(1), ColourMode::RGB, true, -1,
         "Unknown HSL Shift Adjustment version : 1\n", ""},
        {"brightness/contrast record", "brit", Bytes().U16(uint16_t(-20)).U16(30).U16(127).U8(1),
         ColourMode::RGB, true, -1, "",
         R"("brightness":-20,"contrast":30,"mean":127,"lab":true,"use_legacy":true)"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t key = uint32_t(uint8_t(c.key[0])) << 24 | uint32_t(uint8_t(c.key[1])) << 16 |
                       uint32_t(uint8_t(c.key[2])) << 8 | uint8_t(c.key[3]);
        Read r = ReadBody(key, c.body, c.mode);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.error(), c.error);
        EXPECT_EQ(r.warnings(), c.warnings);
        if (!c.json.empty() && r.ok) {
            EXPECT_NE(AdjustmentJson(*r.adjustment).dump().find(c.json), std::string::npos)
                << AdjustmentJson(*r.adjustment).dump();
        }
        // Cut short anywhere, a body that reads fails as truncated.
        if (c.ok && r.warnings().empty())
            testsupport::ExpectEveryCutTruncated(c.body, [&](std::vector<uint8_t> const& part) {
                Read cut = ReadBody(r.adjustment->GetKey(), part, c.mode);
                return cut.ok ? -1 : cut.error();
            });
    }
}

TEST(Adjustment, SavedBlocks) {
    SaveData sd;
    auto saved = [&](PSDAdjustment const& a) {
        auto out = Kernel::MemoryInOutStreamBase::Create();
        EXPECT_TRUE(a.Save(*out, sd));
        return out->TakeData();
    };
    // Seven bytes padded to eight, inside the length; then the settings descriptor.
    PSDAdjustmentBrightnessContrast brit;
    brit.m_brightness = 5;
    auto b = saved(brit);
    ASSERT_GE(b.size(), 32u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "8BIMbrit");
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 8, b.begin() + 20),
              (std::vector<uint8_t>{0, 0, 0, 8, 0, 5, 0, 0, 0, 127, 0, 0}));
    EXPECT_EQ(std::string(b.begin() + 20, b.begin() + 28), "8BIMCgEd");
    size_t extra = size_t(b[28]) << 24 | size_t(b[29]) << 16 | size_t(b[30]) << 8 | b[31];
    EXPECT_EQ(extra % 4, 0u);
    EXPECT_EQ(b.size(), 32 + extra);

    // The older hue/saturation key is written back under itself.
    auto hue = PSDAdjustment::Create(Key("hue "));
    EXPECT_EQ(hue->GetKey(), Key("hue "));
    EXPECT_EQ(PSDAdjustment::Create(Key("hue2"))->GetKey(), Key("hue2"));

    // A solid fill reads with one warning per key it does not take, and writes one item.
    Descriptor d(DescriptorKey::Code(Key("null")));
    ASSERT_TRUE(EncodeColor(d, DescriptorKey::Code(Key("Clr ")),
                            Renderer::ColourRGB::Create(Renderer::RGBA8{1, 2, 3, 255}, 1, 1, {})));
    ASSERT_TRUE(EncodeInteger(d, DescriptorKey::Code(Key("Xtra")), 1));
    Read r = ReadBody(Key("SoCo"), DescriptorBody(d));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.warnings(), "Unknown property : AdjustmentSolidColor,Xtra\n");
    auto out = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(r.adjustment->SaveI(*out, sd));
    Read again = ReadBody(Key("SoCo"), out->TakeData());
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.warnings(), "");
    EXPECT_EQ(AdjustmentJson(*again.adjustment), AdjustmentJson(*r.adjustment));

    // A pattern fill reads without warnings.
    Descriptor pattern(DescriptorKey::Code(Key("null")));
    ASSERT_TRUE(EncodeUnit(pattern, DescriptorKey::Code(Key("Scl ")), DescriptorItemUnitFloat::Percent, 50));
    Read p = ReadBody(Key("PtFl"), DescriptorBody(pattern));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.warnings(), "");
    EXPECT_EQ(AdjustmentJson(*p.adjustment)["scale"], 50.0);
}

}  // namespace
