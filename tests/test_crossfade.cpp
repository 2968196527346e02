// Crossfade engine: where it reads, the curves at chosen points, truncation, and the
// status and message of every failure.
#include <cmath>

#include "audio/audio.h"
#include "helpers.h"
#include "wav/wav.h"

namespace {

// A take whose every sample is `value` (on the file's own scale).
void Constant_Take(const char* path, int bits, int channels, int frames, int32_t value)
{
    MAKE_HEADER(path, 44100, bits, frames, (uint16_t)channels);
    std::string data;
    for (int k = 0; k < frames * channels; k++)
        data += Le32((uint32_t)value).substr(0, bits / 8);
    Spit(path, Slurp(path) + data);
}

// Runs a crossfade into a fresh temp file; returns the status, the mixed frames in `mixed`.
int32_t Fade(int32_t at, int32_t length, int32_t type, int bits, int channels, std::string* mixed,
             const char* previous = "p.wav", const char* next = "n.wav")
{
    MAKE_HEADER("x.wav", 44100, bits, length, (uint16_t)channels);
    int32_t status = CROSSFADE(at, at, length, type, previous, next, "x.wav", channels, bits / 8);
    *mixed = Slurp("x.wav");
    return status;
}

double Gain_Next(int type, double t, double* g_previous)
{
    double angle = t * 1.570796327;
    double gp = type == 1 ? cos(angle) : type == 2 ? 1 - t : type == 3 ? cos(angle) : 1 - sin(angle);
    *g_previous = gp;
    return type == 1 ? sin(angle) : 1 - gp;
}

}  // namespace

using Crossfade = InFolder;

TEST_F(Crossfade, CurvesRunFromThePreviousTakeAndNeverReachTheNext)
{
    const int32_t p = 5000000, n = -3000000;
    Constant_Take("p.wav", 24, 2, 4000, p);
    Constant_Take("n.wav", 24, 2, 4000, n);
    for (int type = 1; type <= 4; type++) {
        std::string mixed;
        ASSERT_EQ(Fade(2000, 1025, type, 24, 2, &mixed), XF_OK);
        ASSERT_EQ(mixed.size(), 44u + 1025 * 6);
        for (int j : {0, 1, 512, 1023, 1024}) {
            double gp, gn = Gain_Next(type, (double)j / 1025, &gp);
            int32_t want = (int32_t)(n * gn + p * gp);
            EXPECT_EQ(Sample_In(mixed, j, 0, 24, 2), want) << "type " << type << " frame " << j;
            EXPECT_EQ(Sample_In(mixed, j, 1, 24, 2), want);
        }
        EXPECT_EQ(Sample_In(mixed, 0, 0, 24, 2), p);
        EXPECT_NE(Sample_In(mixed, 1024, 0, 24, 2), n);
    }
}

TEST_F(Crossfade, RoundingFollowsTheCurveConstantToTheLastBit)
{
    // Full scale into full scale along the cosine curve: each frame should be 8388607,
    // and double rounding decides which come out one lower. These frames were worked
    // out separately; full-precision pi/2 or a fused multiply-add flips them.
    Constant_Take("p.wav", 24, 1, 3000, 8388607);
    Constant_Take("n.wav", 24, 1, 3000, 8388607);
    std::string mixed;
    ASSERT_EQ(Fade(1500, 1025, 3, 24, 1, &mixed), XF_OK);
    const int32_t expect[][2] = {{699, 8388606}, {706, 8388607}, {708, 8388607}, {720, 8388606}};
    for (const auto& e : expect)
        EXPECT_EQ(Sample_In(mixed, e[0], 0, 24, 1), e[1]) << e[0];
}

