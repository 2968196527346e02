// Edit plan and crossfade settings: the frame figures a user can check by hand.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "helpers.h"

namespace {

class Plan : public ::testing::Test {
protected:
    void SetUp() override { job = (Job*)calloc(1, sizeof(Job)); }
    void TearDown() override { free(job); }
    // A job of `tracks` tracks at `rate` Hz whose takes all hold `frames` frames.
    void Make(std::vector<float> times, int32_t rate, int32_t frames, int32_t tracks = 1)
    {
        memset(job, 0, sizeof(Job));
        job->edit_count = (int32_t)times.size(), job->track_count = tracks;
        std::copy(times.begin(), times.end(), job->edit_times);
        for (size_t i = 0; i < times.size(); i++)
            snprintf(job->take_suffixes + i * NAME_SLOT, NAME_SLOT, "take%zu", i);
        for (int32_t t = 0; t < tracks; t++) {
            snprintf(job->base_names + t * NAME_SLOT, NAME_SLOT, "track%d", t);
            job->rate[t] = rate, job->bits[t] = 24, job->bytes[t] = 3, job->channels[t] = 2;
            job->longest[t] = frames;
            std::fill(job->frames_of[t], job->frames_of[t] + times.size(), frames);
        }
        strcpy(job->out_suffix, DEFAULT_SUFFIX);
    }
    Job* job = nullptr;
};

}  // namespace

TEST_F(Plan, SegmentsFollowTheEditTimesInSinglePrecision)
{
    Make({9.39f, 11.58f, 20.0f}, 44100, 2000000);
    Plan_Edits(job);
    EXPECT_EQ(job->seg_start[0][0], 414099);
    EXPECT_EQ(job->seg_length[0][0], 96578);
    EXPECT_EQ(job->seg_start[0][1], 510678);  // one frame after segment 0 ends
    EXPECT_EQ(job->seg_length[0][2], 0);
    EXPECT_EQ(job->lead_in[0], 414099);
    EXPECT_EQ(job->length[0], 882000);  // clipped to the end of the last segment
    Make({2.5f, 3.0f}, 48000, 1000000);
    Plan_Edits(job);
    EXPECT_EQ(job->lead_in[0], 120000);
    for (float first : {0.0f, -1.0f}) {  // a negative first time counts as 0
        Make({first, 0.0f, 10.0f}, 44100, 1000000);
        Plan_Edits(job);
        EXPECT_EQ(std::vector<int32_t>({job->lead_in[0], job->seg_start[0][0], job->seg_length[0][0],
                                        job->seg_start[0][1], job->seg_length[0][1]}),
                  std::vector<int32_t>({0, 0, 0, 0, 441000}));
    }
}

TEST_F(Plan, ShortTakesGetTailPads)
{
    Make({0.0f, 1.0f, 2.0f}, 1000, 2500);
    job->frames_of[0][0] = 600;   // ends inside its segment
    job->frames_of[0][1] = 1000;  // ends where its segment starts: all of it is pad
    Plan_Edits(job);
    EXPECT_EQ(std::vector<int32_t>({job->tail_start[0][0], job->tail_length[0][0], job->tail_start[0][1],
                                    job->tail_length[0][1], job->tail_flag[0][0] + job->tail_flag[0][1]}),
              std::vector<int32_t>({600, 400, 1000, 1000, 2}));
}

TEST_F(Plan, CrossfadeFramesAndTheAllTracksRule)
{
    Make({0.0f, 1.0f}, 44100, 100000, 3);
    job->rate[1] = 48000;
    for (int t = 0; t < 3; t++)
        job->xf_type[t] = 1, job->xf_length[t] = t == 2 ? 1.0f : 10.0f;
    Plan_Edits(job);
    EXPECT_EQ(std::vector<int32_t>(job->xf_frames, job->xf_frames + 3), std::vector<int32_t>({441, 480, 44}));

    // xf_all 200 ms type 1 and xf_tr for track 2 at 50 ms: type 3 keeps it, type 0 does not.
    for (int32_t own : {3, 0}) {
        Make({0.0f, 1.0f}, 44100, 100000, 3);
        job->all_type = 1, job->all_length = 200;
        job->xf_type[1] = own, job->xf_length[1] = 50;
        Prepare_Job(job);
        testing::internal::CaptureStdout();
        Print_Matrix(job);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Crossfade Matrix:\ntrack\tlength\ttype\n1\t200.0\t1\n") +
                                                              (own ? "2\t50.0\t3\n" : "2\t200.0\t1\n") + "3\t200.0\t1\n");
    }
    Make({0.0f, 1.0f}, 44100, 100000, 2);
    job->all_length = 300;  // type 0: no track changes
    Prepare_Job(job);
    EXPECT_EQ(job->xf_type[0] + job->xf_length[1], 0);
}
