// Aspect "text": every type layer reads; its text, fonts, sizes, colours and justification equal
// the rich reference's, character by character; the settings of the read-test documents equal
// their reference data; the type block is written back as stored, and a document whose texts are
// rewritten (engine data written by the library) saves as PSD and PSB and reads back the same.
#include <cmath>
#include <fstream>

#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"
#include "tests/support/RoundTrip.h"

namespace corpus {
namespace {

using nlohmann::json;
using testsupport::OpenBytes;
using testsupport::ReportText;

std::string Normalise(std::string s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 3, "\xE2\x80\xA8") == 0) {  // U+2028
            out += '\n';
            i += 2;
        } else if (s[i] == '\r' || s[i] == '\3') {
            out += '\n';
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += s[i];
        }
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\0')) out.pop_back();
    return out;
}

bool Near(double a, double b, double tolerance = 1e-3) {
    return std::fabs(a - b) <= tolerance;
}

// Each character's value of a run field, from a list of runs.
std::vector<json> PerChar(json const& runs, char const* field, size_t n) {
    std::vector<json> out(n);
    for (auto const& r : runs) {
        if (!r.contains(field)) continue;
        size_t s = r["start"], l = r["length"];
        for (size_t i = s; i < s + l && i < n; ++i) out[i] = r[field];
    }
    return out;
}

// The reference's runs ([alpha, r, g, b] colours, engine justification) against ours.
bool SameRuns(json const& ours, json const& theirs, size_t n, std::string& why) {
    for (char const* f : {"font", "size", "color"}) {
        auto a = PerChar(ours["runs"], f, n), b = PerChar(theirs["runs"], f, n);
        for (size_t i = 0; i < n; ++i) {
            // Only RGB and CMYK fills are modelled; others keep the default colour.
            if (b[i].is_null() || (std::string(f) == "color" && b[i].size() == 2)) continue;
            bool same = a[i] == b[i];
            if (std::string(f) == "size") same = Near(a[i].get<double>(), b[i].get<double>());
            if (std::string(f) == "color" && a[i].is_object() && b[i].size() == 4) {
                auto const& v = a[i]["values"];
                same = a[i]["model"] == "rgb";
                for (int c = 0; c < 3 && same; ++c)
                    same = Near(v[c].get<double>(), b[i][c + 1].get<double>() * 255.0, 0.01);
            }
            if (!same)
                return why = std::string(f) + " at " + std::to_string(i) + ": ours " + a[i].dump() +
                             ", reference " + b[i].dump(),
                       false;
        }
    }
    auto a = PerChar(ours["paragraphs"], "justification", n);
    auto b = PerChar(theirs["paragraphs"], "justification", n);
    for (size_t i = 0; i < n; ++i)
        if (!b[i].is_null() && a[i] != b[i])
            return why = "justification at " + std::to_string(i) + ": ours " + a[i].dump(), false;
    return true;
}

// The read-test reference data: the style, paragraph style and frame of each text layer.
void CollectTexts(json const& node, std::vector<json>& out) {
    if (node.contains("text")) out.push_back(node["text"]);
    if (node.contains("children"))
        for (auto const& c : node["children"]) CollectTexts(c, out);
}

// A reference style (font, size, colour, tracking, fixed leading) against our run at its start.
bool SameStyle(json const& style, json const& run, std::string& why) {
    auto fail = [&](std::string what) { return why = what + " " + run.dump(), false; };
    if (style.contains("font") && style["font"]["name"] != run["font"]) return fail("font");
    if (style.contains("fontSize") && !Near(style["fontSize"], run["size"])) return fail("size");
    if (style.contains("fillColor") && style["fillColor"].contains("r"))
        for (int c = 0; c < 3; ++c)
            if (!Near(run["color"]["values"][c], style["fillColor"][std::string(1, "rgb"[c])], 0.01))
                return fail("color");
    if (style.contains("tracking") && !Near(style["tracking"], run["tracking"])) return fail("tracking");
    if (style.value("fauxBold", false) != run["faux_bold"]) return fail("faux bold");
    if (style.value("fauxItalic", false) != run["faux_italic"]) return fail("faux italic");
    if (style.value("autoLeading", true) == false && style.contains("leading") &&
        !Near(style["leading"], run.value("leading", -1.0)))
        return fail("leading");
    return true;
}

