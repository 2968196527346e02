// Crossfade engine: where it reads, the curves at their ends, rounding to the last
// bit, truncation, frames past a take's end, and every failure's status and line.
#include <cmath>
#include <cstring>

#include "audio/audio.h"
#include "helpers.h"
#include "wav/wav.h"

namespace {

// A take whose sample of channel c is values[c % values.size()] in every frame, on the
// file's own scale, as integers or (is_float) IEEE floats, behind a 44-byte header.
void Constant_Take(const char* path, int bits, int channels, int frames, std::vector<double> values,
                   int32_t is_float = 0)
{
    MAKE_HEADER(path, 44100, bits, frames, (uint16_t)channels);
    std::string header = Slurp(path), frame;
    if (is_float)
        header[20] = 3;  // format code of IEEE float
    for (int c = 0; c < channels; c++) {
        double v = values[c % values.size()];
        float single = (float)v;
        uint32_t single_bytes;
        memcpy(&single_bytes, &single, 4);
        uint64_t bytes = (uint64_t)(int64_t)v;
        if (is_float && bits == 32)
            bytes = single_bytes;
        else if (is_float)
            memcpy(&bytes, &v, 8);
        for (int k = 0; k < bits / 8; k++)
            frame += char(bytes >> (8 * k));
    }
    std::string data;
    for (int k = 0; k < frames; k++)
        data += frame;
    Spit(path, header + data);
}

// Sample (frame, channel) of a WAV whose data starts at byte 44, integer or float.
double Value_In(const std::string& wav, int64_t frame, int channel, int bits, int channels, int32_t is_float)
{
    if (!is_float)
        return Sample_In(wav, frame, channel, bits, channels);
    uint64_t bytes = 0;
    for (int k = 0; k < bits / 8; k++)
        bytes |= (uint64_t)(uint8_t)wav.at(44 + (frame * channels + channel) * (bits / 8) + k) << (8 * k);
    uint32_t single_bytes = (uint32_t)bytes;
    float single;
    double value;
    memcpy(&single, &single_bytes, 4);
    memcpy(&value, &bytes, 8);
    return bits == 32 ? single : value;
}

// Mixes p.wav into n.wav at frame `at` into a fresh x.wav; returns the status and,
// in `mixed`, what x.wav holds afterwards.
int32_t Fade(int32_t at, int32_t length, int32_t type, int bits, int channels, std::string* mixed,
             const char* previous = "p.wav", const char* next = "n.wav", int32_t is_float = 0)
{
    MAKE_HEADER("x.wav", 44100, bits, length, (uint16_t)channels);
    Wav_File p = Open_Wav(previous), n = Open_Wav(next), x = Open_Wav("x.wav");
    Wav_Format format{44100, bits, bits / 8, channels, is_float, bits, 0};
    Fade_Work work;
    Fade_Work_Start(&work, bits / 8, channels, type, length);
    int32_t status = CROSSFADE(at, at, &p, &n, &x, &format, &work);
    Fade_Work_End(&work);
    for (Wav_File* f : {&p, &n, &x})
        Stream_Close_Written(&f->stream);
    *mixed = Slurp("x.wav");
    return status;
}

}  // namespace

using Crossfade = InFolder;

TEST_F(Crossfade, EveryCurveStartsOnThePreviousTakeAndStaysShortOfTheNext)
{
    Constant_Take("p.wav", 24, 2, 4000, {5000000});
    Constant_Take("n.wav", 24, 2, 4000, {-3000000});
    std::string mixed;
    for (int type = 1; type <= 4; type++) {
        ASSERT_EQ(Fade(2000, 1025, type, 24, 2, &mixed), XF_OK);  // a block of 1024 and one of 1
        ASSERT_EQ(mixed.size(), 44u + 1025 * 6);
        EXPECT_EQ(Sample_In(mixed, 0, 1, 24, 2), 5000000);
        // t counts on across blocks: the last frame is at t = 1024/1025, short of the next take.
        EXPECT_GT(Sample_In(mixed, 1024, 1, 24, 2), -3000000) << type;
        EXPECT_LT(Sample_In(mixed, 1024, 1, 24, 2), -2980000) << type;
    }
}

