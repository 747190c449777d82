// Hand-built image resource sections for the resource reader and writer tests.
#pragma once

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"
#include "support/MinimalDocument.h"

namespace resourcetest {

using testsupport::Bytes;

// One block: signature, identifier, name padded to even length, size, data, pad byte.
inline Bytes Block(uint16_t id, std::vector<uint8_t> const& data, std::string const& name = {},
                   std::string const& signature = "8BIM") {
    Bytes b;
    b.Str(signature).U16(id).U8(uint8_t(name.size())).Str(name);
    if ((name.size() + 1) % 2) b.U8(0);
    b.U32(uint32_t(data.size())).Append(data);
    if (data.size() % 2) b.U8(0);
    return b;
}

inline Bytes Pascal(std::string const& s) {
    Bytes b;
    b.U8(uint8_t(s.size())).Str(s);
    return b;
}

// The section: its 32-bit length and the blocks.
inline Bytes Section(std::vector<uint8_t> const& blocks) {
    Bytes b;
    b.U32(uint32_t(blocks.size())).Append(blocks);
    return b;
}

// A document ready to read resources into: colour mode and channel count as a header gives them.
inline Kernel::Counted<PSD::PSDFile> NewDocument(uint32_t mode = 3, uint16_t channels = 3) {
    Kernel::Counted<PSD::PSDFile> doc(new PSD::PSDFile);
    doc->m_colourMode = mode;
    doc->m_channelCount = channels;
    doc->m_width = 100;
    doc->m_height = 80;
    doc->m_warnings = Kernel::MakeCounted<PSD::PSDWarnings>();
    return doc;
}

inline PSD::ParseData NewContext(PSD::PSDFile const& doc) {
    PSD::ParseData pd(true, true, PSD::CreateOptions{}, doc.m_warnings);
    pd.m_colourMode = doc.m_colourMode;
    pd.m_colourChannels = uint16_t(PSD::ColourChannelCount(doc.m_colourMode, false));
    pd.m_width = doc.m_width;
    pd.m_height = doc.m_height;
    return pd;
}

// The blocks of written resource data as (id, data), in order; they must fill the bytes.
inline std::vector<std::pair<uint16_t, std::vector<uint8_t>>> Blocks(std::vector<uint8_t> const& b,
                                                                     size_t pos = 0) {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> out;
    while (pos + 12 <= b.size()) {
        size_t nameLen = b[pos + 6];
        size_t at = pos + 7 + nameLen + ((nameLen + 1) % 2);
        uint32_t size = uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 |
                        uint32_t(b[at + 2]) << 8 | b[at + 3];
        out.emplace_back(uint16_t(b[pos + 4] << 8 | b[pos + 5]),
                         std::vector<uint8_t>(b.begin() + long(at + 4),
                                              b.begin() + long(std::min(b.size(), at + 4 + size))));
        pos = at + 4 + size + (size & 1);
    }
    EXPECT_EQ(pos, b.size()) << "blocks do not fill the data";
    return out;
}

inline std::vector<uint16_t> BlockIds(std::vector<uint8_t> const& b, size_t pos = 0) {
    std::vector<uint16_t> ids;
    for (auto const& [id, data] : Blocks(b, pos)) ids.push_back(id);
    return ids;
}

// The data of the first block with this id; empty when absent.
inline std::vector<uint8_t> BlockData(std::vector<uint8_t> const& b, uint16_t id) {
    for (auto const& [i, data] : Blocks(b))
        if (i == id) return data;
    return {};
}

// Made once: Little CMS stamps a new profile with the time, so two made a second apart differ.
inline std::vector<uint8_t> SRGBProfileBytes() {
    static std::vector<uint8_t> const bytes = [] {
        cmsHPROFILE p = cmsCreate_sRGBProfile();
        cmsUInt32Number size = 0;
        cmsSaveProfileToMem(p, nullptr, &size);
        std::vector<uint8_t> out(size);
        cmsSaveProfileToMem(p, out.data(), &size);
        cmsCloseProfile(p);
        return out;
    }();
    return bytes;
}

// Writes the document's resources with the section writer and reads them into a fresh document.
inline Kernel::Counted<PSD::PSDFile> WriteAndRead(PSD::PSDFile const& doc,
                                                  std::vector<uint8_t>* written = nullptr) {
    auto out = Kernel::MemoryInOutStreamBase::Create();
    PSD::SaveData sd;
    sd.m_colourMode = doc.m_colourMode;
    sd.m_width = doc.m_width;
    sd.m_height = doc.m_height;
    sd.m_depth = doc.m_depth;
    EXPECT_TRUE(doc.SaveImageResources(*out, sd));
    if (written) *written = out->GetData();
    auto back = NewDocument(doc.m_colourMode, doc.m_channelCount);
    back->m_width = doc.m_width;
    back->m_height = doc.m_height;
    back->m_mergedTransparency = doc.m_mergedTransparency;
    auto pd = NewContext(*back);
    EXPECT_TRUE(out->Seek(0));
    EXPECT_TRUE(
        back->ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable>(out.Get()), pd))
        << (pd.m_report.m_error ? std::string(pd.m_report.m_error->Report()) : std::string());
    EXPECT_EQ(out->GetPosition(), out->GetSize());
    return back;
}

