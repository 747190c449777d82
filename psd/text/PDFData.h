// Engine data: the PDF-like text serialisation that type layers use for their text and styling.
// The parser turns a byte buffer into a tree of counted values; the look-ups below are what the
// text readers use. The library only reads this syntax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/String.h"
#include "host/story/Story.h"

namespace PSD {

class PDFArray;

// One value of engine data; the subclasses hold each kind.
class PDFData : public Kernel::Countable {
public:
    ~PDFData() override = default;

    virtual bool GetBool() const { return false; }
    virtual int GetInt(int defaultValue) const { return defaultValue; }
    virtual double GetDouble(double defaultValue) const { return defaultValue; }
    // Debugging dump through the diagnostic trace, one tab per indent level.
    virtual void PrintValue(int indent) const = 0;
};

// A key and its value in a dictionary.
struct PDFDictionaryItem {
    Kernel::StringT<Kernel::TEncUtf8> m_key;  // the name without "/"
    Kernel::Counted<PDFData> m_value;         // never null in a parsed tree
};

// A dictionary of named values, in their stored order.
class PDFDictionary : public PDFData {
public:
    void PrintValue(int indent) const override;

    // First item with exactly this key, or null.
    Kernel::Counted<PDFData> GetValue(char const* key) const;
    // Walks nested dictionaries by up to three keys (a null key ends the path).
    Kernel::Counted<PDFData> GetValue(char const* key1, char const* key2,
                                      char const* key3 = nullptr) const;
    bool GetBool(char const* key) const;
    int GetInt(char const* key, int defaultValue) const;
    double GetDouble(char const* key, double defaultValue) const;
    // The name text when the value is a name, else empty.
    Kernel::StringT<Kernel::TEncUtf8> GetName(char const* key) const;
    // The string's text when the value is a string, else empty.
    Kernel::StringT<Kernel::TEncUtf8> GetString(char const* key) const;
    Kernel::Counted<PDFArray const> GetArray(char const* key) const;

    using PDFData::GetBool;
    using PDFData::GetDouble;
    using PDFData::GetInt;

    std::vector<PDFDictionaryItem> const& GetItems() const { return m_items; }
    void Append(Kernel::StringT<Kernel::TEncUtf8> key, Kernel::Counted<PDFData> value);

    std::vector<PDFDictionaryItem> m_items;
};

// An array of values.
class PDFArray : public PDFData {
public:
    void PrintValue(int indent) const override;

    size_t GetCount() const { return m_items.size(); }
    Kernel::Counted<PDFData> const& GetAt(size_t i) const { return m_items[i]; }
    std::vector<Kernel::Counted<PDFData>> const& GetItems() const { return m_items; }

    std::vector<Kernel::Counted<PDFData>> m_items;
};

// A name (/Name).
class PDFName : public PDFData {
public:
    explicit PDFName(Kernel::StringT<Kernel::TEncUtf8> name) : m_name(std::move(name)) {}
    bool GetBool() const override { return m_name == "true"; }
    void PrintValue(int indent) const override;

    Kernel::StringT<Kernel::TEncUtf8> const& GetName() const { return m_name; }

    Kernel::StringT<Kernel::TEncUtf8> m_name;  // without the leading "/"
};

// A literal string: UTF-16 when it starts with a byte-order mark, bytes otherwise.
class PDFString : public PDFData {
public:
    PDFString() = default;
    // Classifies raw literal bytes: a leading byte-order mark (with an even length) makes them
    // UTF-16, anything else stays a byte string.
    explicit PDFString(std::string_view bytes);
    void PrintValue(int indent) const override;

    // UTF-8 text: the UTF-16 string converted when present, else the bytes as they are.
    Kernel::StringT<Kernel::TEncUtf8> GetString() const;
    // The text as the text model takes it: the UTF-16 string when present, else the bytes.
    Story::GlyphString GetGlyphs() const;

    Kernel::StringT<Kernel::TEncUtf8> m_bytes;
    Kernel::StringT<Kernel::TEncUtf16> m_utf16;
};

// An integer.
class PDFInt : public PDFData {
public:
    explicit PDFInt(int32_t v) : m_value(v) {}
    int GetInt(int) const override { return m_value; }
    double GetDouble(double) const override { return m_value; }
    void PrintValue(int indent) const override;

    int32_t m_value;
};

// A real number.
class PDFDouble : public PDFData {
public:
    explicit PDFDouble(double v) : m_value(v) {}
    // Rounded to nearest, halves away from zero; clamped to the int range (NaN gives 0).
    int GetInt(int) const override;
    double GetDouble(double) const override { return m_value; }
    void PrintValue(int indent) const override;

    double m_value;
};

// One value per call, starting at the cursor. Does not own the buffer.
class PDFDataParser {
public:
    PDFDataParser(unsigned char const* data, unsigned long size)
        : m_data(data), m_remaining(size) {}

    // Null on failure or at the end of the input.
    [[nodiscard]] Kernel::Counted<PDFData> Parse();

    // Bytes not yet consumed (0 once the input is exhausted).
    unsigned long GetRemaining() const { return m_remaining; }

private:
    bool More() const { return m_remaining > 0; }
    unsigned char Peek() const { return m_data[m_offset]; }
    void Advance(unsigned long n = 1);
    void SkipWhitespace();
    Kernel::StringT<Kernel::TEncUtf8> ReadToken();
    Kernel::Counted<PDFData> ParseNameOrNumber();
    Kernel::Counted<PDFData> ParseDictionary();
    Kernel::Counted<PDFData> ParseArray();
    Kernel::Counted<PDFData> ParseLiteralString();

    unsigned char const* m_data;
    unsigned long m_offset = 0;
    unsigned long m_remaining;
    int m_depth = 0;
};

}  // namespace PSD
