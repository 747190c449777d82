#include "psd/report/PSDReport.h"

#include <typeinfo>

namespace PSD {

namespace {

constexpr char const* kErrorMessages[] = {
    "The file appears to be truncated",
    "Out of memory",
    "Bad file signature",
    "Offsets within the file were incorrect",
    "Failed to parse the file",
    "Unsupported PSD version",
    "Unsupported bit depth",
    "Unsupported colour mode",
    "Unsupported pixel format",
    "Unknown colour mode",
    "Unknown signature",
    "Unknown layer effect version",
    "Unknown raster compression method",
    "Unknown colour space",
    "Unknown Bevel version",
    "Unknown blend mode",
    "Unknown descriptor type",
    "Unknown descriptor reference type",
    "Unknown descriptor Unit Float type",
    "Unknown Glow version",
    "Unknown Shadow version",
    "Unknown vector mask version",
    "Unknown vector origination version",
    "Unknown Photo Filter version",
    "Unknown Type Tool version",
    "Unknown Solid Fill version",
    "Unknown Text version",
    "Unknown Text Warp version",
    "Descriptor: Expected a Bool",
    "Descriptor: Expected a Descriptor",
    "Descriptor: Expected a Double",
    "Descriptor: Expected an Enum",
    "Descriptor: Expected an Integer",
    "Descriptor: Expected a List",
    "Descriptor: Expected a String",
    "Descriptor: Expected a Unit Float",
    "Descriptor: Unexpected descriptor key",
    "Descriptor: Unexpected enum type",
    "Descriptor: Unexpected enum value",
    "Descriptor: Unexpected unit type",
    "Descriptor: Unknown colour type",
    "Descriptor: Unknown unit type",
    "Paths: Found empty paths",
    "Paths: Curves beginning with a Subtract op not supported",
    "Gradient: Bad data",
    "Shadow: Bad data",
    "Glow: Bad data",
    "Bevel: Bad data",
    "Solid Fill: Bad data",
};
static_assert(sizeof kErrorMessages / sizeof kErrorMessages[0] == 49);

constexpr char const* kWarningTitles[] = {
    "",
    "Unknown blend mode",
    "Unknown property",
    "Unknown enum value",
    "Unknown gradient type",
    "Unknown unit rect version",
    "Unexpected key",
    "Unexpected item type",
    "Unexpected unit float type",
    "Unknown Channel Mixer Adjustment version",
    "Unknown Colour Lookup Adjustment version",
    "Unknown Curves Adjustment version",
    "Unknown Exposure Adjustment version",
    "Unknown Gradient Map Adjustment version",
    "Unknown HSL Shift Adjustment version",
    "Unknown Levels Adjustment version",
    "Unknown Selective Colour Adjustment version",
    "Unknown Type Tool version",
    "Unknown Bevel direction",
    "Unknown Bevel style",
    "Unknown Bevel technique",
    "Unknown Glow source type",
    "Unknown Glow technique",
    "Unknown Gradient format",
    "Unknown Gradient colour type",
    "Unsupported Gradient format",
    "Unknown layers effect type",
    "Unknown Stroke fill type",
    "Unknown Stroke style",
    "Unexpected Vector Stroke fill adjustment",
    "Unexpected Vector Stroke line unit type",
    "Unexpected Vector Stroke line fill type",
    "Found multiple working paths",
    "Bad text data",
    "Unexpected Text data",
    "Missing mask data",
};
static_assert(sizeof kWarningTitles / sizeof kWarningTitles[0] == 36);

}  // namespace

char const* PSDError::GetMessage(uint32_t code) {
    return code < sizeof kErrorMessages / sizeof kErrorMessages[0] ? kErrorMessages[code] : "";
}

String PSDError::Report() const {
    char const* msg = GetMessage(m_code);
    String out = *msg ? Kernel::LocalisedString(msg, "PSDError").Get() : String();
    if (m_detail.empty()) {
        if (m_number != 0) Kernel::AppendFormatT(out, " [%1]", {Kernel::ToString(m_number)});
    } else if (m_number == 0) {
        Kernel::AppendFormatT(out, " : %1", {m_detail});
    } else {
        Kernel::AppendFormatT(out, " : %1 [%2]", {m_detail, Kernel::ToString(m_number)});
    }
    return out;
}

char const* PSDLoadWarning::GetTitle(uint32_t code) {
    return code >= 1 && code < sizeof kWarningTitles / sizeof kWarningTitles[0]
               ? kWarningTitles[code]
               : "";
}

bool PSDLoadWarning::IsRepeat(Kernel::Counted<PSDWarning const> const& other) const {
    auto const* o = dynamic_cast<PSDLoadWarning const*>(other.Get());
    if (!o || o->m_code != m_code || o->m_number != m_number) return false;
    if (m_code == kText && o->m_text != m_text) return false;
    return o->m_detail == m_detail;
}

void PSDLoadWarning::Report(String& out) const {
    String title;
    if (m_code == kText) {
        title = m_text;
    } else if (char const* t = GetTitle(m_code); *t) {
        title = Kernel::LocalisedString(t, "PSDWarning").Get();
    }
    if (title.empty()) return;
    if (m_number == 0) {
        if (m_detail.empty())
            Kernel::AppendFormatT(out, "%1\n", {title});
        else
            Kernel::AppendFormatT(out, "%1 : %2\n", {title, m_detail});
    } else {
        String n = Kernel::ToString(m_number);
        if (m_detail.empty())
            Kernel::AppendFormatT(out, "%1 [%2]\n", {title, n});
        else
            Kernel::AppendFormatT(out, "%1 : %2 [%3]\n", {title, m_detail, n});
    }
}

namespace {

// Everything PSDLoadWarning::IsRepeat compares, as one string: equal identities <=> repeats.
std::string RepeatIdentity(PSDLoadWarning const& w) {
    std::string id;
    auto put32 = [&id](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) id.push_back(static_cast<char>(v >> shift));
    };
    put32(w.m_code);
    put32(w.m_number);
    if (w.m_code == PSDLoadWarning::kText) {
        uint64_t n = w.m_text.size();
        put32(static_cast<uint32_t>(n >> 32));
        put32(static_cast<uint32_t>(n));
        id += w.m_text;
    }
    id += w.m_detail;
    return id;
}

}  // namespace