// A colour's values in its own model.
inline std::vector<double> Components(Renderer::Colour const& c) {
    switch (c.GetModel()) {
        case Renderer::ColourModel::RGB: {
            auto x = dynamic_cast<Renderer::ColourRGB const&>(c).GetRGBA16();
            return {double(x.r), double(x.g), double(x.b)};
        }
        case Renderer::ColourModel::CMYK: {
            auto x = dynamic_cast<Renderer::ColourCMYK const&>(c).GetCMYKA8();
            return {double(x.c), double(x.m), double(x.y), double(x.k)};
        }
        case Renderer::ColourModel::LAB: {
            auto x = c.ToLABA16();
            return {double(x.l), double(x.a), double(x.b)};
        }
        case Renderer::ColourModel::HSL: {
            auto x = c.ToHSLAF();
            return {x.h, x.s, x.l};
        }
        default:
            return {double(c.ToGray16())};
    }
}

// Colours are equal when they hold the same values in the same model (HSL within float rounding).
inline void ExpectSameColour(Renderer::Colour const* a, Renderer::Colour const* b) {
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a) return;
    ASSERT_EQ(a->GetModel(), b->GetModel());
    auto x = Components(*a), y = Components(*b);
    ASSERT_EQ(x.size(), y.size());
    for (size_t i = 0; i < x.size(); ++i)
        EXPECT_NEAR(x[i], y[i], a->GetModel() == Renderer::ColourModel::HSL ? 1e-4 : 0) << i;
}

// The settings the written resources carry, compared field by field. Alpha channel names are
// compared by the caller, as the writer may name channels that had no name; the caption and the
// clipping path name are not among the blocks written.
inline void ExpectSameSettings(PSD::PSDFile const& a, PSD::PSDFile const& b) {
    // The writer orders guides by location: the same guides, possibly in another order.
    auto sorted = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    auto facts = [&](PSD::PSDFile const& d) {
        auto const& j = d.m_jpeg;
        return std::tuple(d.m_unitConverter ? d.m_unitConverter->GetResolution() : -1.0,
                          sorted(d.m_horizontalGuides), sorted(d.m_verticalGuides),
                          d.m_globalLightAngle, d.m_globalLightAltitude, d.m_hasRealMergedData,
                          d.m_iccProfile ? d.m_iccProfile->GetData() : std::vector<uint8_t>(),
                          j.present, j.present ? j.quality : 0, j.present ? int(j.method) : 0,
                          j.present ? j.scans : 0);
    };
    EXPECT_EQ(facts(a), facts(b));
    ExpectSameColour(a.m_backgroundColour.Get(), b.m_backgroundColour.Get());
}

}  // namespace resourcetest
