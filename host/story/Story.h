// The rich-text model: a story of UTF-16 text with its terminator, glyph attributes per character
// and paragraph attributes per paragraph, changed through deltas, and placed in a frame.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Font.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/String.h"
#include "host/renderer/Fill.h"

namespace Story {

using String8 = Kernel::StringT<Kernel::TEncUtf8>;

constexpr char16_t kParagraphBreak = u'\r';
constexpr char16_t kLineSeparator = u'\u2028';

// Text to insert, as UTF-16 code units.
class GlyphString {
public:
    GlyphString() = default;
    explicit GlyphString(std::u16string units) : m_units(std::move(units)) {}
    static GlyphString FromUtf8(std::string_view text);
    std::u16string const& GetUnits() const { return m_units; }
    size_t GetLength() const { return m_units.size(); }

private:
    std::u16string m_units;
};

// Glyph attributes by number.
enum class GlyphDouble : int {
    kSize = 0,           // pixels
    kTracking = 4,       // em / 1000 units ÷ 1000
    kBaselineShift = 5,  // pixels, up negative
    kAutoKern = 6,       // 0 automatic, −1 off
    kKerning = 9,
    kHorizontalScale = 10,  // 1.0 = 100 %
    kVerticalScale = 11,
    kLeading = 13,  // fixed leading, in the engine's unit
};
enum class GlyphInt : int {
    kUnderline = 0,
    kStrikethrough = 1,
    kBaseline = 2,
    kFixedLeading = 4,
    kFauxBold = 5,  // drawn widened, as the editor's synthetic bold
    kFauxItalic = 6,
};
enum class GlyphStr : int { kPostScriptName = 0, kFamily = 1, kStyle = 2 };
enum class GlyphObject : int { kFill = 0 };

// Paragraph attributes by number.
enum class ParaDouble : int {
    kAutoLeading = 0,  // factor of the size
    kStartIndent = 2,
    kEndIndent = 3,
    kFirstLineIndent = 4,  // first-line indent + start indent
    kSpaceBefore = 5,
    kSpaceAfter = 6,
    kWordSpacingMin = 8,
    kWordSpacingDesired = 9,
    kWordSpacingMax = 10,
    kLetterSpacingMin = 11,
    kLetterSpacingDesired = 12,
    kLetterSpacingMax = 13,
};
enum class ParaInt : int { kAlignment = 0, kAutoLeadingOn = 1 };

// Paragraph alignment as the model numbers it.
enum Alignment : int {
    kAlignLeft = 0,
    kAlignCentre = 1,
    kAlignRight = 2,
    kJustifyLeft = 3,
    kJustifyCentre = 4,
    kJustifyRight = 5,
    kJustifyAll = 6,
};

// Caps as the OpenType feature set expresses them.
enum CapsType : int { kCapsNormal = 0, kCapsSmall = 2, kCapsAll = 3 };

// One set of attribute values; glyph and paragraph attributes share the storage.
class Atts : public Kernel::Countable {
public:
    static constexpr int kDoubles = 16, kInts = 8, kStrings = 4;

    double GetDouble(int k) const { return m_doubles[k]; }
    int GetInt(int k) const { return m_ints[k]; }
    String8 const& GetString(int k) const { return m_strings[k]; }
    Kernel::Counted<Renderer::Fill const> const& GetFill() const { return m_fill; }
    // −1 when the feature was never set.
    int GetFeature(uint32_t tag) const;
    int GetCaps() const { return m_caps; }
    std::vector<std::pair<double, double>> const& GetAxes() const { return m_axes; }

    void SetDouble(int k, double v) { m_doubles[k] = v; }
    void SetInt(int k, int v) { m_ints[k] = v; }
    void SetString(int k, String8 v) { m_strings[k] = std::move(v); }
    void SetFill(Kernel::Counted<Renderer::Fill const> f) { m_fill = std::move(f); }
    void SetFeature(uint32_t tag, int v) { m_features[tag] = v; }
    void SetCaps(int v) { m_caps = v; }
    void SetAxes(std::vector<std::pair<double, double>> axes) { m_axes = std::move(axes); }

