// Fuzzes the take probe on arbitrary bytes and, for takes it accepts, a frame copy,
// a pad and a crossfade of the take with itself.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "steps.h"

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
    try {
        Fuzz_Probe_Steps();
    } catch (const Refusal&) {
        // A refused take is an answer, not a fault.
    }
    return 0;
}
