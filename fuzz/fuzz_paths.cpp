// libFuzzer entry for fuzzbodies::FuzzPaths.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzPaths(data, size);
    return 0;
}