TEST_F(Crossfade, ReadsCentredOnTheEditAndTruncatesTowardZero)
{
    Write_Take("p.wav", 1, 44100, 16, 1, 200);
    Write_Take("n.wav", 2, 44100, 16, 1, 200);
    std::string mixed;
    for (int length : {5, 4}) {
        ASSERT_EQ(Fade(100, length, 2, 16, 1, &mixed), XF_OK);
        ASSERT_EQ(mixed.size(), 44u + length * 2);
        for (int j = 0; j < length; j++) {
            double gp, gn = Gain_Next(2, (double)j / length, &gp);
            double m = Sample(2, 98 + j, 0, 16) * 256.0 * gn + Sample(1, 98 + j, 0, 16) * 256.0 * gp;
            EXPECT_EQ(Sample_In(mixed, j, 0, 16, 1), (int32_t)(m / 256)) << j;
        }
    }
    // Half-way through a linear fade: -2.5 becomes -2 (24-bit), -1.5 becomes -1 (16-bit).
    Constant_Take("p.wav", 24, 1, 10, -5);
    Constant_Take("n.wav", 24, 1, 10, 0);
    ASSERT_EQ(Fade(5, 2, 2, 24, 1, &mixed), XF_OK);
    EXPECT_EQ(Sample_In(mixed, 1, 0, 24, 1), -2);
    Constant_Take("p.wav", 16, 1, 10, -3);
    Constant_Take("n.wav", 16, 1, 10, 0);
    ASSERT_EQ(Fade(5, 2, 2, 16, 1, &mixed), XF_OK);
    EXPECT_EQ(Sample_In(mixed, 1, 0, 16, 1), -1);
}

TEST_F(Crossfade, FramesPastATakesEndMixAsSilence)
{
    Constant_Take("p.wav", 24, 1, 1000, 4000000);
    Constant_Take("n.wav", 24, 1, 3000, 2000000);
    std::string mixed;
    ASSERT_EQ(Fade(1000, 1500, 1, 24, 1, &mixed), XF_OK);  // starts at 250, previous ends at 1000
    for (int j : {749, 750, 1499}) {
        double gp, gn = Gain_Next(1, (double)j / 1500, &gp);
        int32_t want = (int32_t)(2000000 * gn + (j < 750 ? 4000000 * gp : 0.0));
        EXPECT_EQ(Sample_In(mixed, j, 0, 24, 1), want) << j;
    }
}

TEST_F(Crossfade, FailuresNameTheFileAtFaultAndAppendNothing)
{
    Constant_Take("p.wav", 24, 2, 1000, 1);
    Constant_Take("n.wav", 24, 2, 1000, 2);
    Constant_Take("n32.wav", 32, 2, 1000, 2);
    Constant_Take("short.wav", 24, 2, 500, 2);
    Spit("nodata.wav", "RIFF....WAVEfmt ");
    struct Case { int32_t at, length; const char *previous, *next; int32_t status; const char* line; };
    const Case cases[] = {
        {500, 10, "none.wav", "none.wav", XF_PREVIOUS, ""},
        {500, 10, "p.wav", "none.wav", XF_NEXT, ""},
        {500, 10, "nodata.wav", "n.wav", XF_PREVIOUS, "Data block not found error\n"},
        {500, 10, "p.wav", "nodata.wav", XF_NEXT, "Data block not found error\n"},
        {4, 10, "p.wav", "n.wav", XF_PREVIOUS, "Invalid crossfade for destination file\n"},
        {5, 10, "p.wav", "n.wav", XF_OK, ""},
        {1005, 10, "p.wav", "n.wav", XF_OK, ""},  // starts exactly at the end: passes, mixes silence
        {1006, 10, "p.wav", "n.wav", XF_PREVIOUS, "Invalid crossfade for destination file\n"},
        {600, 10, "p.wav", "short.wav", XF_NEXT, "Invalid crossfade for source file\n"},
        {500, 0, "p.wav", "n.wav", XF_OK, ""},
        {500, -7, "p.wav", "n.wav", XF_OK, ""},
    };
    for (const Case& c : cases) {
        std::string mixed;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Fade(c.at, c.length, 1, 24, 2, &mixed, c.previous, c.next), c.status) << c.at << c.previous;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(mixed.size(), 44u + (c.status == XF_OK && c.length > 0 ? c.length * 6 : 0));
    }
    MAKE_HEADER("x.wav", 44100, 24, 10, 2);
    EXPECT_EQ(CROSSFADE(500, 500, 10, 1, "p.wav", "n.wav", "no/such/x.wav", 2, 3), XF_TEMP);
    Constant_Take("p32.wav", 32, 2, 1000, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CROSSFADE(500, 500, 10, 1, "p32.wav", "n32.wav", "x.wav", 2, 4), XF_FORMAT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">> Cannot crossfade 32-bit audio with 2 channels\n");
    EXPECT_EQ(Slurp("x.wav").size(), 44u);
}
