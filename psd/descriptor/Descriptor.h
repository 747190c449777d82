// Descriptors: the self-describing trees of keyed, typed values that effects, fills, strokes,
// shapes, type layers and smart objects store their settings in. This is the byte format and the
// object model; the value codecs live in DescriptorCodecs.h.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/kernel/String.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDIO.h"
#include "psd/report/PSDReport.h"
#include "psd/text/PDFData.h"

namespace PSD {

// Four-character codes held as 32-bit values, first character most significant.
class DescriptorKey {
public:
    DescriptorKey() = default;
    // A code key; the name is empty.
    DescriptorKey(uint32_t code) : m_code(code) {}
    static DescriptorKey Code(uint32_t code) { return DescriptorKey(code); }
    static DescriptorKey Name(String const& name) {
        DescriptorKey k;
        k.Set(name);
        return k;
    }

    // Makes a name key.
    void Set(String const& name) {
        m_code = 0;
        m_name = name;
    }
    // Makes a code key.
    void Set(uint32_t code) {
        m_code = code;
        m_name.clear();
    }

    bool IsCode() const { return m_code != 0; }
    uint32_t GetCode() const { return m_code; }
    String const& GetName() const { return m_name; }
    // The key for messages: the name, or the code's key text.
    String ToString() const;

    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    // A code key is a zero length and the code; a name key its length and bytes. A key with
    // neither cannot be written.
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const;
    // "'%1'" with the code's four bytes or the name.
    void DebugDump() const;

    bool operator==(DescriptorKey const& o) const {
        return m_code == o.m_code && (m_code != 0 || m_name == o.m_name);
    }

    uint32_t m_code = 0;  // 0: the key is the name
    String m_name;
};

// An enumerated value: its type and its value, each a key.
struct EnumPair {
    DescriptorKey m_type;
    DescriptorKey m_value;

    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const;
};

class DescriptorItem;

// A descriptor: a class identifier and an ordered list of keyed items, read from and written to its binary form.
class Descriptor {
public:
    struct Item {
        DescriptorKey m_key;
        Kernel::Counted<DescriptorItem const> m_item;
    };

    Descriptor() = default;
    explicit Descriptor(DescriptorKey classID) : m_classID(std::move(classID)) {}

    // Version (16), then the body.
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    // The body only: name, class ID, items.
    [[nodiscard]] bool ParseDesc(Kernel::InStreamSeekable& stream, ParseData& pd);
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const;
    [[nodiscard]] bool SaveDesc(Kernel::OutStreamSeekable& stream,
                                ByteOrderFixer const& fixer) const;

    // Appends; an item with the same key stays where it is.
    void AddItem(DescriptorKey const& key, Kernel::Counted<DescriptorItem const> item);
    // First item with this code key, or null.
    Kernel::Counted<DescriptorItem const> GetItem(unsigned int code) const;
    // First item with this name key (code keys have empty names), or null.
    Kernel::Counted<DescriptorItem const> GetItem(char const* name) const;
    // GetItem(name) when it is a T, else null.
    template <class T>
    Kernel::Counted<T const> Get(char const* name) const;
    template <class T>
    Kernel::Counted<T const> Get(unsigned int code) const;

    void DebugDump(int indent) const;

    std::vector<Item> const& GetItems() const { return m_items; }
    String const& GetName() const { return m_name; }
    DescriptorKey const& GetClassID() const { return m_classID; }

    String m_name;
    DescriptorKey m_classID;
    std::vector<Item> m_items;
};

// One value of a descriptor or list; the subclasses hold each item type.
class DescriptorItem : public Kernel::Countable {
public:
    enum Type : uint32_t {
        kReference = 0,
        kDescriptor = 1,
        kList = 2,
        kDouble = 3,
        kUnitFloat = 4,
        kString = 5,
        kEnum = 6,
        kInteger = 7,
        kBool = 8,
        kClass = 9,
        kAliasData = 10,
        kPDFData = 11,
    };

    ~DescriptorItem() override = default;
    virtual Type GetType() const = 0;
    virtual char const* GetTypeString() const = 0;
    // Reads the payload that follows the type tag.
    [[nodiscard]] virtual bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) = 0;
    // Writes the type tag and the payload.
    [[nodiscard]] virtual bool Save(Kernel::OutStreamSeekable& stream,
                                    ByteOrderFixer const& fixer) const = 0;
    virtual void PrintValue() const {}
    virtual void PrintChildren(int) const {}

