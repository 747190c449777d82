#include "psd/text/PDFDataWriter.h"

#include <cmath>
#include <cstdio>

namespace PSD {

namespace {

void Indent(std::string& out, int depth) {
    out.append(size_t(depth), '\t');
}

void WriteLiteral(std::string& out, std::u16string const& units) {
    out += "(\xFE\xFF";
    for (char16_t u : units)
        for (unsigned char b : {static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)}) {
            if (b == '(' || b == ')' || b == '\\') out += '\\';
            out += char(b);
        }
    out += ')';
}

// A string read without a byte-order mark goes back as the bytes it held, so that bytes that are
// not UTF-8 are not lost.
void WriteBytes(std::string& out, std::string_view bytes) {
    out += '(';
    for (char b : bytes) {
        if (b == '(' || b == ')' || b == '\\') out += '\\';
        out += b;
    }
    out += ')';
}

void WriteValue(std::string& out, PDFData const& v, int depth) {
    if (auto const* d = dynamic_cast<PDFDictionary const*>(&v)) {
        out += "<<\n";
        for (auto const& item : d->GetItems()) {
            Indent(out, depth + 1);
            out += '/';
            out += item.m_key;
            out += ' ';
            if (item.m_value) WriteValue(out, *item.m_value, depth + 1);
            out += '\n';
        }
        Indent(out, depth);
        out += ">>";
    } else if (auto const* a = dynamic_cast<PDFArray const*>(&v)) {
        out += "[";
        for (auto const& item : a->GetItems()) {
            out += ' ';
            if (item) WriteValue(out, *item, depth + 1);
        }
        out += " ]";
    } else if (auto const* n = dynamic_cast<PDFName const*>(&v)) {
        // Booleans are bare words; other names keep their slash.
        if (n->m_name != "true" && n->m_name != "false") out += '/';
        out += n->m_name;
    } else if (auto const* s = dynamic_cast<PDFString const*>(&v)) {
        if (s->m_utf16.empty() && !s->m_bytes.empty())
            WriteBytes(out, s->m_bytes);
        else
            WriteLiteral(out, s->m_utf16);
    } else if (auto const* i = dynamic_cast<PDFInt const*>(&v)) {
        out += std::to_string(i->m_value);
    } else if (auto const* r = dynamic_cast<PDFDouble const*>(&v)) {
        double x = std::isfinite(r->m_value) ? r->m_value : 0.0;
        char buf[400];  // the largest double in fixed notation fits
        // Ten places keep a colour set in 8-bit steps the same step when read back.
        std::snprintf(buf, sizeof buf, "%.10f", x);
        std::string t = buf;
        while (t.size() > 1 && t.back() == '0' && t[t.size() - 2] != '.') t.pop_back();
        out += t;
    }
}

}  // namespace

std::string WritePDFData(PDFData const& root) {
    std::string out = "\n\n";
    WriteValue(out, root, 0);
    out += '\n';
    return out;
}

}  // namespace PSD
