// libFuzzer entry for fuzzbodies::FuzzEffects.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzEffects(data, size);
    return 0;
}