    bool operator==(Atts const& o) const;
    // Paragraph attributes; deltas change only the kind they are made for.
    virtual bool IsParagraph() const = 0;

protected:
    std::array<double, kDoubles> m_doubles{};
    std::array<int, kInts> m_ints{};
    std::array<String8, kStrings> m_strings;
    Kernel::Counted<Renderer::Fill const> m_fill;
    std::map<uint32_t, int> m_features;
    std::vector<std::pair<double, double>> m_axes;  // variable-font axis (tag, value)
    int m_caps = kCapsNormal;
};

class GlyphAtts : public Atts {
public:
    bool IsParagraph() const override { return false; }
    // Size 12, scales 1, automatic leading and kerning, black fill.
    static Kernel::Counted<GlyphAtts const> GetDefault();
    Kernel::Counted<GlyphAtts> Clone() const { return Kernel::MakeCounted<GlyphAtts>(*this); }
    void Set(GlyphDouble k, double v) { SetDouble(int(k), v); }
    void Set(GlyphInt k, int v) { SetInt(int(k), v); }
    void Set(GlyphStr k, String8 v) { SetString(int(k), std::move(v)); }
    void Set(GlyphObject, Kernel::Counted<Renderer::Fill const> f) { SetFill(std::move(f)); }
    double Get(GlyphDouble k) const { return GetDouble(int(k)); }
    int Get(GlyphInt k) const { return GetInt(int(k)); }
    String8 const& Get(GlyphStr k) const { return GetString(int(k)); }
};

class ParagraphAtts : public Atts {
public:
    bool IsParagraph() const override { return true; }
    // Left aligned, automatic leading of 1.2, no indents or spacing.
    static Kernel::Counted<ParagraphAtts const> GetDefault();
    Kernel::Counted<ParagraphAtts> Clone() const {
        return Kernel::MakeCounted<ParagraphAtts>(*this);
    }
    void Set(ParaDouble k, double v) { SetDouble(int(k), v); }
    void Set(ParaInt k, int v) { SetInt(int(k), v); }
    double Get(ParaDouble k) const { return GetDouble(int(k)); }
    int Get(ParaInt k) const { return GetInt(int(k)); }
};

// A change to attribute values of one kind (glyph or paragraph); the other kind is left alone.
class Delta : public Kernel::Countable {
public:
    virtual void Apply(Atts& atts) const = 0;
};
using DeltaPtr = Kernel::Counted<Delta const>;

// A change of one attribute.
DeltaPtr MakeDelta(GlyphDouble k, double v);
DeltaPtr MakeDelta(GlyphInt k, int v);
DeltaPtr MakeDelta(GlyphStr k, String8 v);
DeltaPtr MakeDelta(GlyphObject k, Kernel::Counted<Renderer::Fill const> v);
DeltaPtr MakeDelta(ParaDouble k, double v);
DeltaPtr MakeDelta(ParaInt k, int v);

// Sets the font: the family (and style, axes) of a found font, with the PostScript name asked for.
class FontDelta : public Delta {
public:
    FontDelta(String8 postScriptName, String8 family) : m_postScript(std::move(postScriptName)) {
        m_font.family = std::move(family);
    }
    FontDelta(String8 postScriptName, Kernel::FontDescription font)
        : m_postScript(std::move(postScriptName)), m_font(std::move(font)) {}
    void Apply(Atts& atts) const override;

private:
    String8 m_postScript;
    Kernel::FontDescription m_font;
};

// Turns an OpenType feature on or off, or sets the caps type.
class OpenTypeFeatureDelta : public Delta {
public:
    static Kernel::Counted<OpenTypeFeatureDelta> Feature(uint32_t tag, bool on);
    static Kernel::Counted<OpenTypeFeatureDelta> Caps(int capsType);
    void Apply(Atts& atts) const override;

private:
    uint32_t m_tag = 0;  // 0: caps
    int m_value = 0;
};

// Deltas applied in the order they were merged; a later one wins over an earlier one.
class CompositeDelta : public Delta {
public:
    void AddMerge(DeltaPtr const& d) {
        if (d) m_deltas.push_back(d);
    }
    void AddMerge(CompositeDelta const& d) {
        m_deltas.insert(m_deltas.end(), d.m_deltas.begin(), d.m_deltas.end());
    }
    void Apply(Atts& atts) const override {
        for (auto const& d : m_deltas) d->Apply(atts);
    }
    bool IsEmpty() const { return m_deltas.empty(); }

private:
    std::vector<DeltaPtr> m_deltas;
};

// Where a story is placed: at a point (point text) or in a rectangle (box text).
class Frame : public Kernel::Countable {
public:
    virtual bool IsColumn() const = 0;
};

class ArtFrame : public Frame {
public:
    explicit ArtFrame(Kernel::PointT<double> origin) : m_origin(origin) {}
    bool IsColumn() const override { return false; }
    Kernel::PointT<double> m_origin;  // the first line's baseline start
};

class ColumnFrame : public Frame {
public:
    explicit ColumnFrame(Kernel::RectT<double> bounds) : m_bounds(bounds) {}
    bool IsColumn() const override { return true; }
    Kernel::RectT<double> m_bounds;
};

class Story;

// A position between two characters of a story (0 = before the first).
class StoryPos {
public:
    StoryPos() = default;
    StoryPos(Story const* story, size_t index) : m_story(story), m_index(index) {}
    size_t GetIndex() const { return m_index; }
    // Moves by n characters, kept within the story and its terminator.
    StoryPos& MoveBy(long n);
    // Moves to the next occurrence of c at or after this position; false (unmoved) when none.
    bool Find(char16_t c);
    bool IsStoryBegin() const { return m_index == 0; }
    bool IsParagraphBegin() const;
    auto operator<=>(StoryPos const& o) const { return m_index <=> o.m_index; }
    bool operator==(StoryPos const& o) const { return m_index == o.m_index; }

private:
    Story const* m_story = nullptr;
    size_t m_index = 0;
};

// A run of characters from begin up to end.
class StoryRange {
public:
    StoryRange() = default;
    StoryRange(StoryPos b, StoryPos e) : m_begin(b), m_end(e) {}
    StoryPos const& GetBegin() const { return m_begin; }
    StoryPos const& GetEnd() const { return m_end; }
    size_t GetLength() const { return m_end.GetIndex() - m_begin.GetIndex(); }
    // Widens both ends to paragraph boundaries (a paragraph includes its break).
    void ExtendToWholeParagraphs();
    // Makes the range cover the story terminator too (paragraph attributes of the last paragraph
    // live there).
    void IncludeStoryTerminator() { m_includesTerminator = true; }
    bool IncludesTerminator() const { return m_includesTerminator; }

private:
    StoryPos m_begin, m_end;
    bool m_includesTerminator = false;
};

// Text with one glyph-attribute set per character and one paragraph-attribute set per
// character (the same within a paragraph); the terminator after the last character holds the
// attributes of an empty last paragraph.
// The document's proportions for synthetic small caps, superscript and subscript: sizes as a
// factor on the font size, positions as the baseline's rise (or fall) in font sizes.
struct ScriptProportions {
    double smallCapSize = 0.7;
    double superscriptSize = 0.583, superscriptPosition = 0.333;
    double subscriptSize = 0.583, subscriptPosition = 0.333;
};

class Story : public Kernel::Countable {
public:
    Story();

