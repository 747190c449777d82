// The tagged blocks at the end of a layer record: framing, the small blocks that set layer fields,
// and the dispatch to the readers of the larger bodies.
#include <array>
#include <new>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/io/PSDKeyTable.h"
#include "psd/io/PSDParseData.h"
#include "psd/layer/PSDLayer.h"
#include "psd/vector/PSDPath.h"
#include "psd/vector/PSDVectorOrigination.h"
#include "psd/vector/PSDVectorStroke.h"
#include "psd/layer/PSDLayerRead.h"
#include "psd/layer/PSDSmartObject.h"

namespace PSD {

namespace {

// Every body is read through a stream that ends with the body.
using BlockHandler = bool (*)(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd);

[[nodiscard]] bool ReadByte(Kernel::InStreamSeekable& body, uint8_t& out, ParseData& pd) {
    return ReadValue(body, out, pd);
}

[[nodiscard]] bool ReadFlag(Kernel::InStreamSeekable& body, bool& out, ParseData& pd) {
    uint8_t b;
    if (!ReadValue(body, b, pd)) return false;
    out = b != 0;
    return true;
}

// 32-bit count of UTF-16 code units, then the units.
[[nodiscard]] bool ReadUnicodeString(Kernel::InStreamSeekable& body, String& out, ParseData& pd) {
    uint32_t count;
    if (!ReadValue(body, count, pd)) return false;
    if (!CheckAvailable(body, uint64_t(count) * 2, pd)) return false;
    std::u16string units(count, u'\0');
    for (auto& u : units) {
        uint16_t v;
        if (!ReadValue(body, v, pd)) return false;
        u = char16_t(v);
    }
    out = String(Kernel::ConvertEnc(units));
    return true;
}

// Bodies the model does not read: the block list keeps where they lie, and a save copies them back.
bool KeepBody(PSDLayer&, Kernel::InStreamSeekable&, ParseData&) {
    return true;
}

bool ParseUnicodeName(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadUnicodeString(body, layer.m_name, pd);
}

bool ParseSectionDivider(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    uint64_t length = body.GetSize();
    if (length != 4 && length != 12 && length != 16) {
        pd.m_report.ErrorParsing();
        return false;
    }
    uint32_t type;
    if (!ReadValue(body, type, pd)) return false;
    auto sectionType = type >= 1 && type <= 3 ? PSDLayer::LayerType(type) : PSDLayer::kNormal;
    if (length == 4) {
        if (type != 0) {
            layer.m_blendMode = BlendMode::PassThrough;
            layer.m_sectionType = sectionType;
        } else {
            layer.m_sectionType = PSDLayer::kNormal;
        }
        return true;
    }
    uint32_t signature, blendKey;
    if (!ReadKey(body, signature, pd)) return false;
    if (signature != Key("8BIM")) {
        pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature),
                             length == 12 ? 7 : 8);
        return false;
    }
    if (!ReadKey(body, blendKey, pd) || !DecodeBlendMode(blendKey, layer.m_blendMode, pd.m_report))
        return false;
    layer.m_sectionType = sectionType;
    if (length == 16) {
        uint32_t subType;
        if (!ReadValue(body, subType, pd)) return false;
        layer.m_sceneGroup = subType == 1;
    }
    return true;
}

// The nested form of the divider is written back under its own key.
bool ParseNestedSectionDivider(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    layer.m_sectionKey = Key("lsdk");
    return ParseSectionDivider(layer, body, pd);
}

