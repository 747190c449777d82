// Runs every aspect over every *.ref.json in $ZUZODORIV_CORPUS (default ../shared/corpus next to
// the source tree) and prints "corpus <aspect>: N/M" lines and a summary. Exits non-zero when any
// aspect mismatches or a document is missing.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "psd/file/PSDOpenFile.h"
#include "tests/corpus/Corpus.h"

namespace corpus {

std::vector<Aspect>& Aspects() {
    static std::vector<Aspect> a;
    return a;
}

AspectRegistrar::AspectRegistrar(Aspect a) {
    auto& v = Aspects();
    v.insert(std::upper_bound(v.begin(), v.end(), a, [](Aspect const& x, Aspect const& y) { return x.order < y.order; }),
             a);
}

std::string Hex(std::string const& bytes) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

int ExpectedHeaderRefusal(nlohmann::json const& h) {
    constexpr int kMode = PSD::PSDError::kUnsupportedColourMode, kDepth = PSD::PSDError::kUnsupportedDepth;
    if (h.is_null()) return PSD::PSDError::kBadSignature;
    unsigned version = h.value("version", 0u), mode = h.value("colour_mode", 0u);
    unsigned depth = h.value("depth", 0u), channels = h.value("channels", 0u);
    if (version != 1 && version != 2) return PSD::PSDError::kUnsupportedVersion;
    bool depthOk = depth == 1 || depth == 8 || depth == 16 || depth == 32;
    switch (mode) {
        case 0: return (depth == 1 && channels == 1) ? -1 : kMode;
        case 2: return depth == 8 ? -1 : kDepth;  // palette indices are bytes
        case 7:
            if (channels == 0) return kMode;
            return depthOk ? -1 : kDepth;
        default: return depthOk ? -1 : kDepth;
    }
}

namespace {

// ctest reads this exit code as "skipped".
constexpr int kSkipped = 77;

Outcome CheckHeader(Document& d, std::string& why) {
    auto const& ref = d.ref;
    auto const& h = ref["header"];
    int refusal = ExpectedHeaderRefusal(h);
    bool signatureBad = false;
    for (auto const& n : ref.value("notes", nlohmann::json::array()))
        if (n.is_string() && n.get<std::string>().find("signature") != std::string::npos) signatureBad = true;
    if (!d.doc) {
        int code = d.report.m_error ? int(d.report.m_error->GetCode()) : -1;
        if (refusal >= 0) {
            if (code == refusal) return Outcome::Match;
            // A damaged signature is refused before anything else in the header.
            if (code == PSD::PSDError::kBadSignature && (signatureBad || !ref.value("open_ok", false)))
                return Outcome::Match;
            why = "expected error " + std::to_string(refusal) + ", got " + std::to_string(code);
            return Outcome::Mismatch;
        }
        if (!ref.value("open_ok", false)) return Outcome::Match;  // damaged past the header
        why = "refused: " + (d.report.m_error ? std::string(d.report.m_error->Report()) : std::string("?"));
        return Outcome::Mismatch;
    }
    if (refusal >= 0) {
        why = "opened although the header must be refused with error " + std::to_string(refusal);
        return Outcome::Mismatch;
    }
    auto const& doc = *d.doc;
    auto differ = [&](char const* field, uint64_t ours) {
        uint64_t theirs = h.value(field, uint64_t(0));
        if (ours == theirs) return false;
        why = std::string(field) + ": ours " + std::to_string(ours) + ", reference " + std::to_string(theirs);
        return true;
    };
    if (differ("version", doc.IsPSB() ? 2 : 1) || differ("channels", doc.m_channelCount) ||
        differ("height", doc.m_height) || differ("width", doc.m_width) || differ("depth", doc.m_depth) ||
        differ("colour_mode", doc.m_colourMode))
        return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_header({"header", 0, CheckHeader});

std::filesystem::path CorpusRoot() {
    if (char const* env = std::getenv("ZUZODORIV_CORPUS"); env && *env) return env;
    return std::filesystem::path(ZUZODORIV_SOURCE_DIR) / ".." / "shared" / "corpus";
}

}  // namespace
}  // namespace corpus

int main(int argc, char** argv) {
    using namespace corpus;
    namespace fs = std::filesystem;
    bool verbose = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-v") verbose = true;
        else only = a;  // substring filter on the document path
    }
    fs::path root = CorpusRoot();
    if (!fs::is_directory(root)) {
        // A checkout without the reference documents beside it: reported as skipped, like the
        // unit tests that read the corpus.
        std::cerr << "corpus folder not found: " << root << " (set ZUZODORIV_CORPUS); skipped\n";
        return kSkipped;
    }
    std::vector<fs::path> refs;
    for (auto const& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        std::string name = e.path().filename().string();
        if (name.size() > 9 && name.compare(name.size() - 9, 9, ".ref.json") == 0) {
            std::string doc = name.substr(0, name.size() - 9);
            std::string ext = doc.size() > 4 ? doc.substr(doc.size() - 4) : "";
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if (ext == ".psd" || ext == ".psb" || ext == ".tif") refs.push_back(e.path());
        }
    }
    std::sort(refs.begin(), refs.end());

    struct Tally { size_t match = 0, total = 0; };
    std::map<std::string, Tally> tallies;
    size_t documents = 0, matched = 0, failed = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto const& refPath : refs) {
        std::string rel = fs::relative(refPath, root).string();
        rel = rel.substr(0, rel.size() - 9);
        if (!only.empty() && rel.find(only) == std::string::npos) continue;
        nlohmann::json ref;
        try {
            std::ifstream f(refPath);
            ref = nlohmann::json::parse(f);
        } catch (std::exception const& e) {
            std::cout << "FAIL " << rel << ": unreadable reference: " << e.what() << "\n";
            ++documents;
            ++failed;
            continue;
        }
        fs::path docPath = root / rel;
        Document d{rel, docPath.string(), ref, nullptr, {}};
        ++documents;
        std::string why;
        Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(d.fullPath, &why));
        if (!in) {
            std::cout << "FAIL " << rel << ": cannot open: " << why << "\n";
            ++failed;
            continue;
        }
        d.doc = PSD::OpenStream(in, PSD::CreateOptions{true, true, {}}, d.report);
        // Layered TIFF files have references of their own form, checked by the "tiff" aspects.
        bool tiff = rel.size() > 4 && rel.compare(rel.size() - 4, 4, ".tif") == 0;
        bool allOk = true;
        for (auto const& a : Aspects()) {
            if (tiff != (std::string(a.name).rfind("tiff", 0) == 0)) continue;
            std::string reason;
            Outcome o = a.check(d, reason);
            if (o == Outcome::NotApplicable) continue;
            Tally& t = tallies[a.name];
            ++t.total;
            if (o == Outcome::Match) {
                ++t.match;
            } else {
                allOk = false;
                std::cout << "FAIL " << rel << " [" << a.name << "]: " << reason << "\n";
            }
        }
        if (verbose) std::cout << (allOk ? "ok   " : "bad  ") << rel << "\n";
        (allOk ? matched : failed)++;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto const& a : Aspects()) {
        Tally t = tallies[a.name];
        std::cout << "corpus " << a.name << ": " << t.match << "/" << t.total << "\n";
    }
    std::cout << "corpus: " << documents << " documents, " << matched << " matched, " << failed << " failed ("
              << secs << " s)\n";
    return failed == 0 ? 0 : 1;
}