    size_t GetLength() const { return m_text.size(); }  // without the terminator
    std::u16string const& GetText() const { return m_text; }
    StoryPos gbegin() const { return StoryPos(this, 0); }
    StoryPos gend() const { return StoryPos(this, m_text.size()); }
    StoryPos GetTerminatorPos() const { return gend(); }
    // Every character, without the terminator.
    StoryRange GetClientAll() const { return StoryRange(gbegin(), gend()); }
    // Every character and the terminator.
    size_t GetAttsCount() const { return m_glyphAtts.size(); }

    // Replaces a range by text carrying these attributes (by default those of the range's first
    // character, or of the character before an empty range).
    void ReplaceText(StoryRange const& range, GlyphString const& text,
                     Kernel::Counted<GlyphAtts const> atts = nullptr);
    void DeleteText(StoryRange const& range);
    // Applies glyph deltas to the characters of the range, and paragraph deltas to the whole
    // paragraphs it touches. A range covering the terminator reaches it too.
    void FormatText(StoryRange const& range, Delta const& delta);

    Kernel::Counted<GlyphAtts const> const& GetGlyphAtts(size_t i) const { return m_glyphAtts[i]; }
    Kernel::Counted<ParagraphAtts const> const& GetParagraphAtts(size_t i) const {
        return m_paraAtts[i];
    }
    void SetGlyphAtts(size_t i, Kernel::Counted<GlyphAtts const> atts) {
        m_glyphAtts[i] = std::move(atts);
    }
    // Sets the attributes every character starts with (an empty story's terminator).
    void SetDefaults(Kernel::Counted<GlyphAtts const> glyph,
                     Kernel::Counted<ParagraphAtts const> paragraph);

    // The paragraphs in order, each with its break.
    std::vector<StoryRange> GetParagraphs() const;
    // A new story holding a copy of the range with its attributes.
    Kernel::Counted<Story> Copy(StoryRange const& range) const;

    Kernel::Counted<Frame> const& GetFrame() const { return m_frame; }
    void SetFrame(Kernel::Counted<Frame> frame) { m_frame = std::move(frame); }
    ScriptProportions const& GetScriptProportions() const { return m_script; }
    void SetScriptProportions(ScriptProportions const& p) { m_script = p; }

private:
    std::u16string m_text;
    std::vector<Kernel::Counted<GlyphAtts const>> m_glyphAtts;     // text size + 1
    std::vector<Kernel::Counted<ParagraphAtts const>> m_paraAtts;  // text size + 1
    Kernel::Counted<Frame> m_frame;
    ScriptProportions m_script;
};

}  // namespace Story
