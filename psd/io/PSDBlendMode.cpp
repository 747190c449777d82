#include "psd/io/PSDBlendMode.h"

namespace PSD {

namespace {

constexpr uint32_t kBlendModeKeys[kBlendModeCount] = {
    Key("norm"), Key("dark"), Key("lite"), Key("hue "), Key("sat "), Key("colr"), Key("lum "),
    Key("mul "), Key("scrn"), Key("diss"), Key("over"), Key("hLit"), Key("sLit"), Key("diff"),
    Key("smud"), Key("div "), Key("idiv"), Key("lbrn"), Key("lddg"), Key("vLit"), Key("lLit"),
    Key("pLit"), Key("hMix"), Key("pass"), Key("dkCl"), Key("lgCl"), Key("fsub"), Key("fdiv"),
};

}  // namespace

bool DecodeBlendMode(uint32_t key, BlendMode& out, PSDReport& report) {
    for (uint32_t i = 0; i < kBlendModeCount; ++i) {
        if (kBlendModeKeys[i] == key) {
            out = BlendMode(i);
            return true;
        }
    }
    report.SetError(PSDError::kUnknownBlendMode, KeyToString(key), 1);
    return false;
}

bool EncodeBlendMode(BlendMode mode, uint32_t& key) {
    uint32_t v = uint32_t(mode);
    if (v >= kBlendModeCount) return false;
    key = kBlendModeKeys[v];
    return true;
}

}  // namespace PSD
