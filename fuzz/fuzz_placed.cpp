// libFuzzer entry for fuzzbodies::FuzzPlaced.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzPlaced(data, size);
    return 0;
}
