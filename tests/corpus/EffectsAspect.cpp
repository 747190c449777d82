// Aspect "effects": on every layer of a document with effect blocks, the enabled effects read from
// the descriptor blocks have the reference's types (as a multiset) and its settings in the rich
// reference; and the effects written from the model (not copied as stored) read back equal, as
// PSD and as PSB.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"
#include "tests/support/RoundTrip.h"

namespace corpus {
namespace {

using ojson = nlohmann::ordered_json;
using nlohmann::json;

// The reference gives the descriptor's blend enumerator ("Mltp", "linearBurn"); ours is the
// layer key of the same mode.
bool SameBlend(std::string const& ours, std::string const& theirs) {
    PSD::DescriptorKey value =
        theirs.size() == 4 ? PSD::DescriptorKey(uint32_t(uint8_t(theirs[0])) << 24 |
                                                uint32_t(uint8_t(theirs[1])) << 16 |
                                                uint32_t(uint8_t(theirs[2])) << 8 |
                                                uint32_t(uint8_t(theirs[3])))
                           : PSD::DescriptorKey::Name(theirs);
    PSD::DescriptorItemEnum item(PSD::DescriptorKey(PSD::Key("BlnM")), value);
    PSD::PSDReport r;
    PSD::BlendMode mode;
    uint32_t key;
    if (!PSD::DecodeBlendMode(item, mode, r) || !PSD::EncodeBlendMode(mode, key)) return false;
    return std::string(PSD::KeyToString(key)) == ours;
}

// Colour channels are kept at 8 bits from descriptors: within one step of the stored value.
bool SameColour(ojson const& ours, json const& theirs, std::string& why) {
    static std::map<std::string, std::string> const kModels = {
        {"RGB", "rgb"}, {"CMYK", "cmyk"}, {"Lab", "lab"}, {"Gray", "grayscale"}, {"HSB", "hsb"}};
    std::string model = theirs.value("model", "");
    // Float RGB colours are kept as 8-bit RGB.
    bool fractions = model == "RGBFloat";
    auto m = kModels.find(fractions ? "RGB" : model);
    if (m == kModels.end()) return true;
    if (ours.is_null() || ours["model"] != m->second) return why = "colour model", false;
    auto const& a = ours["values"];
    json b = theirs["values"];
    if (fractions)
        for (auto& v : b) v = std::clamp(v.get<double>(), 0.0, 1.0) * 255;
    if (a.size() != b.size()) return why = "colour values", false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i].get<double>() - b[i].get<double>()) > 1.01)
            return why = "colour values " + a.dump() + " vs " + b.dump(), false;
    return true;
}

bool SameSettings(ojson const& ours, json const& theirs, std::string& why) {
    for (auto const& [field, value] : theirs.items()) {
        if (field == "type") continue;
        if (field == "color") {
            if (!SameColour(ours.contains("color") ? ours["color"] : ojson(), value, why))
                return why = "color: " + why, false;
            continue;
        }
        if (!ours.contains(field)) return why = field + " missing", false;
        ojson const& o = ours[field];
        bool same = field == "blend_mode" ? SameBlend(o.get<std::string>(), value.get<std::string>())
                    : value.is_boolean()  ? o == value.get<bool>()
                    : value.is_number()   ? std::fabs(o.get<double>() - value.get<double>()) < 1e-3
                                          : false;
        if (!same) return why = field + ": ours " + o.dump() + ", reference " + value.dump(), false;
    }
    return true;
}

// Where the save puts an effect: drop shadows, inner shadows, colour, gradient overlays and
// strokes in groups first, the others after them, each in list order.
int SaveGroup(PSD::PSDEffect const& e) {
    switch (e.GetType()) {
        case PSD::PSDEffect::kShadow: return static_cast<PSD::PSDEffectShadow const&>(e).m_inner;
        case PSD::PSDEffect::kSolidFill: return 2;
        case PSD::PSDEffect::kGradientFill: return 3;
        case PSD::PSDEffect::kStroke: return 4;
        default: return 5;
    }
}

