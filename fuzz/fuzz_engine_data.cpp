// libFuzzer entry for fuzzbodies::FuzzEngineData.
#include "fuzz/FuzzBodies.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzzbodies::FuzzEngineData(data, size);
    return 0;
}
