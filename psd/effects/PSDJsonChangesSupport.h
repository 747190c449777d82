// The reader of change sets: fields named and scaled as the JSON forms of effects and
// adjustments give them, checked against the editor's ranges before anything is set.
#pragma once

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <type_traits>

#include "psd/effects/PSDEffectsJson.h"
#include "psd/io/PSDBlendMode.h"

namespace PSD {

// Reads the fields of a change set into a model's members, keeping the first fault: an effect's
// or an adjustment's, in the names and units of their JSON forms.
class JsonChanges {
public:
    JsonChanges(nlohmann::json const& j, std::string type, std::string& why)
        : m_json(j), m_type(std::move(type)), m_why(why) {}

    bool Ok() const { return m_ok; }
    void Fail(std::string const& key, std::string const& what) {
        if (m_ok) m_why = "\"" + key + "\" of " + m_type + " " + what;
        m_ok = false;
    }
    nlohmann::json const* Get(std::string const& key) {
        auto it = m_json.find(key);
        if (it == m_json.end()) return nullptr;
        m_used.insert(key);
        return &*it;
    }
    template <class T>
    void Number(std::string const& key, double low, double high, double scale, T& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        double d = v->is_number() ? v->get<double>() : NAN;
        bool whole = !std::is_integral_v<T> || d == std::floor(d);
        if (!(d >= low && d <= high) || !whole) {
            Fail(key, std::string("must be ") +
                          (std::is_integral_v<T> ? "a whole number" : "a number") + " from " +
                          Text(low) + " to " + Text(high));
            return;
        }
        out = T(d * scale);
    }
    void Bool(std::string const& key, bool& out) {
        if (nlohmann::json const* v = Get(key)) {
            if (v->is_boolean())
                out = v->get<bool>();
            else
                Fail(key, "must be true or false");
        }
    }
    void Blend(std::string const& key, BlendMode& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        std::string k = v->is_string() ? v->get<std::string>() : std::string();
        PSDReport report;
        BlendMode mode;
        if (k.size() != 4 ||
            !DecodeBlendMode(uint32_t(uint8_t(k[0])) << 24 | uint32_t(uint8_t(k[1])) << 16 |
                                 uint32_t(uint8_t(k[2])) << 8 | uint8_t(k[3]),
                             mode, report)) {
            Fail(key, "must be a blend mode key such as \"norm\" or \"mul \"");
            return;
        }
        out = mode;
    }
    // Setting a colour drops the stored form the legacy record would write instead.
    void Colour(std::string const& key, Kernel::Consolidated<Renderer::Colour>& out,
                Kernel::Consolidated<Renderer::Colour>* stored = nullptr) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        std::string why;
        auto c = ColourFromJson(*v, why);
        if (!c) {
            Fail(key, why);
            return;
        }
        out = c;
        if (stored) *stored = nullptr;
    }
    template <size_t N>
    void Choice(std::string const& key, char const* const (&names)[N], int first, int& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        std::string name = v->is_string() ? v->get<std::string>() : std::string();
        for (size_t i = 0; i < N; ++i)
            if (name == names[i]) {
                out = first + int(i);
                return;
            }
        std::string list;
        for (size_t i = 0; i < N; ++i) list += (i ? ", \"" : "\"") + std::string(names[i]) + "\"";
        Fail(key, "must be one of " + list);
    }
    // A list of exactly N numbers, each within [low, high].
    template <class T, size_t N>
    void Numbers(std::string const& key, double low, double high, std::array<T, N>& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        std::array<T, N> read{};
        bool ok = v->is_array() && v->size() == N;
        for (size_t i = 0; ok && i < N; ++i) {
            double d = (*v)[i].is_number() ? (*v)[i].get<double>() : NAN;
            ok = d >= low && d <= high && (!std::is_integral_v<T> || d == std::floor(d));
            read[i] = T(d);
        }
        if (!ok) {
            Fail(key, "must be a list of " + std::to_string(N) + " numbers from " + Text(low) +
                          " to " + Text(high));
            return;
        }
        out = read;
    }
    // A gradient's placement: the angle, the style under typeKey named as kinds gives them, the
    // scale in percent, the switches and the offset in percent.
    void Placement(PSDGradientDesc& g, char const* typeKey, char const* const (&kinds)[6]) {
        Number("angle", -360, 360, 1, g.m_angle);
        Choice(typeKey, kinds, 0, g.m_kind);
        Number("scale", 10, 150, 0.01, g.m_scale);
        Bool("reverse", g.m_reverse);
        Bool("dither", g.m_dither);
        Bool("align_with_layer", g.m_alignWithLayer);
        std::array<double, 2> offset{g.m_offset.x, g.m_offset.y};
        if (nlohmann::json const* v = Get("offset"); v && !(v->is_array() && v->size() == 2))
            Fail("offset", "must be [x, y] in percent, each from -1000 to 1000");
        Numbers("offset", -1000, 1000, offset);
        g.m_offset = {offset[0], offset[1]};
    }
    // A gradient's own fields (name, smoothness, stops) under key, as GradientJson gives them.
    // True when the key was given and read.
    bool Gradient(std::string const& key, PSDGradient& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return false;
        std::string why;
        if (!GradientWithChanges(out, *v, why)) {
            Fail(key, why.rfind("must", 0) == 0 ? why : "is wrong: " + why);
            return false;
        }
        return true;
    }
    // A contour (name, points) under key, as ContourJson gives it.
    void Contour(std::string const& key, PSDContour& out) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        std::string why;
        if (!ContourWithChanges(out, *v, why))
            Fail(key, why.rfind("must", 0) == 0 ? why : "is wrong: " + why);
    }
    // A pattern named by its identifier (and optionally its name) under key, as the JSON forms
    // give it: {"name", "id"}.
    void Pattern(std::string const& key, String& name, String& id) {
        nlohmann::json const* v = Get(key);
        if (!v) return;
        bool ok = v->is_object() && v->contains("id") && (*v)["id"].is_string() &&
                  !(*v)["id"].get<std::string>().empty() &&
                  (!v->contains("name") || (*v)["name"].is_string()) &&
                  v->size() == (v->contains("name") ? 2u : 1u);
        if (!ok) {
            Fail(key, "must be {\"id\": a pattern's identifier, \"name\": its name}");
            return;
        }
        id = String((*v)["id"].get<std::string>());
        if (v->contains("name")) name = String((*v)["name"].get<std::string>());
    }
    // Every field given must have been read.
    void Finish() {
        for (auto it = m_json.begin(); it != m_json.end(); ++it)
            if (!m_used.count(it.key()) &&
                !(it.key() == "type" && it->is_string() && it->get<std::string>() == m_type))
                Fail(it.key(), "is not a field that can be set");
    }

private:
    static std::string Text(double v) {
        std::string t = std::to_string(v);
        t.erase(t.find_last_not_of('0') + 1);
        if (!t.empty() && t.back() == '.') t.pop_back();
        return t;
    }

    nlohmann::json const& m_json;
    std::string m_type;
    std::string& m_why;
    std::set<std::string> m_used;
    bool m_ok = true;
};

}  // namespace PSD