TEST_F(Crossfade, RoundingFollowsTheCurveConstantToTheLastBit)
{
    // Full scale into full scale along the cosine curve: each frame should be 8388607,
    // and double rounding decides which come out one lower. These frames were worked
    // out separately; full-precision pi/2 or a fused multiply-add flips them.
    Constant_Take("p.wav", 24, 1, 3000, {8388607});
    Constant_Take("n.wav", 24, 1, 3000, {8388607});
    std::string mixed;
    ASSERT_EQ(Fade(1500, 1025, 3, 24, 1, &mixed), XF_OK);
    for (auto [frame, value] : {std::pair{699, 8388606}, {706, 8388607}, {708, 8388607}, {720, 8388606}})
        EXPECT_EQ(Sample_In(mixed, frame, 0, 24, 1), value) << frame;
}

TEST_F(Crossfade, EveryFormatMixesEachChannelAlongTheCurves)
{
    // Per channel, the previous and the next take's value as fractions of full scale.
    // Pairs of one sign stay within full scale on the equal-power curve: no saturation.
    const double previous[8] = {0.9, -0.55, 0.3, -0.8, 0.05, 0.6, -0.35, 0.75};
    const double next[8] = {-0.7, 0.45, 0.85, -0.2, -0.95, 0.1, 0.5, -0.6};
    struct Format { int bits; int32_t is_float; double full_scale; };
    for (Format f : {Format{16, 0, 32767}, {24, 0, 8388607}, {32, 0, 2147483647}, {32, 1, 1.5}, {64, 1, 1.5}})
        for (int channels : {1, 2, 6, 8}) {
            std::vector<double> a, b;  // the values the takes hold
            for (int c = 0; c < channels; c++)
                for (auto [fraction, held] : {std::pair{previous[c], &a}, {next[c], &b}}) {
                    double v = fraction * f.full_scale;
                    held->push_back(!f.is_float ? std::trunc(v) : f.bits == 32 ? (double)(float)v : v);
                }
            Constant_Take("p.wav", f.bits, channels, 3000, a, f.is_float);
            Constant_Take("n.wav", f.bits, channels, 3000, b, f.is_float);
            for (int type = 1; type <= 4; type++) {
                std::string mixed;
                ASSERT_EQ(Fade(1500, 1025, type, f.bits, channels, &mixed, "p.wav", "n.wav", f.is_float), XF_OK);
                ASSERT_EQ(mixed.size(), 44u + 1025 * channels * f.bits / 8);
                for (int j = 0; j < 1025; j++) {
                    // The curves as defined: t = j / L, a quarter turn to ten decimals,
                    // and for types 2 to 4 the next take's gain is 1 minus the previous'.
                    double t = (double)j / 1025, angle = t * 1.570796327;
                    double g_p = type == 2 ? 1.0 - t : type == 4 ? 1.0 - sin(angle) : cos(angle);
                    double g_n = type == 1 ? sin(angle) : 1.0 - g_p;
                    for (int c = 0; c < channels; c++) {
                        // 16-bit takes mix on the 24-bit scale (x 256) and come back by 1/256.
                        double want = f.bits == 16 ? std::trunc((b[c] * 256 * g_n + a[c] * 256 * g_p) * 0.00390625)
                                      : !f.is_float ? std::trunc(b[c] * g_n + a[c] * g_p)
                                      : f.bits == 32 ? (double)(float)(b[c] * g_n + a[c] * g_p)
                                                     : b[c] * g_n + a[c] * g_p;
                        ASSERT_EQ(Value_In(mixed, j, c, f.bits, channels, f.is_float), want)
                            << f.bits << (f.is_float ? " float, " : " int, ") << channels << " channels, type "
                            << type << ", frame " << j << ", channel " << c;
                    }
                }
            }
        }
}

TEST_F(Crossfade, LoudTakesSaturateInsteadOfWrapping)
{
    // Identical full-scale takes on the equal-power curve reach about 1.41 x full scale
    // half-way: every sample keeps its sign, and half-way holds the width's limit.
    for (auto [bits, value] : {std::pair{16, 32767.0}, {16, -32768.0}, {24, 8388607.0}, {24, -8388608.0},
                               {32, 2147483647.0}, {32, -2147483648.0}}) {
        Constant_Take("p.wav", bits, 2, 400, {value});
        Constant_Take("n.wav", bits, 2, 400, {value});
        std::string mixed;
        ASSERT_EQ(Fade(200, 300, 1, bits, 2, &mixed), XF_OK);
        for (int j = 0; j < 300; j++)
            for (int c = 0; c < 2; c++)
                ASSERT_GT(Sample_In(mixed, j, c, bits, 2) * value, 0) << bits << " bits, frame " << j;
        EXPECT_EQ(Sample_In(mixed, 150, 1, bits, 2), value) << bits;
    }
}

