// Fuzzes the three job-file readers and the job checks and plan that follow them.
// The input is split into tavlinrc.txt, base.txt and points.txt; the plan then runs
// with a take length and sample rate taken from the input as well.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "fail.h"

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
    FuzzedDataProvider in(data, size);
    int32_t rate = in.ConsumeIntegralInRange<int32_t>(1, 400000);
    int32_t take_frames = in.ConsumeIntegralInRange<int32_t>(0, INT32_MAX / 8);
    bool with_rc = in.ConsumeBool();
    std::string rc = in.ConsumeRandomLengthString(1100);
    std::string base = in.ConsumeRandomLengthString(40000);
    std::string points = in.ConsumeRemainingBytesAsString();
    if (with_rc)
        Write(RC_FILE, rc);
    else
        remove(RC_FILE);
    Write(BASE_FILE, base);
    Write(POINTS_FILE, points);

    memset(job, 0, offsetof(Job, frames_of));
    try {
        Settle_Names(job);
        Check_RC(job->xf_type, job->xf_length, &job->all_type, &job->all_length);
        ReadBaseFile(&job->track_count, job->base_names, NAME_SLOT);
        ReadEditFile(&job->edit_count, job->take_suffixes, NAME_SLOT, job->edit_times);
        Prepare_Job(job);
        for (int32_t t = 0; t < job->track_count; t++) {
            job->rate[t] = rate, job->bits[t] = 24, job->bytes[t] = 3, job->channels[t] = 2;
            job->longest[t] = take_frames;
            for (int32_t i = 0; i < job->edit_count; i++)
                job->frames_of[t][i] = take_frames;
        }
        Plan_Edits(job);
        Print_Matrix(job);
    } catch (const Refusal&) {
        // A refused job is an answer, not a fault.
    }
    return 0;
}
