// Aspect "adjustments": every adjustment and fill layer's settings equal the rich reference's, and
// what the model writes for each reads back to the same settings; for the blocks of fixed layout
// it is the stored body byte for byte.
#include <cmath>
#include <fstream>
#include <set>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

bool Near(json const& a, json const& b) {
    if (a.is_number() && b.is_number()) return std::fabs(a.get<double>() - b.get<double>()) < 1e-4;
    return a == b;
}

// The reference's fields against ours, in the reference's names and forms.
bool SameAsReference(json const& ours, json const& theirs, std::string& why) {
    std::string kind = theirs["kind"];
    auto same = [&](char const* field, json const& a, json const& b) {
        if (Near(a, b)) return true;
        why = kind + " " + field + ": ours " + a.dump() + ", reference " + b.dump();
        return false;
    };
    auto bit = [](json const& v) { return json(v.is_boolean() ? int(v.get<bool>()) : v.get<int>()); };
    if (kind == "levels") {
        auto const& m = ours["channels"][0];
        json master = {m["input"][0], m["input"][1], m["output"][0], m["output"][1],
                       std::lround(m["gamma"].get<double>() * 100)};
        return same("master", master, theirs["master"]);
    }
    if (kind == "curves") {
        json points = json::array();
        for (auto const& c : ours["channels"]) {
            json p = json::array();
            for (auto const& pt : c["points"]) p.push_back({pt[1], pt[0]});
            points.push_back(p);
        }
        return same("is_map", ours["map"], theirs["is_map"]) &&
               (theirs["is_map"].get<bool>() || same("points", points, theirs["points"]));
    }
    if (kind == "huesaturation")
        return same("colorize", bit(ours["colorize"]), theirs["colorize"]) &&
               same("colorization", ours["colorization"], theirs["colorization"]) &&
               same("master", ours["master"], theirs["master"]);
    if (kind == "colorbalance")
        return same("shadows", ours["shadows"], theirs["shadows"]) &&
               same("midtones", ours["midtones"], theirs["midtones"]) &&
               same("highlights", ours["highlights"], theirs["highlights"]) &&
               same("preserve_luminosity", bit(ours["preserve_luminosity"]),
                    theirs["preserve_luminosity"]);
    if (kind == "selectivecolor")
        return same("method", json(ours["method"] == "absolute" ? 1 : 0), theirs["method"]) &&
               same("records", json(ours["records"].size()), theirs["records"]);
    if (kind == "channelmixer")
        return same("monochrome", bit(ours["monochrome"]), theirs["monochrome"]) &&
               same("data", ours["channels"][0], theirs["data"]);
    if (kind == "blackandwhite")
        return same("red", ours["red"], theirs["red"]) && same("yellow", ours["yellow"], theirs["yellow"]) &&
               same("green", ours["green"], theirs["green"]) && same("cyan", ours["cyan"], theirs["cyan"]) &&
               same("blue", ours["blue"], theirs["blue"]) &&
               same("magenta", ours["magenta"], theirs["magenta"]) &&
               same("use_tint", ours["use_tint"], theirs["use_tint"]);
    if (kind == "photofilter")
        return same("density", ours["density"], theirs["density"]) &&
               same("luminosity", bit(ours["preserve_luminosity"]), theirs["luminosity"]);
    if (kind == "gradientmap") {
        auto const& g = ours["gradient"];
        return same("reversed", bit(ours["reverse"]), theirs["reversed"]) &&
               same("dithered", bit(ours["dither"]), theirs["dithered"]) &&
               same("color_stops", json(g["color_stops"].size()), theirs["color_stops"]) &&
               same("transparency_stops", json(g["transparency_stops"].size()),
                    theirs["transparency_stops"]);
    }
    // The rest share names: every field the reference gives.
    for (auto const& [field, value] : theirs.items())
        if (field != "kind" && !same(field.c_str(), ours.value(field, json()), value)) return false;
    return true;
}

// Blocks whose bodies the model writes as the editor does.
bool FixedLayout(PSD::PSDAdjustment::Kind k) {
    using A = PSD::PSDAdjustment;
    // Brightness/contrast is not: its record holds the settings descriptor's values once read.
    static std::set<A::Kind> const kinds = {A::kLevels, A::kThreshold,
                                            A::kPosterize, A::kInvert, A::kExposure,
                                            A::kColourBalance, A::kHSLShift, A::kChannelMixer,
                                            A::kSelectiveColour, A::kPhotoFilter};
    return kinds.count(k) != 0;
}

