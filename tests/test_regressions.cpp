// The inputs kept in fuzz/regressions, replayed without libFuzzer through the fuzz
// targets' steps, each in a child: a refusal ends it with status 1 as in the tool; a
// crash, a hang or a sanitizer's report fails.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "driver/driver.h"
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
}

void Replay_Probe(const std::string& input)
{
    Spit("take.wav", input);
    Take_Info take[1];
    GET_ATTRIBUTES(0, "take.wav", take);
    Wav_Format format = take[0].format;
    if (format.channels > 8)
        return;
    int32_t count = std::min(take[0].frames, 3000), frame_size = format.bytes_per_sample * format.channels;
    uint8_t* buffer = Block_Alloc(COPY_BYTES);
    Wav_File in{Stream_Open_Read("take.wav"), take[0].data_offset, take[0].data_end, take[0].file_bytes};
    Stream out = Stream_Create("out.wav"), fade = Stream_Create("fade.wav");
    Wav_File out_file{out, WRITE_HEADER(&out, &format, count, &in.stream, &take[0].bext, take[0].bext.bytes ? 1 : 0),
                      INT64_MAX, 0};
    INSERT_FILE(&out_file, &in, 0, frame_size, count + 5, 0, buffer);
    memset(buffer, 0, COPY_BYTES);
    PAD_FILE(&out_file, count / 2, frame_size, 7, buffer);
    Wav_File fade_file{fade, WRITE_HEADER(&fade, &format, count, nullptr, nullptr, 0), INT64_MAX, 0};
    Fade_Work work;
    Fade_Work_Start(&work, format.bytes_per_sample, format.channels, 1 + count % 4, count);
    (void)CROSSFADE(count / 2, count / 2, &in, &in, &fade_file, &format, &work);
    Fade_Work_End(&work);
    free(buffer);
    Stream_Close_Written(&fade_file.stream);
    Stream_Close_Written(&out_file.stream);
    Stream_Close_Unwritten(&in.stream);
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