// A contour of fewer than two points is saved as the identity: default contours compare equal.
void DropDefaultContours(ojson& j) {
    if (j.is_object()) {
        if (j.contains("default") && j["default"] == true) j.erase("points");
        for (auto& [k, v] : j.items()) DropDefaultContours(v);
    } else if (j.is_array()) {
        for (auto& v : j) DropDefaultContours(v);
    }
}

// The effects of a layer as JSON in the order a save writes them, with the two settings.
ojson EffectsOf(PSD::PSDLayer const& l) {
    auto e = l.GetEffects();
    if (!e) return nullptr;
    std::vector<PSD::PSDEffect const*> order;
    for (auto const& x : e->m_effects) order.push_back(x.Get());
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) {
        return SaveGroup(*a) < SaveGroup(*b);
    });
    ojson list = ojson::array();
    for (auto const* x : order) list.push_back(PSD::EffectJson(*x));
    ojson j = {{"effects", list}, {"on", e->m_masterSwitch}, {"scale", e->m_scale}};
    DropDefaultContours(j);
    return j;
}

// The path of the first difference, "" when none. Colour channels written to a descriptor keep
// 8 bits, so a 16-bit colour of a legacy record comes back within one step.
std::string Difference(ojson const& a, ojson const& b, std::string const& path) {
    if (a.is_number() && b.is_number()) {
        bool colour = path.find("/values") != std::string::npos;
        return std::fabs(a.get<double>() - b.get<double>()) <= (colour ? 1.01 : 1e-6)
                   ? ""
                   : path + ": " + a.dump() + " vs " + b.dump();
    }
    if (a.type() != b.type() || a.size() != b.size())
        return path + ": " + a.dump().substr(0, 200) + " vs " + b.dump().substr(0, 200);
    if (a.is_array()) {
        for (size_t i = 0; i < a.size(); ++i)
            if (auto d = Difference(a[i], b[i], path + "/" + std::to_string(i)); !d.empty())
                return d;
    } else if (a.is_object()) {
        for (auto const& [k, v] : a.items()) {
            if (!b.contains(k)) return path + "/" + k + " missing";
            if (auto d = Difference(v, b[k], path + "/" + k); !d.empty()) return d;
        }
    } else if (a != b) {
        return path + ": " + a.dump() + " vs " + b.dump();
    }
    return "";
}

// Every layer's effects written from the model: the master switch is turned over, so that no
// stored block is taken as it was, and the document is saved and read back.
bool CheckWritten(PSD::PSDFile& doc, std::string& why) {
    std::vector<PSD::PSDLayerEffects*> flipped;
    for (auto const& l : doc.m_layers)
        if (auto e = l->GetEffects(); e && !l->m_background) {
            e->m_masterSwitch = !e->m_masterSwitch;
            flipped.push_back(e.Get());
        }
    bool ok = true;
    for (bool psb : {false, true}) {
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        if (!doc.Save(*mem, {.psb = psb, .compress = false, .decodeStored = false})) {
            why = "save failed";
            ok = false;
            break;
        }
        PSD::PSDReport r;
        auto back = testsupport::OpenBytes(mem->TakeData(), r);
        if (!back) {
            why = "reading back failed: " + testsupport::ReportText(r);
            ok = false;
            break;
        }
        for (size_t i = 0; ok && i < doc.m_layers.size(); ++i) {
            std::string diff =
                Difference(EffectsOf(*doc.m_layers[i]), EffectsOf(*back->m_layers[i]), "");
            if (!diff.empty()) {
                why = std::string(psb ? "PSB" : "PSD") + " layer " + std::to_string(i) +
                      " effects written from the model read back otherwise: " + diff;
                ok = false;
            }
        }
        if (!ok) break;
    }
    for (auto* e : flipped) e->m_masterSwitch = !e->m_masterSwitch;
    return ok;
}

// ---- The other reader's settings (data.json beside its read cases): fractions for opacities,
// stop locations and midpoints, {"value"} for lengths, r, g, b for colours.

