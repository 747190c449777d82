// libFuzzer entry for fuzzbodies::FuzzOpen.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzOpen(data, size);
    return 0;
}
