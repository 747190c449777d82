// libFuzzer entry for fuzzbodies::FuzzAdjustment.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzAdjustment(data, size);
    return 0;
}