std::string AgBlend(std::string const& name) {
    static std::map<std::string, std::string> const kKeys = {
        {"normal", "norm"},      {"multiply", "mul "},      {"screen", "scrn"},
        {"overlay", "over"},     {"darken", "dark"},        {"lighten", "lite"},
        {"color dodge", "div "}, {"color burn", "idiv"},    {"linear burn", "lbrn"},
        {"linear dodge", "lddg"}, {"soft light", "sLit"},   {"hard light", "hLit"},
        {"difference", "diff"},  {"dissolve", "diss"}};
    auto it = kKeys.find(name);
    return it == kKeys.end() ? "" : it->second;
}

double Length(json const& v) {
    return v.is_object() ? v.value("value", 0.0) : v.get<double>();
}

bool Near(ojson const& ours, double theirs, double tolerance) {
    return ours.is_number() && std::fabs(ours.get<double>() - theirs) <= tolerance;
}

// One effect of the other reader against ours of the same type; "" when they agree.
std::string AgDifference(ojson const& o, json const& t, bool blendNames) {
    auto num = [&](char const* ours, double theirs, double tol = 1e-3) {
        return !o.contains(ours) || Near(o[ours], theirs, tol) ? std::string()
                                                               : std::string(ours) + " " + o[ours].dump();
    };
    std::string d;
    auto add = [&](std::string x) {
        if (d.empty()) d = x;
    };
    if (t.contains("enabled") && o["enabled"] != t["enabled"].get<bool>()) add("enabled");
    if (t.contains("opacity")) add(num("opacity", t["opacity"].get<double>() * 100.0, 0.5));
    if (t.contains("angle")) add(num("angle", t["angle"].get<double>()));
    if (t.contains("distance")) add(num("distance", Length(t["distance"]), 1.0));
    if (t.contains("size")) add(num("size", Length(t["size"]), 1.0));
    if (t.contains("choke"))
        add(num(o.contains("choke") ? "choke" : "spread", Length(t["choke"]), 0.01));
    if (blendNames && t.contains("blendMode") && !AgBlend(t["blendMode"]).empty() && o.contains("blend_mode") &&
        o["blend_mode"] != AgBlend(t["blendMode"]))
        add("blend mode " + o["blend_mode"].dump());
    if (t.contains("color") && t["color"].contains("r") && o.contains("color") &&
        o["color"]["model"] == "rgb") {
        auto const& v = o["color"]["values"];
        char const* rgb[] = {"r", "g", "b"};
        for (int i = 0; i < 3; ++i)
            if (!Near(v[i], t["color"][rgb[i]].get<double>(), 1.01)) add("color " + v.dump());
    }
    // A bevel's contour there is its gloss contour ("TrnS").
    char const* contour = o.contains("gloss_contour") ? "gloss_contour" : "contour";
    if (t.contains("contour") && o.contains(contour)) {
        auto const& pts = o[contour]["points"];
        auto const& curve = t["contour"]["curve"];
        if (pts.size() != curve.size()) add("contour points " + pts.dump());
        for (size_t i = 0; d.empty() && i < pts.size() && i < curve.size(); ++i)
            if (!Near(pts[i][0], curve[i]["x"].get<double>(), 1.0) ||
                !Near(pts[i][1], curve[i]["y"].get<double>(), 1.0))
                add("contour point " + pts[i].dump());
    }
    json const* stops = t.contains("gradient") ? &t["gradient"] : nullptr;
    if (stops && stops->contains("colorStops") && o.contains("gradient")) {
        auto const& ours = o["gradient"]["color_stops"];
        auto const& theirs = (*stops)["colorStops"];
        if (ours.size() != theirs.size()) add("gradient stops " + ours.dump().substr(0, 100));
        for (size_t i = 0; d.empty() && i < ours.size() && i < theirs.size(); ++i)
            if (!Near(ours[i]["location"], theirs[i]["location"].get<double>() * 4096.0, 1.0) ||
                !Near(ours[i]["midpoint"], theirs[i]["midpoint"].get<double>() * 100.0, 1.0))
                add("gradient stop " + ours[i].dump());
    }
    return d;
}