bool ParseFillOpacity(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadByte(body, layer.m_fillOpacity, pd);
}
bool ParseBlendClipped(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadFlag(body, layer.m_blendClipped, pd);
}
bool ParseBlendInterior(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadFlag(body, layer.m_blendInterior, pd);
}
bool ParseKnockout(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    uint8_t v;
    if (!ReadByte(body, v, pd)) return false;
    layer.m_knockout = v == 1 || v == 2 ? v : 0;
    return true;
}
bool ParseTransparencyShapes(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadFlag(body, layer.m_transparencyShapes, pd);
}
bool ParseLayerMaskHidesEffects(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadFlag(body, layer.m_layerMaskHidesEffects, pd);
}
bool ParseVectorMaskHidesEffects(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadFlag(body, layer.m_vectorMaskHidesEffects, pd);
}
bool ParseProtection(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    if (!ReadValue(body, layer.m_lockFlags, pd)) return false;
    uint8_t low = uint8_t(layer.m_lockFlags);
    layer.m_lockTransparency = (low & 0x01) != 0;
    layer.m_lockComposite = (low & 0x02) != 0;
    layer.m_lockPosition = (low & 0x04) != 0;
    return true;
}
bool ParseSheetColour(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadValue(body, layer.m_sheetColour, pd);
}
bool ParseAlignedRendering(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    uint32_t v;
    if (!ReadValue(body, v, pd)) return false;
    layer.m_alignedRendering = v != 0;
    return true;
}
bool ParseRestrictedChannels(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    uint64_t count = body.GetSize() / 4;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t index;
        if (!ReadValue(body, index, pd)) return false;
        if (index >= layer.m_channels.size()) {
            pd.m_report.ErrorParsing();
            return false;
        }
        layer.m_channels[index].m_restricted = true;
    }
    return true;
}
bool ParseLayerId(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return ReadValue(body, layer.m_layerId, pd);
}
bool ParseVectorMaskBlock(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return layer.ParseVectorMask(body, body.GetSize(), pd);
}
// The fill and stroke blocks fill one stroke object, made by the first of them.
bool MakeVectorStroke(PSDLayer& layer) {
    if (!layer.m_vectorStroke) layer.m_vectorStroke = Kernel::Counted<PSDVectorStroke>(new PSDVectorStroke);
    return true;
}
bool ParseVectorFill(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return MakeVectorStroke(layer) && layer.m_vectorStroke->ParseFill(body, pd);
}
bool ParseVectorStroke(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return MakeVectorStroke(layer) && layer.m_vectorStroke->ParseStroke(body, pd);
}
bool ParseVectorOrigination(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return PSDVectorOriginationData::Parse(body, layer.m_vectorOrigination, pd);
}
bool ParseMetaDataBlock(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return layer.ParseMetaData(body, pd);
}

// Both block forms fill one effects object, made when the first of them is met.
bool MakeEffects(PSDLayer& layer, ParseData& pd) {
    if (layer.m_effects) return true;
    auto* e = new (std::nothrow) PSDLayerEffects;
    if (!e) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    layer.m_effects = Kernel::Counted<PSDLayerEffects>(e);
    return true;
}
bool ParseLegacyEffects(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return MakeEffects(layer, pd) && layer.m_effects->ParseLayerEffects(body, pd);
}
// The variants of the descriptor block are written back under the key they were read with.
template <uint32_t kKey>
bool ParseObjectEffects(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    if (!MakeEffects(layer, pd)) return false;
    if (!layer.m_effects->m_objectEffectsRead) layer.m_effects->m_objectKey = kKey;
    return layer.m_effects->ParseObjectEffects(body, pd);
}

// An adjustment or fill block becomes the layer's adjustment once read; a later one replaces it.
template <uint32_t kKey>
bool ParseAdjustment(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    auto adjustment = PSDAdjustment::Create(kKey);
    if (!adjustment) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    if (!adjustment->Parse(body, pd)) return false;
    layer.m_adjustment = adjustment;
    return true;
}
// Settings of the adjustment read before it; met first, the block is only kept.
bool ParseAdjustmentExtra(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    return !layer.m_adjustment || layer.m_adjustment->ParseExtraData(body, pd);
}