TEST_F(Crossfade, ReadsCentredOnTheEditTruncatesAndMixesSilencePastTheEnd)
{
    Write_Take("p.wav", 1, 44100, 16, 1, 200);
    Write_Take("n.wav", 2, 44100, 16, 1, 200);
    std::string mixed;
    for (int length : {5, 4}) {  // both start at frame 98: two frames before the edit at 100
        ASSERT_EQ(Fade(100, length, 2, 16, 1, &mixed), XF_OK);
        ASSERT_EQ(mixed.size(), 44u + length * 2);
        EXPECT_EQ(Sample_In(mixed, 0, 0, 16, 1), Sample(1, 98, 0, 16));
    }
    // Half-way through a linear fade: -2.5 becomes -2 (24-bit), -1.5 becomes -1 (16-bit).
    for (int bits : {24, 16}) {
        Constant_Take("p.wav", bits, 1, 10, {bits == 24 ? -5.0 : -3.0});
        Constant_Take("n.wav", bits, 1, 10, {0});
        ASSERT_EQ(Fade(5, 2, 2, bits, 1, &mixed), XF_OK);
        EXPECT_EQ(Sample_In(mixed, 1, 0, bits, 1), bits == 24 ? -2 : -1);
    }
    // The previous take's audio ends 750 frames into the fade: from there it adds
    // silence, not the bytes of the chunk that follows its data.
    Constant_Take("p.wav", 24, 1, 1000, {4000000});
    Spit("p.wav", Slurp("p.wav") + "LIST" + Le32(600) + std::string(600, '\x7F'));
    Constant_Take("n.wav", 24, 1, 3000, {0});
    ASSERT_EQ(Fade(1000, 1500, 2, 24, 1, &mixed), XF_OK);
    EXPECT_EQ(Sample_In(mixed, 749, 0, 24, 1), 2002666);  // 4000000 x 751/1500
    EXPECT_EQ(Sample_In(mixed, 750, 0, 24, 1), 0);
}

TEST_F(Crossfade, FailuresNameTheFileAtFaultAndAppendNothing)
{
    Constant_Take("p.wav", 24, 2, 1000, {1});
    Constant_Take("n.wav", 24, 2, 1000, {2});
    Constant_Take("short.wav", 24, 2, 500, {2});
    Constant_Take("p8.wav", 8, 2, 1000, {1});
    Constant_Take("p64.wav", 64, 2, 1000, {1});
    struct Case { int32_t at, length, bits; const char *previous, *next; int32_t status; const char* line; };
    for (const Case& c : std::vector<Case>{
             {4, 10, 24, "p.wav", "n.wav", XF_PREVIOUS, "Invalid crossfade for destination file\n"},
             {1006, 10, 24, "p.wav", "n.wav", XF_PREVIOUS, "Invalid crossfade for destination file\n"},
             {600, 10, 24, "p.wav", "short.wav", XF_NEXT, "Invalid crossfade for source file\n"},
             {500, 10, 8, "p8.wav", "p8.wav", XF_FORMAT, ">> Cannot crossfade 8-bit audio with 2 channels\n"},
             {500, 10, 64, "p64.wav", "p64.wav", XF_FORMAT, ">> Cannot crossfade 64-bit audio with 2 channels\n"},
             {5, 10, 24, "p.wav", "n.wav", XF_OK, ""},     // starts on the first frame
             {1005, 10, 24, "p.wav", "n.wav", XF_OK, ""},  // starts on the end: silence
             {500, -7, 24, "p.wav", "n.wav", XF_OK, ""}}) {
        std::string mixed;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Fade(c.at, c.length, 1, c.bits, 2, &mixed, c.previous, c.next), c.status) << c.at << c.previous;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(mixed.size(), 44u + (c.status == XF_OK && c.length > 0 ? c.length * 6 : 0));
    }
    std::string mixed;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Fade(500, 10, 5, 24, 2, &mixed), XF_FORMAT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">> Unknown crossfade type 5\n");
}