    // As a list element: "<type value>".
    void DebugDump(int indent) const;
    // As a descriptor entry: "<descriptoritem type=... key=... value>".
    void DebugDump(DescriptorKey const& key, int indent) const;

    // Reads a type tag and the matching item; null on any failure (the report says why).
    static Kernel::Counted<DescriptorItem> Create(Kernel::InStreamSeekable& stream, ParseData& pd);
    // "Reference", "Descriptor", ... "PDFData"; empty for values of 12 and up.
    static String TypeToString(Type type);
};

// One element of a reference item; the subclasses hold each form.
class ReferenceItem : public Kernel::Countable {
public:
    enum Type : uint32_t {
        kProperty = 0,
        kClass = 1,
        kEnumerated = 2,
        kOffset = 3,
    };

    ~ReferenceItem() override = default;
    virtual Type GetType() const = 0;
    virtual char const* GetTypeString() const = 0;
    // Reads the form payload after the form tag: class name, class key, then the form's fields.
    [[nodiscard]] virtual bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    // Writes the form tag and the payload.
    [[nodiscard]] virtual bool Save(Kernel::OutStreamSeekable& stream,
                                    ByteOrderFixer const& fixer) const;
    virtual void PrintValue() const {}
    void DebugDump(int indent) const;

    String m_className;
    DescriptorKey m_classKey;

protected:
    virtual uint32_t GetFormTag() const = 0;
    [[nodiscard]] virtual bool ParseI(Kernel::InStreamSeekable&, ParseData&) { return true; }
    [[nodiscard]] virtual bool SaveI(Kernel::OutStreamSeekable&, ByteOrderFixer const&) const {
        return true;
    }
};

// A reference to a property of a class.
class ReferenceItemProperty : public ReferenceItem {
public:
    Type GetType() const override { return kProperty; }
    char const* GetTypeString() const override { return "property"; }
    void PrintValue() const override;

    DescriptorKey m_property;

protected:
    uint32_t GetFormTag() const override { return Key("prop"); }
    [[nodiscard]] bool ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream,
                             ByteOrderFixer const& fixer) const override;
};

// A reference to a class.
class ReferenceItemClass : public ReferenceItem {
public:
    Type GetType() const override { return kClass; }
    char const* GetTypeString() const override { return "class"; }

protected:
    uint32_t GetFormTag() const override { return Key("Clss"); }
};

// A reference by an enumerated value.
class ReferenceItemEnumerated : public ReferenceItem {
public:
    Type GetType() const override { return kEnumerated; }
    char const* GetTypeString() const override { return "enumerated"; }
    void PrintValue() const override;

    EnumPair m_enum;

protected:
    uint32_t GetFormTag() const override { return Key("Enmr"); }
    [[nodiscard]] bool ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream,
                             ByteOrderFixer const& fixer) const override;
};

// A reference by an offset.
class ReferenceItemOffset : public ReferenceItem {
public:
    Type GetType() const override { return kOffset; }
    char const* GetTypeString() const override { return "offset"; }
    void PrintValue() const override;

    int32_t m_offset = 0;

protected:
    uint32_t GetFormTag() const override { return Key("rele"); }
    [[nodiscard]] bool ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream,
                             ByteOrderFixer const& fixer) const override;
};

// A reference: a list of reference elements.
class DescriptorItemReference : public DescriptorItem {
public:
    static constexpr Type kType = kReference;
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "reference"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintChildren(int indent) const override;

    std::vector<Kernel::Counted<ReferenceItem>> m_items;
};

// A nested descriptor (or a global object).
class DescriptorItemDescriptor : public DescriptorItem {
public:
    static constexpr Type kType = kDescriptor;
    DescriptorItemDescriptor() : m_descriptor(DescriptorKey(Key("null"))) {}
    explicit DescriptorItemDescriptor(Descriptor d) : m_descriptor(std::move(d)) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "descriptor"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintChildren(int indent) const override;

    Descriptor const& GetDescriptor() const { return m_descriptor; }
    Descriptor& GetDescriptor() { return m_descriptor; }

    Descriptor m_descriptor;
};

// A list of items.
class DescriptorItemList : public DescriptorItem {
public:
    static constexpr Type kType = kList;
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "list"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintChildren(int indent) const override;

    std::vector<Kernel::Counted<DescriptorItem>> m_items;
};

// A double.
class DescriptorItemDouble : public DescriptorItem {
public:
    static constexpr Type kType = kDouble;
    explicit DescriptorItemDouble(double v = 0.0) : m_value(v) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "double"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    double m_value;
};

