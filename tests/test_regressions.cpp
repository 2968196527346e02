// The inputs kept in fuzz/regressions, replayed without libFuzzer through the fuzz
// targets' steps, each in a child: a refusal ends it with status 1 as in the tool; a
// crash, a hang or a sanitizer's report fails.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

// Before the test framework, whose FAIL macro would hide the tool's FAIL function.
#include "steps.h"
#include "helpers.h"

namespace {

// Job files through the readers, the checks and the plan. The input is cut as libFuzzer's
// FuzzedDataProvider cuts it: integers from the end (the bytes their range needs), then
// strings from the front, in which "\\" is "\" and "\" and another byte ends a string.
void Replay_Job(std::string in)
{
    auto integer = [&](uint64_t range) {
        uint64_t value = 0;
        for (int shift = 0; (range >> shift) > 0 && !in.empty(); shift += 8)
            value = value << 8 | (uint8_t)in.back(), in.pop_back();
        return (int32_t)(value % (range + 1));
    };
    int32_t rate = 1 + integer(399999), take_frames = integer(INT32_MAX / 8);
    bool with_rc = integer(255) & 1;
    size_t at = 0;
    auto text = [&](size_t longest) {
        std::string cut;
        while (cut.size() < longest && at < in.size()) {
            char next = in[at++];
            if (next == '\\' && at < in.size() && (next = in[at++]) != '\\')
                break;
            cut += next;
        }
        return cut;
    };
    std::string rc = text(1100), base = text(40000);
    with_rc ? Spit(RC_FILE, rc) : (void)remove(RC_FILE);
    Spit(BASE_FILE, base), Spit(POINTS_FILE, in.substr(at));
    Job* job = (Job*)calloc(1, sizeof(Job));
    Fuzz_Job_Steps(job, rate, take_frames);
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
