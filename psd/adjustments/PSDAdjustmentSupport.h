// Reading and writing steps shared by the adjustment and fill readers.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "psd/descriptor/Descriptor.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/io/PSDIO.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

// The rest of the body, kept to be written back as read.
[[nodiscard]] inline bool ReadRest(Kernel::InStreamSeekable& stream, std::vector<uint8_t>& out,
                                   PSDLoadData& ld) {
    uint64_t rest = stream.GetRemaining();
    if (rest == Kernel::kUnknownSize || rest == 0) {
        out.clear();
        return true;
    }
    if (!CheckAvailable(stream, rest, ld)) return false;
    out.resize(size_t(rest));
    return ReadBytes(stream, out.data(), out.size(), ld);
}

// A 32-bit float kept bit for bit.
[[nodiscard]] inline bool ReadFloat(Kernel::InStream& stream, float& out, PSDLoadData& ld) {
    uint32_t bits;
    if (!ReadValue(stream, bits, ld)) return false;
    std::memcpy(&out, &bits, 4);
    return true;
}
[[nodiscard]] inline bool WriteFloat(Kernel::OutStream& stream, float v, ByteOrderFixer const& f) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return WriteValue(stream, bits, f);
}

inline int16_t Clamp16(int32_t v) {
    return int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

// An integer item, or a double (unit or not) taken toward zero.
inline bool NumberOf(DescriptorItem const& item, int32_t& out) {
    if (auto const* i = dynamic_cast<DescriptorItemInteger const*>(&item)) {
        out = i->m_value;
        return true;
    }
    double v;
    if (auto const* d = dynamic_cast<DescriptorItemDouble const*>(&item)) v = d->m_value;
    else if (auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(&item)) v = u->m_value;
    else return false;
    out = !(v == v) ? 0 : v >= 2147483647.0 ? INT32_MAX : v <= -2147483648.0 ? INT32_MIN : int32_t(v);
    return true;
}
inline bool BoolOf(DescriptorItem const& item, bool& out) {
    auto const* b = dynamic_cast<DescriptorItemBool const*>(&item);
    if (b) out = b->m_value;
    return b != nullptr;
}
inline bool StringOf(DescriptorItem const& item, String& out) {
    auto const* s = dynamic_cast<DescriptorItemString const*>(&item);
    if (s) out = s->m_value;
    return s != nullptr;
}
// The value name of an enumeration of the given type; false for anything else.
inline bool EnumOf(DescriptorItem const& item, char const* type, String& out) {
    auto const* e = dynamic_cast<DescriptorItemEnum const*>(&item);
    if (!e || e->m_value.m_type.ToString() != type) return false;
    out = e->m_value.m_value.ToString();
    return true;
}

// A key as the editor writes it: four characters as a code, longer names as names.
inline DescriptorKey DKey(char const* text) {
    size_t n = std::strlen(text);
    if (n != 4) return DescriptorKey::Name(String(text));
    return DescriptorKey::Code(uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
                               uint32_t(uint8_t(text[2])) << 8 | uint8_t(text[3]));
}

// "Unknown property", the context filled with the key's text.
inline void WarnUnknownProperty(char const* context, DescriptorKey const& key, PSDReport& report) {
    report.AddWarning(PSDLoadWarning::kUnknownProperty, Kernel::FormatString(context, {key.ToString()}));
}

// The descriptor with the items of replaced put in place of those of the same key; items of keys
// it does not hold keep their place, and replaced's others are appended.
inline Descriptor ReplaceItems(Descriptor const& kept, Descriptor const& replaced) {
    Descriptor out(kept.m_classID);
    out.m_name = kept.m_name;
    auto find = [](Descriptor const& d, DescriptorKey const& k) -> Descriptor::Item const* {
        for (auto const& i : d.m_items)
            if (i.m_key == k) return &i;
        return nullptr;
    };
    for (auto const& i : kept.m_items) {
        auto const* r = find(replaced, i.m_key);
        out.m_items.push_back(r ? *r : i);
    }
    for (auto const& r : replaced.m_items)
        if (!find(kept, r.m_key)) out.m_items.push_back(r);
    return out;
}

// "8BIM", key, 4-byte length, the descriptor with its version, padded to 4 within the length.
[[nodiscard]] inline bool SaveDescriptorBlock(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                              uint32_t key, Descriptor const& d) {
    if (!WriteKey(stream, Key("8BIM"), sd.m_fixer) || !WriteKey(stream, key, sd.m_fixer)) return false;
    SectionSizer body;
    return body.Begin(stream, sd.m_fixer, false) && d.Save(stream, sd.m_fixer) && body.End(4, true);
}

}  // namespace PSD
