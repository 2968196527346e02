// Crossfade settings: the all-tracks entry fills in every track whose own entry has
// type 0. (The frame figures of a plan are checked against whole builds in test_tool.)
#include <cstdlib>

#include "driver/driver.h"
#include "helpers.h"

TEST(Plan, ATracksOwnCrossfadeWinsUnlessItsTypeIs0)
{
    Job* job = (Job*)calloc(1, sizeof(Job));
    // xf_all 200 ms and xf_tr for track 2 at 50 ms; types and lengths of tracks 1 and 2.
    struct Row { int32_t all, own; std::vector<float> want; };
    for (const Row& r : std::vector<Row>{{1, 3, {1, 200, 3, 50}}, {1, 0, {1, 200, 1, 200}}, {0, 0, {0, 0, 0, 50}}}) {
        job->xf_type[0] = 0, job->xf_length[0] = 0;
        job->all_type = r.all, job->all_length = 200;
        job->xf_type[1] = r.own, job->xf_length[1] = 50;
        Prepare_Job(job);
        EXPECT_EQ(std::vector<float>({(float)job->xf_type[0], job->xf_length[0], (float)job->xf_type[1], job->xf_length[1]}),
                  r.want);
    }
    free(job);
}
