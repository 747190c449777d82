// The corpus runner: every reference file under the corpus folder is checked against what the
// library reads from the document beside it. Each aspect (header, resources, layers, pixels...)
// registers a check from its own source file.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "psd/file/PSDFile.h"

namespace corpus {

enum class Outcome { Match, Mismatch, NotApplicable };

struct Document {
    std::string path;                 // relative to the corpus folder
    std::string fullPath;
    nlohmann::json const& ref;
    Kernel::Counted<PSD::PSDFile> doc;  // null when the library refused it
    PSD::PSDReport report;            // the report of opening
};

// A reference file beside a document; null when it is missing, discarded when it does not parse.
inline nlohmann::json ReadJsonFile(std::string const& path) {
    std::ifstream f(path);
    return f ? nlohmann::json::parse(f, nullptr, false) : nlohmann::json();
}

// The other reader's data.json beside one of its read-test documents; null for other documents.
inline nlohmann::json AgPsdData(Document const& d) {
    if (d.path.rfind("ag-psd/test/read/", 0) != 0) return nullptr;
    return ReadJsonFile(d.fullPath.substr(0, d.fullPath.rfind('/') + 1) + "data.json");
}

struct Aspect {
    char const* name;
    int order;
    // why receives a one-line reason on a mismatch.
    Outcome (*check)(Document& d, std::string& why);
};

struct AspectRegistrar {
    explicit AspectRegistrar(Aspect a);
};
std::vector<Aspect>& Aspects();

// The error code the format rules demand from a header, or -1 when the header is acceptable.
int ExpectedHeaderRefusal(nlohmann::json const& header);

// The sha256 of one bitmap channel's samples as the document stores them (big-endian, rows top
// to bottom); depth is the document's, invert undoes a mask's inversion.
std::string HashChannel(Raster::DynamicBitmap const* bm, unsigned channel, unsigned depth, bool invert);

// Lower-case hexadecimal of the bytes.
std::string Hex(std::string const& bytes);

// Compares a value of ours with the reference's; a difference is told in why, both as JSON.
struct Checker {
    std::string& why;
    std::string where;

    template <class A, class B>
    bool Same(char const* field, A const& ours, B const& theirs) {
        if (ours == theirs) return true;
        nlohmann::json o = ours, t = theirs;
        why = where + field + ": ours " + o.dump() + ", reference " + t.dump();
        return false;
    }
};

}  // namespace corpus
