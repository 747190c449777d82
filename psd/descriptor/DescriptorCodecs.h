// Converters between descriptor items and host values: typed decoders that report a mismatch,
// encoders that append one typed item, colours both ways (descriptor colour objects and the
// 10-byte legacy record), points, blend modes, and the string dictionaries of enumerations.
#pragma once

#include <cstdint>
#include <map>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/Stream.h"
#include "host/kernel/Units.h"
#include "host/renderer/Colour.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/io/PSDBlendMode.h"
#include "psd/vector/PSDVectorStroke.h"

namespace PSD {

// Enumeration text <-> value, both directions. T is a 32-bit enumeration.
template <class T>
class DictionaryBase {
public:
    // Overwrites an earlier entry of the same text or the same value.
    void Add(String const& text, T value) {
        m_byText[text] = value;
        m_byValue[value] = text;
    }
    bool Lookup(String const& text, T& value) const {
        auto it = m_byText.find(text);
        if (it == m_byText.end()) return false;
        value = it->second;
        return true;
    }
    bool ReverseLookup(T value, String& text) const {
        auto it = m_byValue.find(value);
        if (it == m_byValue.end()) return false;
        text = it->second;
        return true;
    }

private:
    std::map<String, T> m_byText;  // byte order of the text
    std::map<T, String> m_byValue;
};

// Process-wide dictionaries, built on first use (thread-safe) and read-only afterwards.
class LineCapDictionary : public DictionaryBase<PSDVectorStroke::LineCapType> {
public:
    static LineCapDictionary const& Instance();

private:
    LineCapDictionary();
};

// The descriptor names of the stroke line joins.
class LineJoinDictionary : public DictionaryBase<PSDVectorStroke::LineJoinStyle> {
public:
    static LineJoinDictionary const& Instance();

private:
    LineJoinDictionary();
};

// The descriptor names of the stroke alignments.
class LineAlignmentDictionary : public DictionaryBase<PSDVectorStroke::LineAlignment> {
public:
    static LineAlignmentDictionary const& Instance();

private:
    LineAlignmentDictionary();
};

// ---- Decoders: on a type mismatch they store an error and leave the output unchanged.

[[nodiscard]] bool DecodeDouble(DescriptorItem const& item, double& out, PSDReport& report);
[[nodiscard]] bool DecodeBool(DescriptorItem const& item, bool& out, PSDReport& report);
[[nodiscard]] bool DecodeInteger(DescriptorItem const& item, int& out, PSDReport& report);
[[nodiscard]] bool DecodeString(DescriptorItem const& item, String& out, PSDReport& report);
[[nodiscard]] bool DecodeUnitType(DescriptorItem const& item,
                                  DescriptorItemUnitFloat::UnitType& out, PSDReport& report);
[[nodiscard]] bool DecodeUnitAndType(DescriptorItem const& item,
                                     DescriptorItemUnitFloat::UnitType& unit, double& value,
                                     PSDReport& report);
// The value of a unit float whose unit must be the expected one.
[[nodiscard]] bool DecodeUnit(DescriptorItem const& item,
                              DescriptorItemUnitFloat::UnitType expected, double& value,
                              PSDReport& report);
[[nodiscard]] bool DecodeBlendMode(DescriptorItem const& item, BlendMode& out, PSDReport& report);
// A colour object of any model; the output is replaced only on success.
[[nodiscard]] bool DecodeColor(DescriptorItem const& item,
                               Kernel::Consolidated<Renderer::Colour>& out, PSDReport& report);
[[nodiscard]] bool DecodePoint(DescriptorItem const& item, Kernel::PointT<double>& out,
                               PSDReport& report);

namespace detail {
// The non-template steps of DecodeEnum: false after storing the error; else the value name.
bool CheckEnum(DescriptorItem const& item, char const* typeName, String& valueName,
               PSDReport& report);
void WarnUnknownEnumValue(char const* typeName, String const& valueName, PSDReport& report);
}  // namespace detail

// An enum whose type key is the name typeName and whose value name is in the dictionary. An
// unknown value name gives the default and a warning.
template <class T>
[[nodiscard]] bool DecodeEnum(DescriptorItem const& item, DictionaryBase<T> const& dictionary,
                              char const* typeName, T& out, T defaultValue, PSDReport& report) {
    String valueName;
    if (!detail::CheckEnum(item, typeName, valueName, report)) return false;
    if (dictionary.Lookup(valueName, out)) return true;
    out = defaultValue;
    detail::WarnUnknownEnumValue(typeName, valueName, report);
    return true;
}

// ---- Encoders: each appends one item; on failure the descriptor is unchanged.

bool EncodeInteger(Descriptor& desc, DescriptorKey const& key, int value);
bool EncodeBool(Descriptor& desc, DescriptorKey const& key, bool value);
bool EncodeDouble(Descriptor& desc, DescriptorKey const& key, double value);
bool EncodeString(Descriptor& desc, DescriptorKey const& key, String const& value);
bool EncodeUnit(Descriptor& desc, DescriptorKey const& key, DescriptorItemUnitFloat::UnitType unit,
                double value);
// Host units percent, pixels, inches, points, millimetres and centimetres; others fail.
bool EncodeUnit(Descriptor& desc, DescriptorKey const& key, Kernel::UnitValue const& value);
bool EncodeEnum(Descriptor& desc, DescriptorKey const& key, DescriptorKey const& type,
                DescriptorKey const& value);
template <class T>
bool EncodeEnum(Descriptor& desc, DescriptorKey const& key, DescriptorKey const& type,
                DictionaryBase<T> const& dictionary, T const& value) {
    String text;
    if (!dictionary.ReverseLookup(value, text)) return false;
    return EncodeEnum(desc, key, type, DescriptorKey::Name(text));
}
bool EncodeBlendMode(Descriptor& desc, DescriptorKey const& key, BlendMode mode);
bool EncodeColor(Descriptor& desc, DescriptorKey const& key,
                 Kernel::Consolidated<Renderer::Colour> const& colour);
// The colour object alone; null for an unsupported model.
Kernel::Counted<DescriptorItemDescriptor> EncodeColor(
    Kernel::Consolidated<Renderer::Colour> colour);
bool EncodePoint(Descriptor& desc, DescriptorKey const& key, Kernel::PointT<double> const& point);

// The 10-byte legacy colour record: space, then four 16-bit components.
[[nodiscard]] bool WriteColor(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                              Kernel::Consolidated<Renderer::Colour> colour);

// HSB (all 0..1) to HSL (all 0..1). A colour without brightness has saturation 0.
void HSBtoHSL(double h, double s, double v, double& h2, double& s2, double& l);

}  // namespace PSD