// The other reader's layers with effects, by name, checked against ours of the same name.
bool CheckOtherReader(Document const& d, std::string& why) {
    json data = AgPsdData(d);
    if (!data.is_object()) return true;
    static std::map<std::string, std::string> const kTypes = {
        {"dropShadow", "DropShadow"},   {"innerShadow", "InnerShadow"}, {"outerGlow", "OuterGlow"},
        {"innerGlow", "InnerGlow"},     {"bevel", "BevelEmboss"},       {"satin", "Satin"},
        {"solidFill", "ColorOverlay"},  {"gradientOverlay", "GradientOverlay"},
        {"patternOverlay", "PatternOverlay"}, {"stroke", "Stroke"}};
    std::vector<json const*> nodes;
    std::function<void(json const&)> walk = [&](json const& n) {
        if (n.contains("effects") && n.contains("name")) nodes.push_back(&n);
        if (n.contains("children"))
            for (auto const& c : n["children"]) walk(c);
    };
    walk(data);
    // Blend modes stored by their names are not read by the descriptor codec (it warns).
    std::string warnings = d.report.m_warnings ? std::string(d.report.m_warnings->Report()) : "";
    bool blendNames = warnings.find("Unknown blend mode") == std::string::npos;
    for (json const* n : nodes) {
        PSD::PSDLayer const* layer = nullptr;
        for (auto const& l : d.doc->m_layers)
            if (l->GetEffects() && std::string(l->m_name) == (*n)["name"].get<std::string>())
                layer = l.Get();
        if (!layer) continue;
        auto fx = layer->GetEffects();
        json const& e = (*n)["effects"];
        std::string where = "other reader, layer \"" + std::string(layer->m_name) + "\" ";
        if (e.value("disabled", false) == fx->m_masterSwitch)
            return why = where + "master switch", false;
        for (auto const& [key, type] : kTypes) {
            if (!e.contains(key)) continue;
            json list = e[key].is_array() ? e[key] : json::array({e[key]});
            size_t k = 0;
            for (auto const& effect : fx->m_effects) {
                if (effect->GetTypeName() != type || effect->m_fromLegacy) continue;
                if (k >= list.size()) break;
                std::string diff = AgDifference(PSD::EffectJson(*effect), list[k++], blendNames);
                if (!diff.empty()) return why = where + type + " " + diff, false;
            }
            if (k != list.size()) return why = where + type + " count", false;
        }
    }
    return true;
}

Outcome CheckEffects(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    json rich = ReadJsonFile(d.fullPath + ".rich.json");
    if (!rich.is_object() || !rich.contains("layers")) return Outcome::NotApplicable;
    auto const& layers = d.doc->m_layers;
    bool any = false;
    for (size_t i = 0; i < layers.size(); ++i) {
        auto effects = layers[i]->GetEffects();
        json const* theirs = nullptr;
        for (auto const& l : rich["layers"])
            if (l.value("index", -1) == int(i) && l.contains("effects")) theirs = &l["effects"];
        if (!effects && !theirs) continue;
        any = true;
        Checker c{why, "layer " + std::to_string(i) + " "};
        // The reference lists the enabled effects of the descriptor blocks.
        std::vector<ojson> ours;
        if (effects)
            for (auto const& e : effects->m_effects)
                if (e->m_enabled && !e->m_fromLegacy) ours.push_back(PSD::EffectJson(*e));
        std::vector<std::string> a, b;
        for (auto const& e : ours) a.push_back(e["type"]);
        if (theirs)
            for (auto const& e : *theirs) b.push_back(e["type"]);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (!c.Same("effect types", a, b)) return Outcome::Mismatch;
        if (!theirs) continue;
        // The k-th reference effect of a type is our k-th of that type.
        std::map<std::string, size_t> seen;
        for (auto const& t : *theirs) {
            std::string type = t["type"];
            size_t k = seen[type]++;
            for (auto const& o : ours) {
                if (o["type"] != type || k--) continue;
                std::string reason;
                if (!SameSettings(o, t, reason)) {
                    why = c.where + type + " " + reason;
                    return Outcome::Mismatch;
                }
                break;
            }
        }
    }
    if (!any) return Outcome::NotApplicable;
    if (!CheckOtherReader(d, why) || !CheckWritten(*d.doc, why)) return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_effects({"effects", 60, CheckEffects});

}  // namespace
}  // namespace corpus
