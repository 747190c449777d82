// libFuzzer entry for fuzzbodies::FuzzDescriptor.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzDescriptor(data, size);
    return 0;
}