// A double with a unit (angle, density, distance, percent, pixels, points...).
class DescriptorItemUnitFloat : public DescriptorItem {
public:
    static constexpr Type kType = kUnitFloat;
    enum UnitType : uint32_t {
        None = 0,
        Angle = 1,
        Density = 2,
        Distance = 3,
        Percent = 4,
        Pixels = 5,
        Points = 6,
        MM = 7,
        CM = 8,
        Inch = 9,
    };

    DescriptorItemUnitFloat() = default;
    DescriptorItemUnitFloat(UnitType unit, double v) : m_unit(unit), m_value(v) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "unitfloat"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    // "None", "Angle", ... "Inch"; empty outside the table.
    static String UnitTypeToString(UnitType unit);

    UnitType m_unit = None;
    double m_value = 0.0;
};

// A Unicode string.
class DescriptorItemString : public DescriptorItem {
public:
    static constexpr Type kType = kString;
    DescriptorItemString() = default;
    explicit DescriptorItemString(String v) : m_value(std::move(v)) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "string"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    String m_value;
};

// An enumerated value.
class DescriptorItemEnum : public DescriptorItem {
public:
    static constexpr Type kType = kEnum;
    DescriptorItemEnum() = default;
    DescriptorItemEnum(DescriptorKey type, DescriptorKey value)
        : m_value{std::move(type), std::move(value)} {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "enum"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    EnumPair m_value;
};

// A 32-bit integer.
class DescriptorItemInteger : public DescriptorItem {
public:
    static constexpr Type kType = kInteger;
    explicit DescriptorItemInteger(int32_t v = 0) : m_value(v) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "integer"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    int32_t m_value;
};

// A boolean.
class DescriptorItemBool : public DescriptorItem {
public:
    static constexpr Type kType = kBool;
    explicit DescriptorItemBool(bool v = false) : m_value(v) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "bool"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    bool m_value;
};

// A class (or a type name) as a value.
class DescriptorItemClass : public DescriptorItem {
public:
    static constexpr Type kType = kClass;
    DescriptorItemClass() = default;
    DescriptorItemClass(String name, DescriptorKey classID)
        : m_name(std::move(name)), m_classID(std::move(classID)) {}
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "class"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    String m_name;
    DescriptorKey m_classID;
};

// Raw bytes of an alias; kept so the item can be written back.
class DescriptorItemAliasData : public DescriptorItem {
public:
    static constexpr Type kType = kAliasData;
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "aliasdata"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;

    uint64_t GetSize() const { return m_size; }
    // Null when the size is 0.
    uint8_t const* GetData() const { return m_size ? m_buffer.data() : nullptr; }
    void SetData(void const* data, size_t size);

    uint64_t m_size = 0;
    std::vector<uint8_t> m_buffer;
};

// Engine data carried raw; it can be read but never written back.
class DescriptorItemPDFData : public DescriptorItem {
public:
    static constexpr Type kType = kPDFData;
    Type GetType() const override { return kType; }
    char const* GetTypeString() const override { return "PDFdata"; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    // The bytes as read, so that descriptors holding engine data or files (colour lookup tables,
    // type layers) can be saved.
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream,
                            ByteOrderFixer const& fixer) const override;
    void PrintValue() const override;

    // The parsed engine data; null when the block is empty or does not parse.
    Kernel::Counted<PDFData> GetPDFData() const;
    // The same when it is engine data (one dictionary); null for other raw data, such as the
    // table files and profiles of colour lookups.
    Kernel::Counted<PDFDictionary> GetEngineData() const {
        return GetPDFData().DynamicCast<PDFDictionary>();
    }

    uint64_t GetSize() const { return m_size; }
    uint8_t const* GetData() const { return m_size ? m_buffer.data() : nullptr; }
    void SetData(void const* data, size_t size);

    uint64_t m_size = 0;
    std::vector<uint8_t> m_buffer;
};

template <class T>
Kernel::Counted<T const> Descriptor::Get(char const* name) const {
    auto item = GetItem(name);
    if (!item || item->GetType() != T::kType) return nullptr;
    return Kernel::Counted<T const>(static_cast<T const*>(item.Get()));
}

template <class T>
Kernel::Counted<T const> Descriptor::Get(unsigned int code) const {
    auto item = GetItem(code);
    if (!item || item->GetType() != T::kType) return nullptr;
    return Kernel::Counted<T const>(static_cast<T const*>(item.Get()));
}

// Sends a code's four bytes, most significant first, to the debug dump.
void DebugDumpKey(unsigned int code);

}  // namespace PSD
