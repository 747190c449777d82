// libFuzzer entry for fuzzbodies::FuzzPatterns.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzPatterns(data, size);
    return 0;
}
