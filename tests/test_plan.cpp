// Edit plan and crossfade settings: the frame figures a user can check by hand.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "helpers.h"

namespace {

// A job of `tracks` tracks at `rate` Hz whose takes hold `frames` frames each.
class Plan : public ::testing::Test {
protected:
    void SetUp() override { job = (Job*)calloc(1, sizeof(Job)); }
    void TearDown() override { free(job); }
    void Make(std::vector<float> times, int32_t rate, int32_t frames, int32_t tracks = 1)
    {
        memset(job, 0, sizeof(Job));
        job->edit_count = (int32_t)times.size();
        job->track_count = tracks;
        for (size_t i = 0; i < times.size(); i++) {
            job->edit_times[i] = times[i];
            snprintf(job->take_suffixes + i * NAME_SLOT, NAME_SLOT, "take%zu", i);
        }
        for (int32_t t = 0; t < tracks; t++) {
            snprintf(job->base_names + t * NAME_SLOT, NAME_SLOT, "track%d", t);
            job->rate[t] = rate, job->bits[t] = 24, job->bytes[t] = 3, job->channels[t] = 2;
            job->longest[t] = frames;
            for (size_t i = 0; i < times.size(); i++)
                job->frames_of[t][i] = frames;
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
    EXPECT_EQ(job->seg_start[0][0], 120000);
    for (float first : {0.0f, -1.0f}) {
        Make({first, 0.0f, 10.0f}, 44100, 1000000);
        Plan_Edits(job);
        EXPECT_EQ(job->lead_in[0], 0);
        EXPECT_EQ(job->seg_start[0][0], 0);
        EXPECT_EQ(job->seg_length[0][0], 0);
        EXPECT_EQ(job->seg_start[0][1], 0);
        EXPECT_EQ(job->seg_length[0][1], 441000);
    }
}

TEST_F(Plan, ShortTakesGetTailPadsAndTheTrackEndsWithItsLongestTake)
{
    Make({0.0f, 1.0f, 2.0f, 3.0f}, 1000, 5000);
    job->frames_of[0][0] = 600;   // ends inside its segment
    job->frames_of[0][1] = 1000;  // ends exactly where its segment starts
    job->longest[0] = 2500;
    job->frames_of[0][2] = 2500;
    Plan_Edits(job);
    EXPECT_EQ(job->tail_flag[0][0], 1);
    EXPECT_EQ(job->tail_start[0][0], 600);
    EXPECT_EQ(job->tail_length[0][0], 400);
    EXPECT_EQ(job->tail_start[0][1], 1000);
    EXPECT_EQ(job->tail_length[0][1], 1000);
    EXPECT_EQ(job->tail_flag[0][2], 0);
    EXPECT_EQ(job->seg_length[0][2], 500);  // clipped to the longest take
    EXPECT_EQ(job->length[0], 2500);

    Make({0.0f, 1.0f, 2.0f}, 1000, 5000);
    job->frames_of[0][1] = 999;
    EXPECT_FAILS(Plan_Edits(job), "^Edit 2 failed.  The take ends before the edit point.\nOutput files were not built\n");
}

TEST_F(Plan, CrossfadeFramesAndTheAllTracksRule)
{
    Make({0.0f, 1.0f}, 44100, 100000, 3);
    job->rate[1] = 48000;
    for (int t = 0; t < 3; t++)
        job->xf_type[t] = 1, job->xf_length[t] = t == 2 ? 1.0f : 10.0f;
    Plan_Edits(job);
    EXPECT_EQ(job->xf_frames[0], 441);
    EXPECT_EQ(job->xf_frames[1], 480);
    EXPECT_EQ(job->xf_frames[2], 44);

    struct Case { int32_t own_type; const char* matrix; };
    for (Case c : {Case{3, "1\t200.0\t1\n2\t50.0\t3\n3\t200.0\t1\n"}, Case{0, "1\t200.0\t1\n2\t200.0\t1\n3\t200.0\t1\n"}}) {
        Make({0.0f, 1.0f}, 44100, 100000, 3);
        job->all_type = 1, job->all_length = 200;
        job->xf_type[1] = c.own_type, job->xf_length[1] = 50;
        Prepare_Job(job);
        testing::internal::CaptureStdout();
        Print_Matrix(job);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Crossfade Matrix:\ntrack\tlength\ttype\n") + c.matrix);
    }
    Make({0.0f, 1.0f}, 44100, 100000, 2);
    job->all_type = 0, job->all_length = 300;
    Prepare_Job(job);
    EXPECT_EQ(job->xf_type[0] + job->xf_type[1], 0);
}
