// Adjustment and fill bodies: versions that warn or fail, the curve forms per colour mode, the
// unknown-key warnings of the descriptor bodies, block framing on save, and cut-short bodies.
#include <gtest/gtest.h>

#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "tests/support/ChangeSets.h"
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

// Equal trees, numbers within float precision.
bool SameNumbers(nlohmann::json const& a, nlohmann::json const& b) {
    if (a.is_number() && b.is_number())
        return std::fabs(a.get<double>() - b.get<double>()) <=
               1e-6 * std::max(1.0, std::fabs(b.get<double>()));
    if (a.is_structured() && b.is_structured() && a.size() == b.size() && a.type() == b.type()) {
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
            if ((a.is_object() && ia.key() != ib.key()) || !SameNumbers(*ia, *ib)) return false;
        return true;
    }
    return a == b;
}

// Changes in the names and units of the adjustments' JSON: set on a copy, read back the same from
// the body a save writes, and refused whole when a field is unknown or out of range.
TEST(AdjustmentChanges, SetInTheirUnitsAndSavedSo) {
    using nlohmann::json;
    struct Case {
        char const* key;
        char const* changes;
        char const* fault;  // null: accepted
    } const cases[] = {
        {"SoCo",
         R"({"color": {"model": "rgb", "values": [200, 100, 50]}, "kind": "solidcolorfill"})",
         nullptr},
        {"SoCo", R"({"kind": "levels"})", "\"kind\" of solidcolorfill is not a field"},
        {"levl", R"({"channels": [{"input": [10, 240], "output": [5, 250], "gamma": 1.5}]})",
         nullptr},
        {"levl", R"({"channels": [{"input": [200, 100], "output": [0, 255], "gamma": 1}]})",
         "must be a list of at most 29"},
        {"brit", R"({"brightness": 40, "contrast": -20, "use_legacy": false})", nullptr},
        {"brit", R"({"brightness": 151})", "must be a whole number from -150 to 150"},
        {"thrs", R"({"level": 90})", nullptr},
        {"post", R"({"levels": 1})", "from 2 to 255"},
        {"expA", R"({"exposure": 1.5, "offset": -0.1, "gamma": 0.8})", nullptr},
        {"blnc", R"({"midtones": [10, -20, 30], "preserve_luminosity": false})", nullptr},
        {"blnc", R"({"shadows": [10, 20]})", "must be a list of 3 numbers"},
        {"hue2", R"({"colorize": true, "colorization": [200, 40, -10], "master": [-30, 20, 5]})",
         nullptr},
        {"hue2", R"({"master": [200, 0, 0]})", "must be [hue -180 to 180"},
        {"mixr", R"({"monochrome": true, "channels": [[40, 40, 20, 0, 0]]})", nullptr},
        {"selc", R"({"method": "absolute", "records": [[0, 0, 0, 0], [10, -10, 20, -20]]})",
         nullptr},
        {"selc", R"({"method": "sideways"})", "must be one of \"relative\", \"absolute\""},
        {"vibA", R"({"vibrance": 30, "saturation": -15})", nullptr},
        {"blwh", R"({"red": 50, "magenta": 120, "use_tint": true,
                     "tint_color": {"model": "rgb", "values": [225, 211, 179]}})",
         nullptr},
        {"grdm", R"({"reverse": true, "gradient": {"name": "Map", "noise": false,
                     "smoothness": 100, "color_stops": [
                     {"location": 0, "midpoint": 50, "type": "UsrS",
                      "color": {"model": "rgb", "values": [0, 0, 255]}},
                     {"location": 4096, "midpoint": 40, "type": "UsrS",
                      "color": {"model": "rgb", "values": [255, 255, 0]}}],
                     "transparency_stops": [{"location": 0, "midpoint": 50, "opacity": 100},
                                            {"location": 4096, "midpoint": 50, "opacity": 100}]}})",
         nullptr},
        {"grdm", R"({"gradient": {"color_stops": [{"location": 0, "type": "FrgC", "color": null},
                     {"location": 9, "color": {"model": "rgb", "values": [0, 0, 0]}}]}})",
         "must give every colour stop a colour"},
        {"GdFl", R"({"type": "radial", "gradient": {"name": "Fill", "noise": false,
                     "smoothness": 25, "color_stops": [
                     {"location": 100, "midpoint": 50, "type": "BckC", "color": null},
                     {"location": 4000, "midpoint": 50, "type": "UsrS",
                      "color": {"model": "rgb", "values": [10, 20, 30]}}],
                     "transparency_stops": [{"location": 0, "midpoint": 50, "opacity": 0},
                                            {"location": 4096, "midpoint": 50, "opacity": 100}]}})",
         nullptr},
        // Curves read from a block holding the composite curve only.
        {"curv", R"({"channels": [{"channel": 0, "points": [[0, 30], [255, 200]]},
                                  {"channel": 2, "points": [[0, 10], [128, 100], [255, 250]]}]})",
         nullptr},
        {"curv", R"({"channels": [{"channel": 4, "points": [[0, 0], [255, 255]]}]})",
         "\"channel\": 0 to 3"},
        {"curv", R"({"channels": [{"channel": 1, "points": [[0, 0], [0, 255]]}]})",
         "inputs all different"},
        {"curv", R"({"channels": [{"channel": 1, "points": [[0, 0]]}]})", "2 to 19"},
        {"curv", R"({"map": true})", "\"map\" of curves is not a field"},
        {"PtFl", R"({"pattern": {"name": "Water", "id": "2ab8ff7f"}, "scale": 50})", nullptr},
        {"phfl", R"({"color": {"model": "lab", "values": [60, 20, -30]}, "density": 40})", nullptr},
        {"nvrt", R"({"level": 3})", "\"level\" of invert is not a field"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.changes);
        uint32_t key4 = uint32_t(uint8_t(c.key[0])) << 24 | uint32_t(uint8_t(c.key[1])) << 16 |
                        uint32_t(uint8_t(c.key[2])) << 8 | uint8_t(c.key[3]);
        auto a = PSDAdjustment::Create(key4);
        if (key4 == Key("curv")) {
            Bytes body;
            body.U8(0).U16(1).U16(0).U16(1).U16(2).U16(0).U16(0).U16(255).U16(255);
            Read read = ReadBody(key4, body);
            ASSERT_TRUE(read.ok);
            a = read.adjustment;
        }
        ASSERT_TRUE(a);
        json changes = json::parse(c.changes);
        auto changed = testsupport::ApplyChangeSet(*a, changes, c.fault, AdjustmentJson,
                                                   AdjustmentWithChanges);
        if (!changed) continue;
        auto after = AdjustmentJson(*changed);
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(changed->SaveI(*out, SaveData{}));
        Read back = ReadBody(key4, out->TakeData());
        ASSERT_TRUE(back.ok) << back.error();
        // The extra block after the body ("CgEd": signature, key, length, descriptor).
        auto extra = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(changed->SaveExtraDataI(*extra, SaveData{}));
        if (extra->GetData().size() > 12) {
            auto in = Kernel::MemoryInStream::Create(extra->GetData().data() + 12,
                                                     extra->GetData().size() - 12);
            ParseData pd;
            ASSERT_TRUE(back.adjustment->ParseExtraData(*in, pd));
        }
        auto read = AdjustmentJson(*back.adjustment);
        for (auto const& [key, value] : changes.items()) {
            json got = json::parse((after[key].is_object() && after[key].contains("values")
                                        ? after[key]["values"]
                                        : after[key])
                                       .dump());
            json want = value.is_object() && value.contains("values") ? value["values"] : value;
            // Record lists replace the first records only.
            if (want.is_array() && got.size() > want.size())
                got.erase(got.begin() + long(want.size()), got.end());
            EXPECT_TRUE(SameNumbers(got, want))
                << key << ": " << got.dump() << " for " << want.dump();
            EXPECT_EQ(read[key], after[key]) << key;
        }
    }
}
