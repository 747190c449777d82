// The layer writers: records, masks, blending ranges, names, tagged blocks, the 16- and 32-bit
// layer blocks and the channel list, checked by reading the saved document back.
#include <cmath>
#include <tuple>

#include "tests/psd/file/SaveTestSupport.h"
#include "tests/support/PixelDocument.h"
#include "tests/support/RoundTrip.h"

namespace {

using namespace savetest;
using PSD::PSDFile;
using PSD::PSDLayer;

// Mask pixels; float masks take multiples of 1/256 so that inverted ones come back exactly.
Kernel::Counted<Raster::DynamicBitmap> MaskPattern(uint32_t w, uint32_t h, Raster::Format f,
                                                   unsigned seed) {
    auto bm = Pattern(w, h, f, seed);
    if (f == Raster::Format::AF) {
        float* p = reinterpret_cast<float*>(bm->GetData());
        for (size_t i = 0; i < bm->GetDataSize() / 4; ++i)
            p[i] = float(uint32_t(std::fabs(p[i]) * 1000.0f) % 257) / 256.0f;
    }
    return bm;
}

Raster::Format MaskFormat(Raster::Format f) {
    switch (f) {
        case Raster::Format::RGBA16:
        case Raster::Format::IA16:
        case Raster::Format::LABA16:
        case Raster::Format::CMYKA16:
            return Raster::Format::A16;
        case Raster::Format::RGBAF:
        case Raster::Format::IAF:
            return Raster::Format::AF;
        default:
            return Raster::Format::A8;
    }
}

// A document with a bit of everything the writers write.
Kernel::Counted<PSDFile> Sample(Raster::Format f, bool psb) {
    auto doc = NewDoc(64, 48, psb, f);
    // An opaque composite: 32-bit documents cannot be saved without one.
    EXPECT_FALSE(doc->SetFlattenedBitmap(WithOpaqueAlpha(Pattern(64, 48, f, 10))));
    auto a = MakeLayer("Plain", 3, 5, Pattern(40, 30, f, 11));
    a->m_blendMode = PSD::BlendMode::Multiply;
    a->m_opacity = 200;
    a->m_fillOpacity = 90;
    a->m_clipping = true;
    a->m_transparencyProtected = true;
    a->m_lockPosition = true;
    a->m_lockComposite = true;
    a->m_sheetColour = 4;
    a->m_knockout = 2;
    a->m_blendClipped = false;
    a->m_blendInterior = true;
    a->m_transparencyShapes = false;
    a->m_alignedRendering = true;
    a->m_userMask = {.m_present = true,
                     .m_relative = true,
                     .m_defaultColour = 255,
                     .m_left = -4,
                     .m_top = 2,
                     .m_right = 20,
                     .m_bottom = 17};
    a->m_bitmapUserMask = MaskPattern(24, 15, MaskFormat(f), 12);
    a->m_maskParameters = 0x02;  // a feather of the pixel mask alone
    a->m_pixelMaskFeather = a->m_maskFeather = 4.5;
    a->m_layerMaskHidesEffects = true;

    auto groupEnd = MakeLayer("</Layer group>", 0, 0, nullptr);
    groupEnd->m_sectionType = PSDLayer::kGroupEnd;
    groupEnd->m_blendMode = PSD::BlendMode::PassThrough;  // what readers make of a group end

    auto inner = MakeLayer(
        "\xC3\x9C"
        "n\xC3\xAF"
        "code \xE2\x9C\x93 name",
        -10, -7, Pattern(17, 9, f, 13));
    inner->m_visible = false;
    inner->m_blendMode = PSD::BlendMode::Screen;
    inner->m_userMask = {.m_present = true,
                         .m_disabled = true,
                         .m_left = 1,
                         .m_top = 1,
                         .m_right = 9,
                         .m_bottom = 5};
    inner->m_bitmapUserMask = MaskPattern(8, 4, MaskFormat(f), 14);
    inner->m_realMask = inner->m_userMask;
    inner->m_realMask.m_invert = true;
    inner->m_realMask.m_defaultColour = 255;
    inner->m_realMask.m_right = 12;
    inner->m_bitmapRealMask = MaskPattern(11, 4, MaskFormat(f), 15);
    // Both masks' densities and feathers: the vector mask's follow the pixel mask's.
    inner->m_maskParameters = 0x0F;
    inner->m_pixelMaskDensity = 200, inner->m_pixelMaskFeather = 1.25;
    inner->m_maskDensity = 90, inner->m_maskFeather = 7;
    PSD::PSDBlendRangeSet set;
    for (int i = 0; i < 8; ++i) set.m_bytes[i] = uint8_t(i * 30);
    inner->m_blendRanges = {set, set, set};

    auto group = MakeLayer("Group", 0, 0, nullptr);
    group->m_sectionType = PSDLayer::kClosedGroup;
    group->m_sceneGroup = true;
    group->m_blendMode = PSD::BlendMode::PassThrough;

    EXPECT_TRUE(doc->AddLayer(a));
    EXPECT_TRUE(doc->AddLayer(groupEnd));
    EXPECT_TRUE(doc->AddLayer(inner));
    EXPECT_TRUE(doc->AddLayer(group));
    return doc;
}

// Every format as PSD and PSB, with ZIP and without: the layers above, extra channels, and the
// composite opaque or with merged transparency, all read back as they were saved; the header
// counts colour channels, the merged transparency and the extra channels, and only 32-bit RGB
// writes colour mode data (the HDR block).
TEST(SaveLayers, EveryFieldAndBitmapRoundTripsInEveryFormatAndVariant) {
    for (auto f :
         {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::RGBAF, Raster::Format::IA8,
          Raster::Format::IA16, Raster::Format::IAF, Raster::Format::CMYKA8,
          Raster::Format::CMYKA16, Raster::Format::LABA16}) {
        for (bool psb : {false, true}) {
            for (bool compress : {false, true}) {
                SCOPED_TRACE(std::string(Raster::FormatName(f)) + (psb ? " PSB" : " PSD") +
                             (compress ? " zip" : " rle"));
                auto doc = Sample(f, psb);
                bool transparent = psb != compress;
                if (transparent) {
                    EXPECT_TRUE(doc->SetFlattenedBitmap(Pattern(64, 48, f, 5)));
                }
                doc->SetMasks({MaskPattern(64, 48, MaskFormat(f), 6),
                               MaskPattern(64, 48, MaskFormat(f), 8)},
                              {"a", "b"});
                EXPECT_EQ(testsupport::RoundTripDifference(*doc, psb, compress), "");
                Saved s = SaveToMemory(*doc, psb, compress);
                ASSERT_TRUE(s.ok);
                bool hdr = f == Raster::Format::RGBAF;
                EXPECT_EQ(BE32(&s.bytes[26]), hdr ? 112u : 0u);
                if (hdr) {
                    EXPECT_EQ(std::string(s.bytes.begin() + 30, s.bytes.begin() + 34), "hdrt");
                    EXPECT_EQ(std::string(s.bytes.begin() + 104, s.bytes.begin() + 108), "hdra");
                }
                unsigned colours = PSD::ColourChannelCount(doc->m_colourMode, false);
                EXPECT_EQ(BE16(&s.bytes[12]), colours + transparent + 2);
            }
        }
    }
}

TEST(SaveLayers, DeepDocumentsKeepLayersInTheirOwnBlock) {
    for (auto [f, key] :
         {std::pair{Raster::Format::RGBA16, "Lr16"}, std::pair{Raster::Format::RGBAF, "Lr32"},
          std::pair{Raster::Format::CMYKA16, "Lr16"}, std::pair{Raster::Format::IAF, "Lr32"}}) {
        for (bool psb : {false, true}) {
            auto doc = Sample(f, psb);
            doc->SetFlattenedBitmap(Pattern(64, 48, f, 3));
            Saved s = SaveToMemory(*doc, psb, false);
            ASSERT_TRUE(s.ok);
            Bytes const& b = s.bytes;
            auto at = FindKey(b, key);
            ASSERT_EQ(at.size(), 1u) << key;
            size_t lengthSize = psb ? 8 : 4;
            auto length = [&](size_t pos) {
                return psb ? uint64_t(BE32(&b[pos])) << 32 | BE32(&b[pos + 4]) : BE32(&b[pos]);
            };
            // The layer info length in the section itself is zero.
            size_t resources = 26 + 4 + BE32(&b[26]);
            size_t section = resources + 4 + BE32(&b[resources]);
            EXPECT_EQ(length(section + lengthSize), 0u);
            // An empty global layer mask info, the empty merged-transparency marker
            // ("Mt16"/"Mt32"), then the layers, their length without their padding.
            EXPECT_EQ(BE32(&b[section + 2 * lengthSize]), 0u);
            auto mt = FindKey(s.bytes, std::string(key) == "Lr16" ? "Mt16" : "Mt32");
            ASSERT_EQ(mt.size(), 1u);
            EXPECT_EQ(mt[0], section + 2 * lengthSize + 4 + 4);
            EXPECT_EQ(at[0], mt[0] + 4 + lengthSize + 4);
            EXPECT_EQ(length(mt[0] + 4), 0u);
            size_t bodyStart = at[0] + 4 + lengthSize;
            EXPECT_LE(bodyStart + length(at[0] + 4), b.size());
        }
    }
}

TEST(SaveLayers, SavedBytesCarryTheBlocksReadersNeed) {
    for (bool psb : {false, true}) {
        SCOPED_TRACE(psb ? "psb" : "psd");
        auto doc = Sample(Raster::Format::RGBA8, psb);
        Saved opaque = SaveToMemory(*doc, psb, false);
        ASSERT_TRUE(opaque.ok);
        Bytes const& b = opaque.bytes;
        // The document blocks: an empty "Patt" (4-byte length in both versions), then "FMsk".
        auto patt = FindKey(b, "Patt");
        auto fmsk = FindKey(b, "FMsk");
        ASSERT_EQ(patt.size(), 1u);
        ASSERT_EQ(fmsk.size(), 1u);
        EXPECT_EQ(BE32(&b[patt[0] + 4]), 0u);
        EXPECT_EQ(fmsk[0], patt[0] + 12);
        size_t body = fmsk[0] + 4 + (psb ? 8 : 4);
        EXPECT_EQ(psb ? BE32(&b[fmsk[0] + 8]) : BE32(&b[fmsk[0] + 4]), 12u);
        EXPECT_EQ(Bytes(b.begin() + ptrdiff_t(body), b.begin() + ptrdiff_t(body) + 12),
                  (Bytes{0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 50}));
        // An empty global layer mask info right before "Patt".
        EXPECT_EQ(BE32(&b[patt[0] - 8]), 0u);
        // Layer identifiers count from one in every save.
        for (Bytes const& bytes : {b, SaveToMemory(*doc, psb, false).bytes}) {
            auto at = FindKey(bytes, "lyid");
            ASSERT_EQ(at.size(), 4u);
            for (size_t i = 0; i < at.size(); ++i) {
                EXPECT_EQ(BE32(&bytes[at[i] + 4]), 4u);
                EXPECT_EQ(BE32(&bytes[at[i] + 8]), i + 1);
            }
        }
        // Group layers carry the flag that their pixels are irrelevant; plain layers do not.
        PSD::PSDReport r;
        auto back = Reopen(b, r);
        ASSERT_TRUE(back) << ErrorText(r);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(back->m_layers[i]->m_flags & 0x10, i == 1 || i == 3 ? 0x10 : 0) << i;
        // Group dividers: the end marker, then the closed group with its blend key and scene
        // flag.
        auto at = FindKey(b, "lsct");
        ASSERT_EQ(at.size(), 2u);
        EXPECT_EQ(BE32(&b[at[0] + 4]), 4u);
        EXPECT_EQ(BE32(&b[at[0] + 8]), 3u);
        EXPECT_EQ(BE32(&b[at[1] + 4]), 16u);
        EXPECT_EQ(Bytes(b.begin() + ptrdiff_t(at[1]) + 8, b.begin() + ptrdiff_t(at[1]) + 24),
                  (Bytes{0, 0, 0, 2, '8', 'B', 'I', 'M', 'p', 'a', 's', 's', 0, 0, 0, 1}));
        if (psb) continue;
        // 8-bit merged transparency is a negative layer count.
        doc->SetFlattenedBitmap(Pattern(64, 48, Raster::Format::RGBA8, 2));
        ASSERT_NE(doc->m_mergedTransparency, 0u);
        Saved transparent = SaveToMemory(*doc, false, false);
        ASSERT_TRUE(transparent.ok);
        auto count = [](Bytes const& bytes) {
            size_t resources = 26 + 4 + BE32(&bytes[26]);
            size_t section = resources + 4 + BE32(&bytes[resources]);
            return int16_t(BE16(&bytes[section + 4 + 4]));
        };
        EXPECT_EQ(count(b), 4);
        EXPECT_EQ(count(transparent.bytes), -4);
        EXPECT_TRUE(FindKey(transparent.bytes, "Mt16").empty());
    }
}

TEST(SaveLayers, BackgroundLayersHaveNoTransparencyAndFewBlocks) {
    auto doc = NewDoc(20, 10, false, Raster::Format::RGBA8);
    doc->AddLayer(MakeLayer("top", 2, 2, Pattern(5, 5, Raster::Format::RGBA8, 2)));
    // Inserted after the others, a background still goes to the bottom; null is ignored.
    auto bg = MakeLayer("Background", 0, 0, Pattern(20, 10, Raster::Format::RGBA8, 1));
    bg->m_bitmap->FillChannel(3, 255);
    doc->InsertBackgroundLayer(bg);
    doc->InsertBackgroundLayer(nullptr);
    ASSERT_EQ(doc->m_layers.size(), 2u);
    EXPECT_EQ(doc->m_layers[0].Get(), bg.Get());
    EXPECT_TRUE(bg->m_background);
    PSD::PSDReport r;
    auto back = SaveAndReopen(*doc, false, false, r);
    ASSERT_TRUE(back) << ErrorText(r);
    ASSERT_EQ(back->m_layers.size(), 2u);
    PSDLayer const& b = *back->m_layers[0];
    EXPECT_TRUE(b.m_background);
    ASSERT_EQ(b.m_channels.size(), 3u);
    for (auto const& c : b.m_channels) EXPECT_GE(c.m_id, 0);
    EXPECT_EQ(back->m_layers[1]->m_channels.size(), 4u);
    EXPECT_EQ(back->m_layers[1]->m_channels[0].m_id, -1);
    EXPECT_EQ(testsupport::RoundTripDifference(*doc, false, false), "");
    // The background record carries only the name, identifier, locks, colour and version blocks.
    std::vector<uint32_t> keys;
    for (auto const& blk : b.m_blocks) keys.push_back(blk.key);
    EXPECT_EQ(keys, (std::vector<uint32_t>{PSD::Key("luni"), PSD::Key("lyid"), PSD::Key("lspf"),
                                           PSD::Key("lclr"), PSD::Key("lyvr")}));

    // Given what a background cannot hold, it is written as a layer, keeping all of it, and read
    // back as one.
    bg->m_fillOpacity = 100;
    bg->m_bitmapUserMask = Pattern(4, 3, Raster::Format::A8, 2);
    bg->m_userMask.m_present = true, bg->m_userMask.m_right = 4, bg->m_userMask.m_bottom = 3;
    auto given = SaveAndReopen(*doc, false, false, r);
    ASSERT_TRUE(given) << ErrorText(r);
    PSDLayer const& g = *given->m_layers[0];
    EXPECT_FALSE(g.m_background);
    EXPECT_EQ(std::tuple(g.m_channels.size(), int(g.m_fillOpacity), g.m_userMask.m_right),
              std::tuple(size_t(5), 100, 4));
    EXPECT_EQ(g.m_channels[0].m_id, -1);
}

TEST(SaveLayers, LayersThatCannotBeWrittenRefuseTheSave) {
    // Layer bounds beyond the version's limit (groups are not measured).
    for (bool psb : {false, true}) {
        auto doc = NewDoc(10, 10, psb, Raster::Format::IA8);
        auto l = MakeLayer("wide", 0, 0, nullptr);
        l->m_right = 30001;  // no pixels, only bounds: still a normal layer
        doc->m_layers.push_back(l);
        EXPECT_EQ(SaveToMemory(*doc, psb, false).ok, psb);
        l->m_right = 300001;
        EXPECT_FALSE(SaveToMemory(*doc, psb, false).ok);
        l->m_sectionType = PSDLayer::kOpenGroup;
        EXPECT_TRUE(SaveToMemory(*doc, psb, false).ok);
    }
    // Bitmaps that do not fit their layer or mask, and a real mask without a user mask.
    auto doc = NewDoc(10, 10, false, Raster::Format::RGBA8);
    auto l = MakeLayer("l", 0, 0, Pattern(4, 4, Raster::Format::RGBA8, 1));
    doc->AddLayer(l);
    l->m_right = 5;
    EXPECT_FALSE(SaveToMemory(*doc, false, false).ok);
    l->m_right = 4;
    l->m_bitmapUserMask = Pattern(3, 3, Raster::Format::A8, 2);
    l->m_userMask.m_present = true;
    l->m_userMask.m_right = 2;
    l->m_userMask.m_bottom = 3;
    EXPECT_FALSE(SaveToMemory(*doc, false, false).ok);
    l->m_userMask.m_right = 3;
    EXPECT_TRUE(SaveToMemory(*doc, false, false).ok);
    l->m_userMask = PSD::PSDLayerMask{};
    l->m_bitmapUserMask = nullptr;
    l->m_realMask.m_present = true;
    EXPECT_FALSE(SaveToMemory(*doc, false, false).ok);
    // At most 7999 layers, even when the list was filled past the building checks.
    auto many = NewDoc(4, 4, false, Raster::Format::IA8);
    auto bm = Pattern(1, 1, Raster::Format::IA8, 1);
    for (int i = 0; i < 7999; ++i) many->m_layers.push_back(MakeLayer("l", 0, 0, bm));
    EXPECT_TRUE(SaveToMemory(*many, false, false).ok);
    many->m_layers.push_back(MakeLayer("l", 0, 0, bm));
    EXPECT_FALSE(SaveToMemory(*many, false, false).ok);
}

TEST(SaveLayers, LongNamesAndLayersWithoutPixels) {
    // Names beyond 255 bytes are cut in the record but kept whole in "luni"; the record name is
    // padded for odd and even lengths. A layer without pixels writes empty channels, after a
    // layer whose channel buffers it reuses.
    auto doc = NewDoc(10, 10, false, Raster::Format::CMYKA8);
    std::string longName(300, 'n');
    for (std::string name : {longName, std::string("abc"), std::string("abcd")})
        doc->AddLayer(MakeLayer(name, 0, 0, Pattern(10, 10, Raster::Format::CMYKA8, 3)));
    doc->AddLayer(MakeLayer("empty", 3, 3, nullptr));
    PSD::PSDReport r;
    auto back = SaveAndReopen(*doc, false, true, r);
    ASSERT_TRUE(back) << ErrorText(r);
    ASSERT_EQ(back->m_layers.size(), 4u);
    EXPECT_EQ(back->m_layers[0]->m_name, longName);
    EXPECT_EQ(back->m_layers[0]->m_pascalName.size(), 255u);
    EXPECT_EQ(back->m_layers[1]->m_pascalName, "abc");
    EXPECT_EQ(back->m_layers[2]->m_pascalName, "abcd");
    PSDLayer const& l = *back->m_layers[3];
    ASSERT_EQ(l.m_channels.size(), 5u);
    EXPECT_EQ(l.m_channels[0].m_id, -1);
    for (auto const& c : l.m_channels) EXPECT_EQ(c.m_length, 2u);
    EXPECT_EQ(l.GetWidth(), 0);
}

using testsupport::AnyPixelsCached;

TEST(SaveLayers, StoredPixelsAreDecodedForTheSaveOnlyWhenAsked) {
    // Large noisy layers (decoded ahead of their encoding), a small one, one with masks, and a
    // layer without pixels, saved and opened again with nothing decoded.
    auto doc = Sample(Raster::Format::RGBA8, false);
    AddNoiseLayers(*doc, 3, 700, 600, 1, 9);
    Saved first = SaveToMemory(*doc, false, false);
    ASSERT_TRUE(first.ok);
    PSD::PSDReport r;
    auto opened = Reopen(first.bytes, r);
    ASSERT_TRUE(opened) << ErrorText(r);
    size_t n = opened->m_layers.size();

    // Asked: the bytes of a save after every bitmap was decoded, the caches left empty.
    Saved stored = SaveToMemory(*opened, false, false, nullptr, nullptr, true);
    ASSERT_TRUE(stored.ok);
    EXPECT_FALSE(AnyPixelsCached(*opened));
    auto decoded = Reopen(first.bytes, r);
    ASSERT_TRUE(decoded);
    for (auto const& l : decoded->m_layers) {
        Kernel::Counted<Raster::DynamicBitmap> bm;
        ASSERT_TRUE(l->GetBitmap(bm, r) && l->GetBitmapUserMask(bm, r) &&
                    l->GetBitmapRealMask(bm, r));
    }
    Kernel::Counted<Raster::DynamicBitmap> composite;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    ASSERT_TRUE(decoded->GetBitmap(composite, masks, r));  // the save decodes it too
    EXPECT_TRUE(stored.bytes == SaveToMemory(*decoded, false, false).bytes);
    auto back = Reopen(stored.bytes, r);
    ASSERT_TRUE(back) << ErrorText(r);
    EXPECT_EQ(testsupport::DocumentDifference(*doc, *back), "");

    // Not asked: layers whose pixels were never decoded are written without them.
    auto bare = Reopen(SaveToMemory(*opened, false, false).bytes, r);
    ASSERT_TRUE(bare && bare->m_layers.size() == n);
    for (auto const& l : bare->m_layers)
        for (auto const& c : l->m_channels) EXPECT_EQ(c.m_length, 2u) << l->m_name;

    // A bitmap in memory is written as it is and stays; the others still come from the file.
    auto mine = Pattern(700, 600, Raster::Format::RGBA8, 77);
    PSDLayer const& replaced = *opened->m_layers[n - 1];
    replaced.m_bitmap = mine;
    Saved mixed = SaveToMemory(*opened, true, true, nullptr, nullptr, true);
    ASSERT_TRUE(mixed.ok);
    EXPECT_EQ(replaced.m_bitmap.Get(), mine.Get());
    replaced.m_bitmap = nullptr;
    EXPECT_FALSE(AnyPixelsCached(*opened));
    auto mixedBack = Reopen(mixed.bytes, r);
    ASSERT_TRUE(mixedBack) << ErrorText(r);
    Kernel::Counted<Raster::DynamicBitmap> got;
    ASSERT_TRUE(mixedBack->m_layers[n - 1]->GetBitmap(got, r));
    EXPECT_EQ(std::memcmp(got->GetData(), mine->GetData(), mine->GetDataSize()), 0);
    ASSERT_TRUE(mixedBack->m_layers[n - 2]->GetBitmap(got, r));
    Kernel::Counted<Raster::DynamicBitmap> want;
    ASSERT_TRUE(doc->m_layers[n - 2]->GetBitmap(want, r));
    EXPECT_EQ(std::memcmp(got->GetData(), want->GetData(), want->GetDataSize()), 0);

    // A cancel at any step stops the save with the layer decoded ahead still in flight.
    for (uint64_t after = 1; after <= 2 * n; after += 2) {
        bool abort = false;
        Kernel::Counted<AbortingProgress> p(new AbortingProgress(&abort, after));
        EXPECT_FALSE(SaveToMemory(*opened, false, false, &abort, p, true).ok) << after;
        EXPECT_FALSE(AnyPixelsCached(*opened)) << after;
    }

    // Stored data that does not decode fails the save: an unknown compression code in the
    // first large layer's first channel.
    Saved damaged = first;
    damaged.bytes[opened->m_layers[n - 3]->m_dataPosition + 1] = 9;
    auto broken = Reopen(damaged.bytes, r);
    ASSERT_TRUE(broken) << ErrorText(r);
    EXPECT_FALSE(SaveToMemory(*broken, false, false, nullptr, nullptr, true).ok);
    EXPECT_FALSE(AnyPixelsCached(*broken));
}

// A 16-bit save with ZIP takes the predicted rows of stored channels straight from the file where
// their form allows (raw, ZIP, ZIP with prediction, mixed, out of order, a stream longer than its
// channel, large layers, which are not decoded ahead) and leaves the others to the decoder (RLE,
// no transparency channel, a repeated channel, masks). Either way the bytes are those of a save
// after every bitmap was decoded; a stream cut short fails the save as it fails decoding.
TEST(SaveLayers, DeepStoredChannelsSaveAsTheirDecodedBitmaps) {
    using testsupport::ChannelSpec;
    using testsupport::LayerSpec;
    std::mt19937 rng(21);
    auto plane = [&](uint32_t w, uint32_t h, bool noise) {
        std::vector<uint8_t> v = testsupport::Pattern(size_t(w) * h * 2, rng());
        if (noise)
            for (auto& b : v) b = uint8_t(rng());
        return v;
    };
    enum Form { Raw, Zip, Pred, RLE };
    bool psb = false;
    auto block = [&](Form f, std::vector<uint8_t> const& s, uint32_t w) -> std::vector<uint8_t> {
        switch (f) {
            case Raw:
                return testsupport::RawBlock(s);
            case RLE:
                return testsupport::RLEBlock(s, w * 2, psb);
            default:
                return testsupport::ZipBlock(s, w * 2, 2, f == Pred);
        }
    };
    auto layer = [&](int32_t left, uint32_t w, uint32_t h,
                     std::vector<std::pair<int16_t, Form>> ids, bool noise = false) {
        LayerSpec l{0, left, int32_t(h), left + int32_t(w), {}, false, {}};
        for (auto [id, f] : ids) l.channels.push_back({id, block(f, plane(w, h, noise), w)});
        return l;
    };
    auto file = [&](std::vector<LayerSpec> const& ls) {
        testsupport::Header hd;
        hd.version = psb ? 2 : 1;
        hd.depth = 16;
        hd.width = 600;
        hd.height = 300;
        std::vector<uint8_t> image(size_t(hd.width) * hd.height * 2 * 3, 0);
        return testsupport::Document(hd, {}, {}, testsupport::LayerSectionBody(ls, psb),
                                     testsupport::RawBlock(image));
    };
    auto decodeAll = [](PSDFile const& doc, PSD::PSDReport& r) {
        Kernel::Counted<Raster::DynamicBitmap> bm;
        for (auto const& l : doc.m_layers)
            if (!l->GetBitmap(bm, r) || !l->GetBitmapUserMask(bm, r)) return false;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        return doc.GetBitmap(bm, masks, r);  // the composite, which the save decodes too
    };
    for (bool version2 : {false, true}) {
        psb = version2;
        SCOPED_TRACE(psb ? "PSB" : "PSD");
        const uint32_t w = 37, h = 11;  // rows of 74 bytes
        std::vector<LayerSpec> layers = {
            layer(0, w, h, {{-1, Raw}, {0, Raw}, {1, Raw}, {2, Raw}}),
            layer(1, w, h, {{-1, Pred}, {0, Pred}, {1, Pred}, {2, Pred}}),
            layer(2, w, h, {{2, Pred}, {-1, Zip}, {0, Raw}, {1, Zip}}),
            layer(3, w, h, {{-1, Pred}, {0, RLE}, {1, Pred}, {2, Pred}}),
            layer(4, w, h, {{0, Pred}, {1, Zip}, {2, Raw}}),
            layer(5, w, h, {{-1, Pred}, {0, Pred}, {1, Pred}, {2, Pred}, {0, Zip}}),
            layer(6, 520, 260, {{-1, Raw}, {0, Raw}, {1, Raw}, {2, Raw}}, true),
            layer(7, 520, 260, {{-1, Pred}, {0, Pred}, {1, Pred}, {2, Pred}}, true),
            layer(8, 300, 20, {{-1, Pred}, {0, Pred}, {1, Pred}, {2, Pred}}),
        };
        // A stream that inflates past its channel: two rows more than the layer holds.
        layers[1].channels[2].block = block(Pred, plane(w, h + 2, false), w);
        // A user mask beside stored rows.
        layers[8].hasMask = true;
        layers[8].mask.bottom = 5;
        layers[8].mask.right = 9;
        layers[8].channels.push_back({-2, testsupport::RawBlock(plane(9, 5, false))});
        Bytes bytes = file(layers);
        PSD::PSDReport r;
        auto opened = Reopen(bytes, r);
        ASSERT_TRUE(opened) << ErrorText(r);
        Saved stored = SaveToMemory(*opened, psb, true, nullptr, nullptr, true);
        ASSERT_TRUE(stored.ok);
        EXPECT_FALSE(AnyPixelsCached(*opened));
        auto decoded = Reopen(bytes, r);
        ASSERT_TRUE(decoded && decodeAll(*decoded, r)) << ErrorText(r);
        EXPECT_TRUE(stored.bytes == SaveToMemory(*decoded, psb, true).bytes);
        auto back = Reopen(stored.bytes, r);
        ASSERT_TRUE(back && decodeAll(*back, r)) << ErrorText(r);
        for (size_t i = 0; i < layers.size(); ++i)
            EXPECT_TRUE(
                SameBitmap(back->m_layers[i]->m_bitmap.Get(), decoded->m_layers[i]->m_bitmap.Get()))
                << i;

        // A cancel before or while the large layers are taken from the file.
        for (uint64_t after : {1u, 8u, 12u, 15u}) {
            bool abort = false;
            Kernel::Counted<AbortingProgress> p(new AbortingProgress(&abort, after));
            EXPECT_FALSE(SaveToMemory(*opened, psb, true, &abort, p, true).ok) << after;
            EXPECT_FALSE(AnyPixelsCached(*opened)) << after;
        }

        // The transparency stream of one layer cut short.
        std::vector<LayerSpec> cut = layers;
        cut[1].channels[0].block.resize(cut[1].channels[0].block.size() / 2);
        auto broken = Reopen(file(cut), r);
        ASSERT_TRUE(broken) << ErrorText(r);
        EXPECT_FALSE(SaveToMemory(*broken, psb, true, nullptr, nullptr, true).ok);
        EXPECT_FALSE(AnyPixelsCached(*broken));
        EXPECT_FALSE(decodeAll(*broken, r));
    }
}

}  // namespace
