// Feeds arbitrary bytes to the WAV layout reader the virtual device records
// from, and checks that whatever it accepts lies inside the image.
#include "platform/kelWavFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelWavLayout layout;
    if (kelWavParse(data, size, layout)) {
        if (layout.dataOffset > size || layout.dataSize > size - layout.dataOffset) {
            std::abort();
        }
        volatile uint8_t sum = 0;
        for (size_t i = 0; i < layout.dataSize; ++i) {
            sum = uint8_t(sum + data[layout.dataOffset + i]);
        }
    }
    return 0;
}
