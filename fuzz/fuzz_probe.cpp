// Fuzzes the take probe on arbitrary bytes and, for takes it accepts, a frame copy,
// a pad and a crossfade of the take with itself.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "audio/audio.h"
#include "fail.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/tavlin-fuzz-probe-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen("take.wav", "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    int32_t channels[1], offset[1], rate[1], frames[1], bytes[1], bits[1];
    try {
        GET_ATTRIBUTES(0, "take.wav", channels, offset, rate, frames, bytes, bits);
        // Keep the work per input small: big frames or counts add nothing new.
        if (channels[0] > 8)
            return 0;
        int32_t count = frames[0] < 3000 ? frames[0] : 3000;
        MAKE_HEADER("out.wav", rate[0], bits[0], count, (uint16_t)channels[0]);
        INSERT_FILE("out.wav", "take.wav", 0, bytes[0], channels[0], count + 5, 0);
        PAD_FILE("out.wav", count / 2, bytes[0], channels[0], 7);
        MAKE_HEADER("fade.wav", rate[0], bits[0], count, (uint16_t)channels[0]);
        (void)CROSSFADE(count / 2, count / 2, count, 1 + count % 4, "take.wav", "take.wav", "fade.wav",
                        channels[0], bytes[0], 0);
    } catch (const Refusal&) {
        // A refused take is an answer, not a fault.
    }
    return 0;
}
