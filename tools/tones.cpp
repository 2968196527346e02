// tavlin_tones: makes a small demo job in a folder: three tracks recorded in three
// takes, each take playing its own chord so that every edit and fade can be heard.
// Usage: tavlin_tones FOLDER   (the folder must exist; its job files are replaced)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "fail.h"
#include "wav/wav.h"

namespace {

constexpr int32_t RATE = 44100;
constexpr int32_t SECONDS = 13;

struct Track {
    const char* base;
    int32_t bits;
    int32_t channels;
    double root_hz;
};

const Track TRACKS[] = {{"keys", 24, 2, 261.63}, {"bass", 24, 1, 65.41}, {"pad", 16, 2, 523.25}};
const double TAKE_INTERVAL[] = {1.0, 1.3348, 1.4983};  // root, fourth, fifth: each take its own chord

void Write_File(const std::string& path, const char* text)
{
    Stream out = Stream_Create(path.c_str());
    Stream_Write_At(&out, 0, (const uint8_t*)text, (int64_t)strlen(text));
    Stream_Close_Written(&out);
}

// One take: a major triad on the take's root, pulsing twice a second, the right
// channel a little detuned so that stereo takes sound wide.
void Write_Take(const std::string& path, const Track& track, int take)
{
    int32_t frames = RATE * SECONDS;
    Wav_Format format{RATE, track.bits, track.bits / 8, track.channels, 0, track.bits, 0};
    Stream out = Stream_Create(path.c_str());
    int64_t at = WRITE_HEADER(&out, &format, frames, nullptr, nullptr, 0);
    int32_t samples[BLOCK_FRAMES * 2];  // interleaved, a sample per channel of each frame
    uint8_t bytes[BLOCK_FRAMES * 6];
    double root = track.root_hz * TAKE_INTERVAL[take];
    double full_scale = track.bits == 16 ? 32767.0 : 8388607.0;
    for (int32_t done = 0; done < frames; done += BLOCK_FRAMES) {
        int32_t n = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
        for (int32_t k = 0; k < n; k++) {
            double s = (done + k) / (double)RATE;
            double pulse = 0.6 + 0.4 * cos(2 * M_PI * 2 * s);
            for (int c = 0; c < track.channels; c++) {
                double f = root * (1 + 0.002 * c);
                double side = (sin(2 * M_PI * f * s) + sin(2 * M_PI * f * 1.26 * s) + sin(2 * M_PI * f * 1.5 * s)) / 3;
                samples[k * track.channels + c] = (int32_t)(0.5 * pulse * side * full_scale);
            }
        }
        // The encoders read interleaved samples as one stream.
        if (track.bits == 16)
            NUM16MONO_TO_CHAR(samples, bytes, n * track.channels);
        else
            NUM24MONO_TO_CHAR(samples, bytes, n * track.channels);
        int64_t block_bytes = (int64_t)n * track.channels * track.bits / 8;
        Stream_Write_At(&out, at, bytes, block_bytes);
        at += block_bytes;
    }
    Stream_Close_Written(&out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        FAIL(">> Usage: tavlin_tones FOLDER\n");
    std::string dir = std::string(argv[1]) + "/";
    std::string bases;
    for (const Track& track : TRACKS) {
        bases += std::string(track.base) + "\n";
        for (int take = 0; take < 3; take++)
            Write_Take(dir + track.base + "_take" + std::to_string(take + 1) + ".wav", track, take);
    }
    Write_File(dir + "base.txt", bases.c_str());
    // Half a second of lead-in silence, then a new take every three seconds.
    Write_File(dir + "points.txt", "0.5\t_take1\n3.5\t_take2\n6.5\t_take3\n9.5\t_take1\n12.5\t_take1\n");
    // 50 ms equal-power fades everywhere; the bass gets slow linear ones.
    Write_File(dir + "tavlinrc.txt", "xf_all\t50\t1\nxf_tr\t2\t300\t2\n");
    printf("Demo job written to %s\n", argv[1]);
    return 0;
}