bool CheckWritten(PSD::PSDFile const& doc, PSD::PSDLayer const& layer, PSD::PSDAdjustment const& a,
                  std::string& why) {
    PSD::SaveData sd;
    sd.m_colourMode = doc.m_colourMode;
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!a.SaveI(*mem, sd)) return why = "the model does not write it", false;
    std::vector<uint8_t> body = mem->TakeData();
    auto const* stored = layer.FindBlock(a.GetKey());
    if (FixedLayout(a.GetType()) && stored && layer.KeepsStoredBlocks()) {
        std::vector<uint8_t> original(size_t(stored->length));
        if (!doc.GetSourceStream()->Seek(stored->position) ||
            !doc.GetSourceStream()->ReadExact(original.data(), original.size()))
            return why = "stored block unreadable", false;
        // The stored body may carry the padding the framing adds.
        std::vector<uint8_t> padded = body;
        if (original.size() >= body.size() && original.size() - body.size() < 4)
            padded.resize(original.size(), 0);
        if (padded != original) {
            std::string a(padded.begin(), padded.end()), b(original.begin(), original.end());
            return why = "written body differs from the stored one: " + Hex(a) + " vs " + Hex(b), false;
        }
    }
    // The whole block again, with the settings blocks that follow it.
    auto whole = Kernel::MemoryInOutStreamBase::Create();
    if (!a.Save(*whole, sd)) return why = "the block is not written", false;
    std::vector<uint8_t> blocks = whole->TakeData();
    auto back = PSD::PSDAdjustment::Create(a.GetKey());
    PSD::ParseData pd;
    pd.m_colourMode = doc.m_colourMode;
    for (size_t at = 0, n = 0; at + 12 <= blocks.size(); ++n) {
        size_t length = size_t(blocks[at + 8]) << 24 | size_t(blocks[at + 9]) << 16 |
                        size_t(blocks[at + 10]) << 8 | blocks[at + 11];
        if (length % 4 || at + 12 + length > blocks.size()) return why = "block framing", false;
        auto in = Kernel::MemoryInStream::Create(
            std::vector<uint8_t>(blocks.begin() + long(at + 12), blocks.begin() + long(at + 12 + length)));
        if (!(n == 0 ? back->Parse(*in, pd) : back->ParseExtraData(*in, pd)))
            return why = "written block does not read back", false;
        at += 12 + length;
    }
    if (PSD::AdjustmentJson(*back) != PSD::AdjustmentJson(a))
        return why = "written body reads back as " + PSD::AdjustmentJson(*back).dump(), false;
    return true;
}

Outcome CheckAdjustments(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    json rich = ReadJsonFile(d.fullPath + ".rich.json");
    bool any = false;
    auto const& layers = d.doc->m_layers;
    for (size_t i = 0; i < layers.size(); ++i) {
        auto a = layers[i]->GetAdjustment();
        // Type layers have an aspect of their own.
        if (a && a->GetType() == PSD::PSDAdjustment::kTypeTool) continue;
        json const* theirs = nullptr;
        if (rich.is_object() && rich.contains("layers"))
            for (auto const& l : rich["layers"])
                if (l.value("index", -1) == int(i) && l.contains("adjustment") && l["adjustment"].is_object())
                    theirs = &l["adjustment"];
        if (!a && !theirs) continue;
        any = true;
        std::string where = "layer " + std::to_string(i) + " ";
        if (!a) return why = where + "no adjustment read", Outcome::Mismatch;
        if (!a->IsRead()) continue;
        if (!CheckWritten(*d.doc, *layers[i], *a, why)) return why = where + why, Outcome::Mismatch;
        json ours = json::parse(PSD::AdjustmentJson(*a).dump());
        // The reference names the legacy brightness/contrast layer a pixel layer, and the
        // brightness/contrast descriptor beside another adjustment's block that kind.
        if (!theirs || (*theirs)["kind"] != ours["kind"]) {
            if (theirs && (*theirs)["kind"] == "brightnesscontrast") continue;
            if (!theirs && ours["kind"] == "brightnesscontrast") continue;
            if (!theirs) continue;
            return why = where + "kind " + ours["kind"].dump() + ", reference " + (*theirs)["kind"].dump(),
                   Outcome::Mismatch;
        }
        if (!SameAsReference(ours, *theirs, why)) return why = where + why, Outcome::Mismatch;
    }
    return any ? Outcome::Match : Outcome::NotApplicable;
}

AspectRegistrar s_adjustments({"adjustments", 65, CheckAdjustments});

}  // namespace
}  // namespace corpus