// Our run holding character i.
json const& RunAt(json const& runs, size_t i) {
    for (auto const& r : runs)
        if (i < r["start"].get<size_t>() + r["length"].get<size_t>()) return r;
    return runs.back();
}

bool SameAsData(json const& ours, json const& data, std::string& why) {
    static char const* const kJustification[] = {"left",          "right",         "center",
                                                 "justify-left",  "justify-right", "justify-center",
                                                 "justify-all"};
    if (data.contains("styleRuns")) {
        size_t at = 0;
        for (auto const& r : data["styleRuns"]) {
            if (!SameStyle(r["style"], RunAt(ours["runs"], at), why)) return false;
            at += r["length"].get<size_t>();
        }
    } else if (!SameStyle(data.value("style", json::object()), ours["runs"][0], why)) {
        return false;
    }
    json const& para = data.value("paragraphStyle", json::object());
    if (para.contains("justification")) {
        int j = ours["paragraphs"][0]["justification"];
        if (para["justification"] != kJustification[j]) return why = "justification " + std::to_string(j), false;
    }
    std::string shape = data.value("shapeType", "point");
    if (ours["frame"]["type"] != shape) return why = "frame " + ours["frame"].dump(), false;
    if (shape == "box")
        for (int i = 0; i < 4; ++i)
            if (!Near(ours["frame"]["bounds"][i], data["boxBounds"][i]))
                return why = "box bounds " + ours["frame"].dump(), false;
    return true;
}

// The model's block body equals the stored one, and reads back to the same text.
bool CheckWritten(Document& d, PSD::PSDLayer const& layer, PSD::PSDAdjustmentTypeTool const& tool,
                  std::string& why) {
    auto const* stored = layer.FindBlock(PSD::Key("TySh"));
    if (!stored || !layer.KeepsStoredBlocks()) return true;
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!tool.SaveI(*mem, PSD::SaveData{})) return why = "the model does not write it", false;
    std::vector<uint8_t> body = mem->TakeData();
    std::vector<uint8_t> original(size_t(stored->length));
    if (!d.doc->GetSourceStream()->Seek(stored->position) ||
        !d.doc->GetSourceStream()->ReadExact(original.data(), original.size()))
        return why = "stored block unreadable", false;
    if (original.size() >= body.size() && original.size() - body.size() < 4)
        body.resize(original.size(), 0);
    if (body != original) return why = "written body differs from the stored one", false;
    return true;
}