void PSDWarnings::SyncIndex() {
    if (m_indexed > m_warnings.size()) {
        m_index.clear();
        m_indexed = 0;
    }
    for (; m_indexed < m_warnings.size(); ++m_indexed)
        if (auto const* lw = dynamic_cast<PSDLoadWarning const*>(m_warnings[m_indexed].Get()))
            m_index.insert(RepeatIdentity(*lw));
}

void PSDWarnings::Add(Kernel::Counted<PSDWarning const> const& w) {
    if (!w) return;
    SyncIndex();
    // A plain load warning repeats exactly the held load warnings with the same identity.
    PSDWarning const& warning = *w;
    if (typeid(warning) == typeid(PSDLoadWarning)) {
        std::string id = RepeatIdentity(static_cast<PSDLoadWarning const&>(warning));
        if (m_index.count(id)) return;
        m_warnings.push_back(w);
        m_index.insert(std::move(id));
        ++m_indexed;
        return;
    }
    // Other kinds decide for themselves.
    for (auto const& e : m_warnings)
        if (w->IsRepeat(e)) return;
    m_warnings.push_back(w);
}

String PSDWarnings::Report() const {
    String out;
    for (auto const& w : m_warnings)
        if (w) w->Report(out);
    return out;
}

std::vector<String> PSDWarnings::Lines() const {
    std::vector<String> out;
    for (auto const& w : m_warnings) {
        if (!w) continue;
        String line;
        w->Report(line);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

void PSDReport::AddWarning(Kernel::Counted<PSDWarning> w) {
    if (m_warnings) m_warnings->Add(w);
}

String KeyToString(uint32_t key) {
    char b[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    if (Kernel::CharTraits<Kernel::TEncUtf8>::GetValidLength(b, 4) == 4) return String(b, 4);
    return Kernel::FormatString("0x%1", {Kernel::ToStringBase(key, 16)});
}

void PrintUnknownKey(uint32_t key) {
    if (!Kernel::TraceEnabled()) return;
    Kernel::Trace(Kernel::FormatString("Unknown PSD key: %1\n", {KeyToString(key)}));
}

}  // namespace PSD
