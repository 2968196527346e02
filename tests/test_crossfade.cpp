// The crossfade engine: every format and channel count against the curves, rounding to the
// last bit, saturation, every failure's status. Crossfades in whole builds: see test_tool.
#include <fcntl.h>

#include <cmath>

#include "audio/audio.h"
#include "helpers.h"

namespace {

using Value = std::function<double(int frame, int channel)>;

// A take at 44100 Hz of value(frame, channel) on the file's own scale (integers or floats).
void Take_Of(const char* path, int bits, int channels, int frames, const Value& value, int32_t is_float = 0)
{
    double full_scale = is_float ? 1 : std::ldexp(1.0, bits - 1);
    Write_Wav(path, 44100, bits, is_float, channels, frames,
              [&](int64_t f, int c) { return value((int)f, c) / full_scale; });
}

// Mixes p.wav into n.wav at frame `at` into a fresh x.wav: the status, and x.wav in `mixed`.
int32_t Fade(int32_t at, int32_t length, int32_t type, int bits, int channels, std::string* mixed,
             const char* previous = "p.wav", const char* next = "n.wav", int32_t is_float = 0)
{
    MAKE_HEADER("x.wav", 44100, bits, length, (uint16_t)channels);
    auto open_wav = [](const char* path) {  // data from byte 44 to the end of the file
        int64_t size = (int64_t)fs::file_size(path);
        return Wav_File{Stream{open(path, O_RDWR), path}, 44, size, size};
    };
    Wav_File p = open_wav(previous), n = open_wav(next), x = open_wav("x.wav");
    Wav_Format format{44100, bits, bits / 8, channels, is_float, bits, 0};
    Fade_Work work;
    Fade_Work_Start(&work, bits / 8, channels, type, length);
    int32_t status = CROSSFADE(at, at, &p, &n, &x, nullptr, 0, 0, &format, &work);
    Fade_Work_End(&work);
    for (Wav_File* f : {&p, &n, &x})
        Stream_Close_Written(&f->stream);
    *mixed = Slurp("x.wav");
    return status;
}

}  // namespace

using Crossfade = InFolder;

TEST_F(Crossfade, EveryFormatMixesEachChannelAlongTheCurves)
{
    // Fractions of full scale, distinct per frame and channel, within +-0.7: no mix reaches full
    // scale. The first frame mixed is the previous take's, 0 in channel 0.
    auto previous = [](int f, int c) { return ((f * 7 + c * 13 + 63) % 141 - 70) / 100.0; };
    auto next = [](int f, int c) { return ((f * 11 + c * 5 + 50) % 141 - 70) / 100.0; };
    struct Format { int bits; int32_t is_float; double full_scale; };
    for (Format f : {Format{16, 0, 32767}, {24, 0, 8388607}, {32, 0, 2147483647}, {32, 1, 1.5}, {64, 1, 1.5}})
        for (int channels : {1, 2, 6}) {
            // The values as the takes hold them.
            auto held = [&](const Value& fraction) {
                return [&, fraction](int frame, int c) {
                    double v = fraction(frame, c) * f.full_scale;
                    return !f.is_float ? std::trunc(v) : f.bits == 32 ? (double)(float)v : v;
                };
            };
            Value a = held(previous), b = held(next);
            Take_Of("p.wav", f.bits, channels, 3000, a, f.is_float);
            Take_Of("n.wav", f.bits, channels, 3000, b, f.is_float);
            for (int type = 1; type <= 4; type++) {
                // t = j / L, a quarter turn to ten decimals, for types 2 to 4 the next gain is 1 minus
                // the previous; 16-bit takes mix on the 24-bit scale (x 256) and come back by 1/256.
                Take_Of("want.wav", f.bits, channels, 1025, [&](int j, int c) {
                    double t = (double)j / 1025, angle = t * 1.570796327;
                    double g_p = type == 2 ? 1.0 - t : type == 4 ? 1.0 - sin(angle) : cos(angle);
                    double g_n = type == 1 ? sin(angle) : 1.0 - g_p;
                    double p = a(988 + j, c), n = b(988 + j, c);
                    return f.bits == 16  ? std::trunc((n * 256 * g_n + p * 256 * g_p) * 0.00390625)
                           : !f.is_float ? std::trunc(n * g_n + p * g_p)
                                         : n * g_n + p * g_p;
                }, f.is_float);
                std::string mixed;
                // 1025 frames: a block of 1024 and one of 1, from frame 1500 - 512 on.
                ASSERT_EQ(Fade(1500, 1025, type, f.bits, channels, &mixed, "p.wav", "n.wav", f.is_float), XF_OK);
                ASSERT_TRUE(mixed.substr(44) == Slurp("want.wav", 44))
                    << f.bits << (f.is_float ? " float, " : " int, ") << channels << " channels, type " << type;
            }
        }
}