// Placed-layer blocks fill one smart object. A block that does not read leaves the smart object
// as it was (none, or what another block gave) and the layer reads on; the body stays kept.
template <uint32_t kKey>
bool ParsePlaced(PSDLayer& layer, Kernel::InStreamSeekable& body, ParseData& pd) {
    if (!pd.m_parseSmartObjects) return true;
    Kernel::Counted<PSDSmartObject> object;
    try {
        object = layer.m_smartObject ? Kernel::MakeCounted<PSDSmartObject>(*layer.m_smartObject)
                                     : Kernel::MakeCounted<PSDSmartObject>();
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    auto error = pd.m_report.m_error;
    bool ok = kKey == Key("PlLd") ? object->Parse(body, pd) : object->ParseLayerData(kKey, body, pd);
    pd.m_report.m_error = error;
    if (ok) layer.m_smartObject = object;
    return true;
}

constexpr KeyHandler<uint32_t, BlockHandler> kLayerBlocks[] = {
    // Small blocks read here.
    {Key("luni"), ParseUnicodeName},
    {Key("lyid"), ParseLayerId},
    {Key("lsct"), ParseSectionDivider},
    {Key("lsdk"), ParseNestedSectionDivider},
    {Key("iOpa"), ParseFillOpacity},
    {Key("clbl"), ParseBlendClipped},
    {Key("infx"), ParseBlendInterior},
    {Key("knko"), ParseKnockout},
    {Key("tsly"), ParseTransparencyShapes},
    {Key("lmgm"), ParseLayerMaskHidesEffects},
    {Key("vmgm"), ParseVectorMaskHidesEffects},
    {Key("lspf"), ParseProtection},
    {Key("lclr"), ParseSheetColour},
    {Key("sn2P"), ParseAlignedRendering},
    {Key("brst"), ParseRestrictedChannels},
    {Key("vmsk"), ParseVectorMaskBlock},
    {Key("vsms"), ParseVectorMaskBlock},
    {Key("shmd"), ParseMetaDataBlock},
    // Effects, in the old and in the descriptor form.
    {Key("lrFX"), ParseLegacyEffects},
    {Key("lfx2"), ParseObjectEffects<Key("lfx2")>},
    {Key("lfxs"), ParseObjectEffects<Key("lfxs")>},
    {Key("lmfx"), ParseObjectEffects<Key("lmfx")>},
    // Vector fill, stroke and live-shape data.
    {Key("vscg"), ParseVectorFill},
    {Key("vstk"), ParseVectorStroke},
    {Key("vogk"), ParseVectorOrigination},
    // Placed layer (smart object).
    {Key("PlLd"), ParsePlaced<Key("PlLd")>},
    {Key("SoLd"), ParsePlaced<Key("SoLd")>},
    {Key("SoLE"), ParsePlaced<Key("SoLE")>},
    // Type tool.
    {Key("TySh"), ParseAdjustment<Key("TySh")>},
    // Adjustments.
    {Key("levl"), ParseAdjustment<Key("levl")>},
    {Key("curv"), ParseAdjustment<Key("curv")>},
    {Key("brit"), ParseAdjustment<Key("brit")>},
    {Key("blnc"), ParseAdjustment<Key("blnc")>},
    {Key("blwh"), ParseAdjustment<Key("blwh")>},
    {Key("hue "), ParseAdjustment<Key("hue ")>},
    {Key("hue2"), ParseAdjustment<Key("hue2")>},
    {Key("mixr"), ParseAdjustment<Key("mixr")>},
    {Key("nvrt"), ParseAdjustment<Key("nvrt")>},
    {Key("post"), ParseAdjustment<Key("post")>},
    {Key("thrs"), ParseAdjustment<Key("thrs")>},
    {Key("selc"), ParseAdjustment<Key("selc")>},
    {Key("phfl"), ParseAdjustment<Key("phfl")>},
    {Key("vibA"), ParseAdjustment<Key("vibA")>},
    {Key("expA"), ParseAdjustment<Key("expA")>},
    {Key("grdm"), ParseAdjustment<Key("grdm")>},
    {Key("clrL"), ParseAdjustment<Key("clrL")>},
    // Fill layers.
    {Key("SoCo"), ParseAdjustment<Key("SoCo")>},
    {Key("GdFl"), ParseAdjustment<Key("GdFl")>},
    {Key("PtFl"), ParseAdjustment<Key("PtFl")>},
    // Extra data of the current adjustment.
    {Key("CgEd"), ParseAdjustmentExtra},
    // Known blocks whose content the model does not read.
    {Key("lyvr"), KeepBody},
    {Key("lnsr"), KeepBody},
    {Key("shpa"), KeepBody},
    {Key("fxrp"), KeepBody},
    {Key("ffxi"), KeepBody},
    {Key("Txt2"), KeepBody},
    {Key("plLd"), KeepBody},
    {Key("Anno"), KeepBody},
    {Key("FEid"), KeepBody},
    {Key("FMsk"), KeepBody},
    {Key("FXid"), KeepBody},
    {Key("LMsk"), KeepBody},
    {Key("MTrn"), KeepBody},
    {Key("Mt16"), KeepBody},
    {Key("Mt32"), KeepBody},
    {Key("Mtrn"), KeepBody},
    {Key("Patt"), KeepBody},
    {Key("Pat2"), KeepBody},
    {Key("Pat3"), KeepBody},
};

}  // namespace

