// libFuzzer entry for fuzzbodies::FuzzTIFF.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzTIFF(data, size);
    return 0;
}
