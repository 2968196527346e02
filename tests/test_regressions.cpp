// The inputs kept in fuzz/regressions, replayed through the fuzz targets' steps in a child:
// a refusal ends it with status 1; a crash, a hang or a sanitizer's report fails.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

// Before the test framework, whose FAIL macro would hide the tool's FAIL function.
#include "steps.h"
#include "helpers.h"

namespace {

// Job files, cut from the input as the fuzz target cuts it, through the readers and the plan.
void Replay_Job(const std::string& input)
{
    Job_Input in = Cut_Job_Input((const uint8_t*)input.data(), input.size());
    in.with_rc ? Spit(RC_FILE, in.rc) : (void)remove(RC_FILE);
    Spit(BASE_FILE, in.base), Spit(POINTS_FILE, in.points);
    Job* job = (Job*)calloc(1, sizeof(Job));
    Fuzz_Job_Steps(job, in.rate, in.take_frames);
}

void Replay_Probe(const std::string& input)
{
    Spit("take.wav", input);
    Fuzz_Probe_Steps();
}

}  // namespace

using Regressions = InFolder;

TEST_F(Regressions, KeptFuzzInputsAreAnsweredWithoutACrash)
{
    int replayed = 0;
    for (std::string target : {"jobs", "probe"})
        for (const auto& entry : fs::directory_iterator(std::string(FUZZ_REGRESSIONS) + "/" + target)) {
            std::string input = Slurp(entry.path().string());
            EXPECT_EXIT(
                {
                    alarm(20);  // a hang ends the child by SIGALRM
                    if (freopen("/dev/null", "w", stdout) == nullptr)
                        abort();
                    target == "jobs" ? Replay_Job(input) : Replay_Probe(input);
                    exit(0);
                },
                [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) <= 1; }, "")
                << entry.path();
            replayed++;
        }
    EXPECT_GE(replayed, 2);
}