bool PSDLayer::ParseTaggedData(Kernel::InStreamSeekable& stream, uint64_t size, ParseData& pd) {
    uint64_t remaining = size;
    while (remaining >= 8) {
        uint32_t signature, key;
        if (!ReadKey(stream, signature, pd) || !ReadKey(stream, key, pd)) return false;
        if (signature != Key("8BIM") && signature != Key("8B64")) {
            pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 6);
            return false;
        }
        bool wide = pd.m_isPSB && IsWideLayerKey(key);
        uint64_t header = wide ? 16 : 12;
        uint64_t length;
        if (!ReadLength(stream, wide, length, pd)) return false;
        // A body that runs past the record's extra data means the lengths disagree.
        if (header > remaining || length > remaining - header) {
            pd.m_report.ErrorMisaligned();
            return false;
        }
        // Readers see whole bodies only: a body cut by the end of the file is truncation here.
        if (!CheckAvailable(stream, length, pd)) return false;
        uint64_t dataStart = stream.GetPosition();
        m_blocks.push_back({key, signature, dataStart, length});

        BlockHandler handler = FindKeyHandler(kLayerBlocks, key);
        if (!handler) {
            PrintUnknownKey(key);
            handler = KeepBody;
        }
        auto body = Kernel::LimitedInStream::Create(
            Kernel::NonCounted<Kernel::InStreamSeekable>(stream), length);
        if (!handler(*this, *body, pd)) return false;
        if (!SeekForwardTo(stream, dataStart + length, pd)) return false;
        remaining -= header + length;
    }
    return true;
}

bool PSDLayer::ParseVectorMask(Kernel::InStreamSeekable& stream, uint64_t length, ParseData& pd) {
    uint32_t version, flags;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 3) {
        pd.m_report.SetError(PSDError::kUnknownVectorMaskVersion);
        return false;
    }
    if (!ReadValue(stream, flags, pd)) return false;
    m_vectorMaskFlag0 = (flags & 0x01) != 0;
    m_vectorMaskFlag1 = (flags & 0x02) != 0;
    m_vectorMaskFlagAny = (flags & 0x03) != 0;
    m_vectorMaskFlagsStored = flags;
    Kernel::Counted<PSDPath> path(new PSDPath);
    Kernel::SizeT<int> size{int(std::min<uint32_t>(pd.m_width, INT32_MAX)),
                            int(std::min<uint32_t>(pd.m_height, INT32_MAX))};
    // The mask is kept even when it holds no subpath.
    if (ParsePaths(stream, length - 8, size, *path, pd) == kPathFailed) return false;
    m_vectorMask = path;
    return true;
}

bool PSDLayer::ParseMetaData(Kernel::InStreamSeekable&, ParseData&) {
    return true;
}

}  // namespace PSD
