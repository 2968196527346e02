// Fuzzes the three job-file readers and the job checks and plan that follow them.
// The input is split into tavlinrc.txt, base.txt and points.txt; the plan then runs
// with a take length and sample rate taken from the input as well.
#include <unistd.h>

#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "steps.h"

static void Write(const char* name, const std::string& bytes)
{
    FILE* f = fopen(name, "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        abort();
}

// One job for the whole run: its per-track-and-edit tables are 24 MB, too much to
// allocate per input. Each input clears the rest, which the plan reads first.
static Job* job;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    job = (Job*)calloc(1, sizeof(Job));
    char dir[] = "/tmp/tavlin-fuzz-jobs-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Job_Input in = Cut_Job_Input(data, size);
    if (in.with_rc)
        Write(RC_FILE, in.rc);
    else
        remove(RC_FILE);
    Write(BASE_FILE, in.base);
    Write(POINTS_FILE, in.points);

    try {
        Fuzz_Job_Steps(job, in.rate, in.take_frames);
    } catch (const Refusal&) {
        // A refused job is an answer, not a fault.
    }
    return 0;
}
