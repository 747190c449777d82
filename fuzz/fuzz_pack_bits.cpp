// libFuzzer entry for fuzzbodies::FuzzPackBits.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzPackBits(data, size);
    return 0;
}
