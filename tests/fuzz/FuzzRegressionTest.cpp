// Inputs that once broke a fuzz body are kept in fuzz/regressions/<body>/ and replayed here.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/FuzzBodies.h"
#include "support/CorpusFiles.h"

namespace {

namespace fs = std::filesystem;

void Replay(char const* folder, void (*body)(uint8_t const*, size_t)) {
    fs::path dir = fs::path(ZUZODORIV_SOURCE_DIR) / "fuzz" / "regressions" / folder;
    if (!fs::is_directory(dir)) return;
    for (auto const& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        SCOPED_TRACE(e.path().string());
        auto bytes = testsupport::ReadWholeFile(e.path());
        body(bytes.data(), bytes.size());
    }
}

}  // namespace

TEST(FuzzRegressions, KeptInputsRunCleanly) {
    Replay("open", fuzzbodies::FuzzOpen);
    Replay("descriptor", fuzzbodies::FuzzDescriptor);
    Replay("engine_data", fuzzbodies::FuzzEngineData);
    Replay("pack_bits", fuzzbodies::FuzzPackBits);
    Replay("round_trip", fuzzbodies::FuzzRoundTrip);
    Replay("effects", fuzzbodies::FuzzEffects);
    Replay("adjustment", fuzzbodies::FuzzAdjustment);
    Replay("paths", fuzzbodies::FuzzPaths);
    Replay("placed", fuzzbodies::FuzzPlaced);
    Replay("patterns", fuzzbodies::FuzzPatterns);
    Replay("tiff", fuzzbodies::FuzzTIFF);
}

TEST(FuzzRegressions, BodiesAcceptDegenerateInputs) {
    uint8_t const nothing[1] = {0};
    for (auto body : {fuzzbodies::FuzzOpen, fuzzbodies::FuzzDescriptor, fuzzbodies::FuzzEngineData,
                      fuzzbodies::FuzzPackBits, fuzzbodies::FuzzRoundTrip, fuzzbodies::FuzzEffects,
                      fuzzbodies::FuzzAdjustment, fuzzbodies::FuzzPaths, fuzzbodies::FuzzPlaced,
                      fuzzbodies::FuzzPatterns, fuzzbodies::FuzzTIFF}) {
        body(nothing, 0);
        body(nothing, 1);
    }
}