TEST_F(Crossfade, FullScaleTakesRoundToTheLastBitAndSaturateInsteadOfWrapping)
{
    // Full scale into full scale on the cosine curve: double rounding makes some frames one lower,
    // worked out separately; full-precision pi/2 or a fused multiply-add flips them.
    Take_Of("p.wav", 24, 1, 3000, [](int, int) { return 8388607; });
    Take_Of("n.wav", 24, 1, 3000, [](int, int) { return 8388607; });
    std::string mixed;
    ASSERT_EQ(Fade(1500, 1025, 3, 24, 1, &mixed), XF_OK);
    for (auto [frame, value] : {std::pair{699, 8388606}, {706, 8388607}, {708, 8388607}, {720, 8388606}})
        EXPECT_EQ(Sample_In(mixed, frame, 0, 24, 1), value) << frame;
    // Equal-power full scale reaches about 1.41 x full scale half-way: saturated, never wrapped.
    for (auto [bits, value] : {std::pair{16, 32767.0}, {16, -32768.0}, {24, 8388607.0}, {24, -8388608.0},
                               {32, 2147483647.0}, {32, -2147483648.0}}) {
        Take_Of("p.wav", bits, 2, 400, [value = value](int, int) { return value; });
        Take_Of("n.wav", bits, 2, 400, [value = value](int, int) { return value; });
        ASSERT_EQ(Fade(200, 300, 1, bits, 2, &mixed), XF_OK);
        for (int j = 0; j < 300; j++)
            for (int c = 0; c < 2; c++)
                ASSERT_GT(Sample_In(mixed, j, c, bits, 2) * value, 0) << bits << " bits, frame " << j;
        EXPECT_EQ(Sample_In(mixed, 150, 1, bits, 2), value) << bits;
    }
}

TEST_F(Crossfade, FailuresNameTheFileAtFaultAndAppendNothing)
{
    auto one = [](int, int) { return 1; };
    Take_Of("p.wav", 24, 2, 1000, one);
    Take_Of("short.wav", 24, 2, 500, one);  // other formats are refused before a byte is read
    struct Case { int32_t at, length, type, bits; const char *previous, *next; int32_t status; };
    for (const Case& c : std::vector<Case>{
             {4, 10, 1, 24, "p.wav", "p.wav", XF_PREVIOUS},     // starts before the audio
             {1006, 10, 1, 24, "p.wav", "p.wav", XF_PREVIOUS},  // starts past the end of the file
             {600, 10, 1, 24, "p.wav", "short.wav", XF_NEXT},
             {300, 10, 1, 8, "p.wav", "p.wav", XF_FORMAT},
             {300, 10, 1, 64, "p.wav", "p.wav", XF_FORMAT},
             {500, 10, 5, 24, "p.wav", "p.wav", XF_FORMAT},
             {5, 10, 1, 24, "p.wav", "p.wav", XF_OK},     // starts on the first frame
             {1005, 10, 1, 24, "p.wav", "p.wav", XF_OK},  // starts on the end: silence
             {500, -7, 1, 24, "p.wav", "p.wav", XF_OK}}) {
        std::string mixed;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Fade(c.at, c.length, c.type, c.bits, 2, &mixed, c.previous, c.next), c.status) << c.at << c.previous;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the caller says what failed
        EXPECT_EQ(mixed.size(), 44u + (c.status == XF_OK && c.length > 0 ? c.length * 6 : 0));
    }
}

// The encoders the demo writes its takes with: two's complement, little-endian, at every
// boundary of the digits (zero and -1 included), and read back as the mixer reads them.
TEST(Codec, EncodersWriteTwosComplementThatTheDecoderReadsBack)
{
    for (int32_t bytes : {2, 3}) {
        int32_t top = bytes == 2 ? 32767 : 8388607;
        std::vector<int32_t> values{0, 1, -1, 127, 128, -128, -129, 255, 256, -256, -257, top, -top - 1};
        if (bytes == 3)
            values.insert(values.end(), {65535, 65536, -65536, -65537});
        std::vector<int32_t> encoded(values);  // the encoders change what they are given
        std::vector<uint8_t> out(values.size() * bytes);
        (bytes == 2 ? NUM16MONO_TO_CHAR : NUM24MONO_TO_CHAR)(encoded.data(), out.data(), (int32_t)values.size());
        std::vector<int32_t> decoded(values.size());
        CHAR_TO_NUM32(out.data(), decoded.data(), bytes, (int32_t)values.size());
        for (size_t i = 0; i < values.size(); i++) {
            for (int32_t k = 0; k < bytes; k++)
                EXPECT_EQ(out[i * bytes + k], (uint8_t)((uint32_t)values[i] >> (8 * k))) << values[i] << " byte " << k;
            EXPECT_EQ(decoded[i], values[i] * (bytes == 2 ? 256 : 1)) << values[i];
        }
    }
}
