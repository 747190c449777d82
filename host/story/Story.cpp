#include "host/story/Story.h"

#include <algorithm>

#include "host/renderer/Colour.h"

namespace Story {

GlyphString GlyphString::FromUtf8(std::string_view text) {
    return GlyphString(Kernel::ConvertEnc(text));
}

// ---- Attributes

int Atts::GetFeature(uint32_t tag) const {
    auto it = m_features.find(tag);
    return it == m_features.end() ? -1 : it->second;
}

bool Atts::operator==(Atts const& o) const {
    if (m_doubles != o.m_doubles || m_ints != o.m_ints || m_strings != o.m_strings ||
        m_features != o.m_features || m_axes != o.m_axes || m_caps != o.m_caps)
        return false;
    if (m_fill == o.m_fill) return true;
    auto a = m_fill.DynamicCast<Renderer::FillSolid const>();
    auto b = o.m_fill.DynamicCast<Renderer::FillSolid const>();
    if (!a || !b) return false;
    auto ca = a->GetColour(), cb = b->GetColour();
    if (ca == cb) return true;
    if (!ca || !cb || ca->GetModel() != cb->GetModel()) return false;
    auto x = ca->ToRGBAF(), y = cb->ToRGBAF();
    if (Renderer::IsCMYKModel(ca->GetModel())) {
        auto p = ca->ToCMYKAF(), q = cb->ToCMYKAF();
        return p.c == q.c && p.m == q.m && p.y == q.y && p.k == q.k;
    }
    return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
}

Kernel::Counted<GlyphAtts const> GlyphAtts::GetDefault() {
    static Kernel::Counted<GlyphAtts const> const s = [] {
        auto a = Kernel::MakeCounted<GlyphAtts>();
        a->Set(GlyphDouble::kSize, 12.0);
        a->Set(GlyphDouble::kHorizontalScale, 1.0);
        a->Set(GlyphDouble::kVerticalScale, 1.0);
        a->Set(GlyphObject::kFill, Renderer::FillSolid::Create(Renderer::ColourRGB::Create(
                                       Renderer::RGBAF{0, 0, 0, 1}, 1.0f, 1.0f, String8())));
        return Kernel::Counted<GlyphAtts const>(a);
    }();
    return s;
}

Kernel::Counted<ParagraphAtts const> ParagraphAtts::GetDefault() {
    static Kernel::Counted<ParagraphAtts const> const s = [] {
        auto a = Kernel::MakeCounted<ParagraphAtts>();
        a->Set(ParaDouble::kAutoLeading, 1.2);
        a->Set(ParaInt::kAutoLeadingOn, 1);
        a->Set(ParaDouble::kWordSpacingMin, 0.8);
        a->Set(ParaDouble::kWordSpacingDesired, 1.0);
        a->Set(ParaDouble::kWordSpacingMax, 1.33);
        return Kernel::Counted<ParagraphAtts const>(a);
    }();
    return s;
}

// ---- Deltas

namespace {

class DoubleDelta : public Delta {
public:
    DoubleDelta(bool para, int k, double v) : m_para(para), m_k(k), m_v(v) {}
    void Apply(Atts& a) const override {
        if (a.IsParagraph() == m_para) a.SetDouble(m_k, m_v);
    }
    bool m_para;
    int m_k;
    double m_v;
};
class IntDelta : public Delta {
public:
    IntDelta(bool para, int k, int v) : m_para(para), m_k(k), m_v(v) {}
    void Apply(Atts& a) const override {
        if (a.IsParagraph() == m_para) a.SetInt(m_k, m_v);
    }
    bool m_para;
    int m_k, m_v;
};
class StringDelta : public Delta {
public:
    StringDelta(int k, String8 v) : m_k(k), m_v(std::move(v)) {}
    void Apply(Atts& a) const override {
        if (!a.IsParagraph()) a.SetString(m_k, m_v);
    }
    int m_k;
    String8 m_v;
};
class FillDelta : public Delta {
public:
    explicit FillDelta(Kernel::Counted<Renderer::Fill const> v) : m_v(std::move(v)) {}
    void Apply(Atts& a) const override {
        if (!a.IsParagraph()) a.SetFill(m_v);
    }
    Kernel::Counted<Renderer::Fill const> m_v;
};

}  // namespace

DeltaPtr MakeDelta(GlyphDouble k, double v) {
    return DeltaPtr(new DoubleDelta(false, int(k), v));
}
DeltaPtr MakeDelta(GlyphInt k, int v) {
    return DeltaPtr(new IntDelta(false, int(k), v));
}
DeltaPtr MakeDelta(GlyphStr k, String8 v) {
    return DeltaPtr(new StringDelta(int(k), std::move(v)));
}
DeltaPtr MakeDelta(GlyphObject, Kernel::Counted<Renderer::Fill const> v) {
    return DeltaPtr(new FillDelta(std::move(v)));
}
DeltaPtr MakeDelta(ParaDouble k, double v) {
    return DeltaPtr(new DoubleDelta(true, int(k), v));
}
DeltaPtr MakeDelta(ParaInt k, int v) {
    return DeltaPtr(new IntDelta(true, int(k), v));
}

void FontDelta::Apply(Atts& a) const {
    if (a.IsParagraph()) return;
    a.SetString(int(GlyphStr::kPostScriptName), m_postScript);
    a.SetString(int(GlyphStr::kFamily), m_font.family);
    std::vector<std::pair<double, double>> axes;
    for (auto const& [tag, value] : m_font.axes) axes.emplace_back(double(tag), value);
    a.SetAxes(std::move(axes));
}

Kernel::Counted<OpenTypeFeatureDelta> OpenTypeFeatureDelta::Feature(uint32_t tag, bool on) {
    auto d = Kernel::MakeCounted<OpenTypeFeatureDelta>();
    d->m_tag = tag;
    d->m_value = on ? 1 : 0;
    return d;
}

Kernel::Counted<OpenTypeFeatureDelta> OpenTypeFeatureDelta::Caps(int capsType) {
    auto d = Kernel::MakeCounted<OpenTypeFeatureDelta>();
    d->m_value = capsType;
    return d;
}

void OpenTypeFeatureDelta::Apply(Atts& a) const {
    if (a.IsParagraph()) return;
    if (m_tag == 0)
        a.SetCaps(m_value);
    else
        a.SetFeature(m_tag, m_value);
}

// ---- Positions and ranges

StoryPos& StoryPos::MoveBy(long n) {
    long limit = m_story ? long(m_story->GetLength()) : 0;
    m_index = size_t(std::clamp(long(m_index) + n, 0L, limit));
    return *this;
}

bool StoryPos::Find(char16_t c) {
    if (!m_story) return false;
    size_t at = m_story->GetText().find(c, m_index);
    if (at == std::u16string::npos) return false;
    m_index = at;
    return true;
}

bool StoryPos::IsParagraphBegin() const {
    return m_index == 0 || (m_story && m_index <= m_story->GetLength() &&
                            m_story->GetText()[m_index - 1] == kParagraphBreak);
}

void StoryRange::ExtendToWholeParagraphs() {
    while (!m_begin.IsParagraphBegin()) m_begin.MoveBy(-1);
    // An empty range at a paragraph start stands for that paragraph.
    StoryPos probe = m_end;
    if (m_end.GetIndex() > m_begin.GetIndex() && m_end.IsParagraphBegin()) return;
    while (true) {
        size_t before = probe.GetIndex();
        if (probe.Find(kParagraphBreak)) {
            probe.MoveBy(1);
            m_end = probe;
            return;
        }
        probe.MoveBy(long(1) << 30);
        if (probe.GetIndex() == before) break;
    }
    m_end = probe;
}

// ---- Story

Story::Story() {
    m_glyphAtts.push_back(GlyphAtts::GetDefault());
    m_paraAtts.push_back(ParagraphAtts::GetDefault());
}

void Story::SetDefaults(Kernel::Counted<GlyphAtts const> glyph,
                        Kernel::Counted<ParagraphAtts const> paragraph) {
    for (auto& g : m_glyphAtts) g = glyph;
    for (auto& p : m_paraAtts) p = paragraph;
}

void Story::ReplaceText(StoryRange const& range, GlyphString const& text,
                        Kernel::Counted<GlyphAtts const> atts) {
    size_t b = std::min(range.GetBegin().GetIndex(), m_text.size());
    size_t e = std::clamp(range.GetEnd().GetIndex(), b, m_text.size());
    if (!atts) atts = m_glyphAtts[b];
    auto para = m_paraAtts[b];
    m_text.replace(b, e - b, text.GetUnits());
    m_glyphAtts.erase(m_glyphAtts.begin() + long(b), m_glyphAtts.begin() + long(e));
    m_paraAtts.erase(m_paraAtts.begin() + long(b), m_paraAtts.begin() + long(e));
    m_glyphAtts.insert(m_glyphAtts.begin() + long(b), text.GetLength(), atts);
    m_paraAtts.insert(m_paraAtts.begin() + long(b), text.GetLength(), para);
}

void Story::DeleteText(StoryRange const& range) {
    ReplaceText(range, GlyphString());
}

void Story::FormatText(StoryRange const& range, Delta const& delta) {
    size_t last = range.IncludesTerminator() ? m_text.size() + 1 : m_text.size();
    size_t b = std::min(range.GetBegin().GetIndex(), last);
    size_t e = std::clamp(range.GetEnd().GetIndex() + (range.IncludesTerminator() ? 1 : 0), b,
                          last);
    // Characters that shared one attribute set before still share one after.
    auto apply = [&](auto& list, size_t from, size_t to) {
        using Ptr = std::decay_t<decltype(list[0])>;
        Ptr prevIn, prevOut;
        for (size_t i = from; i < to; ++i) {
            if (list[i] != prevIn || !prevIn) {
                prevIn = list[i];
                auto copy = list[i]->Clone();
                delta.Apply(*copy);
                prevOut = Ptr(copy);
            }
            list[i] = prevOut;
        }
    };
    apply(m_glyphAtts, b, e);
    {
        StoryRange whole(StoryPos(this, b), StoryPos(this, std::min(e, m_text.size())));
        whole.ExtendToWholeParagraphs();
        size_t pe = whole.GetEnd().GetIndex();
        // The last paragraph owns the terminator.
        if (pe >= m_text.size()) pe = m_text.size() + 1;
        apply(m_paraAtts, whole.GetBegin().GetIndex(), pe);
    }
}

std::vector<StoryRange> Story::GetParagraphs() const {
    std::vector<StoryRange> out;
    size_t start = 0;
    for (size_t i = 0; i < m_text.size(); ++i)
        if (m_text[i] == kParagraphBreak) {
            out.emplace_back(StoryPos(this, start), StoryPos(this, i + 1));
            start = i + 1;
        }
    if (start < m_text.size() || out.empty())
        out.emplace_back(StoryPos(this, start), StoryPos(this, m_text.size()));
    return out;
}

Kernel::Counted<Story> Story::Copy(StoryRange const& range) const {
    auto s = Kernel::MakeCounted<Story>();
    size_t b = std::min(range.GetBegin().GetIndex(), m_text.size());
    size_t e = std::clamp(range.GetEnd().GetIndex(), b, m_text.size());
    s->m_text = m_text.substr(b, e - b);
    s->m_glyphAtts.assign(m_glyphAtts.begin() + long(b), m_glyphAtts.begin() + long(e));
    s->m_paraAtts.assign(m_paraAtts.begin() + long(b), m_paraAtts.begin() + long(e));
    // The copy's terminator takes the attributes of the character after the range.
    s->m_glyphAtts.push_back(m_glyphAtts[e]);
    s->m_paraAtts.push_back(e > b ? m_paraAtts[e - 1] : m_paraAtts[e]);
    s->m_frame = m_frame;
    s->m_script = m_script;
    return s;
}

}  // namespace Story
