// libFuzzer entry for fuzzbodies::FuzzRoundTrip.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzRoundTrip(data, size);
    return 0;
}
