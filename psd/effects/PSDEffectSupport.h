// Checks shared by the effect, gradient and contour readers: item kinds with their error contexts,
// class IDs as warnings, enumerations of a fixed type, and safe truncation.
#pragma once

#include <cmath>
#include <cstdint>

#include "psd/descriptor/Descriptor.h"
#include "psd/report/PSDReport.h"

namespace PSD {

inline String TypeText(DescriptorItem const& item) {
    return DescriptorItem::TypeToString(item.GetType());
}

// Toward zero; NaN and values beyond 32 bits give the nearest end (NaN gives 0).
inline int32_t TruncateInt(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return int32_t(v);
}

// The descriptor an item holds; else code 29 with context (filled with the item's type), null.
inline Descriptor const* ExpectDescriptor(DescriptorItem const& item, char const* context,
                                          unsigned number, PSDReport& report) {
    auto const* d = dynamic_cast<DescriptorItemDescriptor const*>(&item);
    if (d) return &d->m_descriptor;
    report.SetError(PSDError::kDescriptorExpectedDescriptor,
                    Kernel::FormatString(context, {TypeText(item)}), number);
    return nullptr;
}

inline DescriptorItemList const* ExpectList(DescriptorItem const& item, char const* context,
                                            unsigned number, PSDReport& report) {
    auto const* l = dynamic_cast<DescriptorItemList const*>(&item);
    if (l) return l;
    report.SetError(PSDError::kDescriptorExpectedList,
                    Kernel::FormatString(context, {TypeText(item)}), number);
    return nullptr;
}

// A class ID other than the expected code is tolerated with an "Unexpected key" warning.
inline void WarnClass(Descriptor const& d, uint32_t expected, char const* context,
                      PSDReport& report) {
    if (d.m_classID.m_code != expected)
        report.AddWarning(PSDLoadWarning::kUnexpectedKey,
                          Kernel::FormatString(context, {d.m_classID.ToString()}));
}

// An enumeration whose type is the given code: false after code 31 (not an enum, notEnum filled
// with the item's type) or 37 (another type, wrongType filled with that type). value is the value's
// text: a code's four characters or the name.
inline bool CheckEffectEnum(DescriptorItem const& item, char const* typeCode, char const* notEnum,
                            char const* wrongType, unsigned number, String& value,
                            PSDReport& report) {
    auto const* e = dynamic_cast<DescriptorItemEnum const*>(&item);
    if (!e) {
        report.SetError(PSDError::kDescriptorExpectedEnum,
                        Kernel::FormatString(notEnum, {TypeText(item)}), number);
        return false;
    }
    uint32_t code = uint32_t(uint8_t(typeCode[0])) << 24 | uint32_t(uint8_t(typeCode[1])) << 16 |
                    uint32_t(uint8_t(typeCode[2])) << 8 | uint32_t(uint8_t(typeCode[3]));
    if (e->m_value.m_type.m_code != code) {
        report.SetError(PSDError::kDescriptorUnexpectedEnumType,
                        Kernel::FormatString(wrongType, {e->m_value.m_type.ToString()}), number);
        return false;
    }
    value = e->m_value.m_value.ToString();
    return true;
}

// The enumeration value key of a text as CheckEffectEnum gives it: four characters are a code.
inline DescriptorKey EnumValueKey(String const& text) {
    if (text.size() == 4)
        return DescriptorKey(uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
                             uint32_t(uint8_t(text[2])) << 8 | uint32_t(uint8_t(text[3])));
    return DescriptorKey::Name(text);
}

}  // namespace PSD