Outcome CheckText(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    json rich = ReadJsonFile(d.fullPath + ".rich.json");
    std::vector<json> data;
    if (d.path.find("ag-psd/test/read/text-") == 0) CollectTexts(AgPsdData(d), data);
    auto const& layers = d.doc->m_layers;
    size_t typeLayers = 0;
    for (auto const& b : d.doc->m_documentBlocks)
        if (b.key == PSD::Key("Txt2") && b.length && !d.doc->m_textEngineData)
            return why = "document engine data does not parse", Outcome::Mismatch;
    for (size_t i = 0; i < layers.size(); ++i) {
        auto tool = layers[i]->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
        json const* theirs = nullptr;
        if (rich.is_object() && rich.contains("layers"))
            for (auto const& l : rich["layers"])
                if (l.value("index", -1) == int(i) && l.contains("text")) theirs = &l["text"];
        if (!tool && !theirs) continue;
        std::string where = "layer " + std::to_string(i) + " ";
        if (!tool) return why = where + "no type tool read", Outcome::Mismatch;
        ++typeLayers;
        if (!CheckWritten(d, *layers[i], *tool, why)) return why = where + why, Outcome::Mismatch;
        json ours = json::parse(PSD::TextJson(*tool).dump());
        if (!theirs) continue;
        std::string a = Normalise(ours["content"]), b = Normalise((*theirs)["content"]);
        if (a != b) return why = where + "content " + json(a).dump() + " vs " + json(b).dump(), Outcome::Mismatch;
        if (!tool->GetText()) {
            if (tool->GetWarpStyle() != "warpNone") continue;
            return why = where + "text not converted", Outcome::Mismatch;
        }
        size_t n = Kernel::ConvertEnc(std::string_view(ours["content"].get<std::string>())).size();
        if (!SameRuns(ours, *theirs, n, why)) return why = where + why, Outcome::Mismatch;
        if (typeLayers <= data.size() && !SameAsData(ours, data[typeLayers - 1], why))
            return why = where + why, Outcome::Mismatch;
    }
    if (!typeLayers) return d.doc->m_textEngineData ? Outcome::Match : Outcome::NotApplicable;

    // Every text rewritten with its own content and restyled: the library's engine data, saved
    // and read back (on a copy of the document, which the other aspects still read as it was).
    std::ifstream file(d.fullPath, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    PSD::PSDReport openReport;
    auto copy = OpenBytes(std::move(bytes), openReport, PSD::CreateOptions{true, true, {}});
    if (!copy) return why = "the document does not open again", Outcome::Mismatch;
    PSD::ParseData pd;
    pd.m_parseText = true;
    std::vector<std::string> before;
    for (auto const& l : copy->m_layers)
        if (auto tool = l->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>()) {
            before.push_back(PSD::TextJson(*tool).dump());
            if (tool->GetText() && !tool->SetContent(json::parse(before.back())["content"], pd))
                return why = "content not replaced", Outcome::Mismatch;
            if (PSD::TextJson(*tool).dump() != before.back())
                return why = "replaced text differs: " + PSD::TextJson(*tool).dump(), Outcome::Mismatch;
            // Then restyled from the second character on, in turns of three change sets.
            static char const* const kStyles[] = {
                R"({"size": 20, "faux_bold": true})",
                R"({"font": "DejaVuSans", "color": {"model": "rgb", "values": [0, 128, 255]}})",
                R"({"tracking": 100, "leading": 30, "underline": true})"};
            size_t units =
                Kernel::ConvertEnc(
                    std::string_view(json::parse(before.back())["content"].get<std::string>()))
                    .size();
            if (!tool->GetText() || units < 2) continue;
            std::string styleWhy;
            if (!PSD::SetTextStyle(*tool, json::parse(kStyles[before.size() % 3]), 1,
                                   std::string::npos, pd, styleWhy))
                return why = "not restyled: " + styleWhy, Outcome::Mismatch;
            if (!PSD::SetParagraphStyle(*tool, json{{"justification", 2}, {"space_before", 4}},
                                        units - 1, 1, pd, styleWhy))
                return why = "paragraphs not restyled: " + styleWhy, Outcome::Mismatch;
            before.back() = PSD::TextJson(*tool).dump();
        }
    for (bool psb : {false, true}) {
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        if (!copy->Save(*mem, {.psb = psb, .decodeStored = false})) return why = "save failed", Outcome::Mismatch;
        PSD::PSDReport r;
        auto back = OpenBytes(mem->TakeData(), r, PSD::CreateOptions{true, true, {}});
        if (!back) return why = "saved document does not open: " + ReportText(r), Outcome::Mismatch;
        size_t k = 0;
        for (auto const& l : back->m_layers)
            if (auto tool = l->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>())
                if (k >= before.size() || PSD::TextJson(*tool).dump() != before[k++])
                    return why = std::string(psb ? "PSB" : "PSD") + " round trip: " +
                                 PSD::TextJson(*tool).dump(),
                           Outcome::Mismatch;
        if (k != before.size()) return why = "type layers lost in the round trip", Outcome::Mismatch;
    }
    return Outcome::Match;
}

AspectRegistrar s_text({"text", 68, CheckText});

}  // namespace
}  // namespace corpus
