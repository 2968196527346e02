// WAV layer: the canonical header, probing takes laid out in other ways, frame copies
// and silence at frame positions, and refusals of files that cannot be used.
#include <sys/resource.h>

#include <csignal>

#include "helpers.h"
#include "wav/wav.h"

namespace {

struct Probe {
    int32_t channels, offset, rate, frames, bytes, bits;
};

Probe Probe_Of(const std::string& path)
{
    int32_t a[6][3] = {};
    GET_ATTRIBUTES(2, path.c_str(), a[0], a[1], a[2], a[3], a[4], a[5]);
    return {a[0][2], a[1][2], a[2][2], a[3][2], a[4][2], a[5][2]};
}

std::string Fmt(uint32_t code, int channels, int bits, const std::string& more = "")
{
    int bytes = bits / 8;
    std::string body = Le16(code) + Le16(channels) + Le32(44100) + Le32(44100 * bytes * channels) +
                       Le16(bytes * channels) + Le16(bits) + more;
    return "fmt " + Le32(body.size()) + body;
}

// A take with the given chunks after "WAVE" and `frames` 24-bit stereo frames.
std::string Wav(const std::string& chunks_before_data, uint32_t size_field, int frames, int frame_size = 6)
{
    std::string body = "WAVE" + chunks_before_data + "data" + Le32(size_field) + std::string(frames * frame_size, '\x11');
    return "RIFF" + Le32(body.size()) + body;
}

// A file-size limit of 20000 bytes stands in for a full disk.
void Pad_Past_Size_Limit(const char* path)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &limit);
    PAD_FILE(path, 0, 2, 1, 100000);
}

const std::string PCM_GUID = std::string("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);

}  // namespace

using Wav_Layer = InFolder;

TEST_F(Wav_Layer, HeaderMatchesTheWorkedExampleAndProbesBack)
{
    MAKE_HEADER("h.wav", 44100, 24, 1000, 2);
    const unsigned char expect[44] = {0x52, 0x49, 0x46, 0x46, 0x94, 0x17, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45,
                                      0x66, 0x6D, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,
                                      0x44, 0xAC, 0x00, 0x00, 0x98, 0x09, 0x04, 0x00, 0x06, 0x00, 0x18, 0x00,
                                      0x64, 0x61, 0x74, 0x61, 0x70, 0x17, 0x00, 0x00};
    EXPECT_EQ(Slurp("h.wav"), std::string((const char*)expect, 44));
    Probe p = Probe_Of("h.wav");  // no frame written yet
    EXPECT_EQ(p.offset, 44);
    EXPECT_EQ(p.frames, 0);
    MAKE_HEADER("m.wav", 48000, 16, 10, 1);
    std::string m = Slurp("m.wav");
    EXPECT_EQ(m.substr(28, 6), Le32(96000) + Le16(2));
}

TEST_F(Wav_Layer, ProbeReadsTakesLaidOutInOtherWays)
{
    struct Case { std::string name, bytes; int32_t offset, frames, channels, bits; };
    std::string list = "LIST" + Le32(10) + "INFOabcdef";
    const Case cases[] = {
        {"canonical", Wav(Fmt(1, 2, 24), 60, 10), 44, 10, 2, 24},
        {"chunk before data", Wav(Fmt(1, 2, 24) + list, 60, 10), 62, 10, 2, 24},
        {"18-byte format", Wav(Fmt(1, 2, 24, Le16(0)), 60, 10), 46, 10, 2, 24},
        {"extensible", Wav(Fmt(0xFFFE, 2, 24, Le16(22) + Le16(24) + Le32(3) + PCM_GUID), 60, 10), 68, 10, 2, 24},
        {"size field short of the file", Wav(Fmt(1, 2, 24), 30, 10), 44, 5, 2, 24},
        {"size field past the file, partial frame", Wav(Fmt(1, 2, 24), 600, 10) + "xy", 44, 10, 2, 24},
        {"size field of 4294967295", Wav(Fmt(1, 2, 24), 0xFFFFFFFF, 10), 44, 10, 2, 24},
        {"fmt with any fourth character", "RIFF" + Le32(0) + "WAVEfmtX" + Fmt(1, 1, 16).substr(4) + "data" + Le32(4) + "abcd", 44, 2, 1, 16},
        // The first even "data" wins, even inside an earlier chunk.
        {"data text inside an earlier chunk", Wav(Fmt(1, 2, 24) + "JUNK" + Le32(8) + "xxdatazz", 60, 10), 54, 11, 2, 24},
        {"32-bit, 4 channels", Wav(Fmt(1, 4, 32), 160, 10, 16), 44, 10, 4, 32},
    };
    for (const Case& c : cases) {
        Spit("t.wav", c.bytes);
        Probe p = Probe_Of("t.wav");
        EXPECT_EQ(p.offset, c.offset) << c.name;
        EXPECT_EQ(p.frames, c.frames) << c.name;
        EXPECT_EQ(p.channels, c.channels) << c.name;
        EXPECT_EQ(p.bits, c.bits) << c.name;
        EXPECT_EQ(p.bytes, c.bits / 8) << c.name;
        EXPECT_EQ(p.rate, 44100) << c.name;
    }
}

TEST_F(Wav_Layer, ProbeRefusesTakesItCannotCutExactly)
{
    EXPECT_FAILS(Probe_Of("absent.wav"), ">> Cannot find file called absent.wav, exiting\n");
    const std::pair<std::string, std::string> cases[] = {
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(15000) + std::string(15000, 'j'), 60, 10), "Can't find data block in wave file, exiting"},
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(1) + "j", 60, 10), "Can't find data block in wave file, exiting"},  // odd offset
        {Wav(Fmt(3, 2, 32), 60, 10), "is not integer PCM \\(format code 0x0003\\)"},
        {Wav(Fmt(0xFFFE, 2, 32, Le16(22) + Le16(32) + Le32(3) + "\x03" + PCM_GUID.substr(1)), 60, 10), "is not integer PCM"},
        {Wav(Fmt(1, 1, 8), 60, 10), "has 8 bits per sample"},
        {Wav(Fmt(1, 0, 16), 60, 10), "declares 0 channels"},
        {"RIFF" + Le32(4) + "WAVE" + "data" + Le32(0), "Can't find format chunk in wave file!\n>> Take t.wav is not integer PCM"},
    };
    for (const auto& c : cases) {
        Spit("t.wav", c.first);
        EXPECT_FAILS(Probe_Of("t.wav"), c.second) << c.second;
    }
}

TEST_F(Wav_Layer, CopiesAndPadsLandAtTheirFramePositions)
{
    // A source whose data starts at 62, not 44; 24-bit stereo.
    Write_Take("src.wav", 1, 44100, 24, 2, 3000, "LIST" + Le32(10) + "INFOabcdef");
    MAKE_HEADER("out.wav", 44100, 24, 5000, 2);
    PAD_FILE("out.wav", 0, 3, 2, 100);
    EXPECT_EQ(Slurp("out.wav").size(), 644u);
    EXPECT_EQ(Slurp("out.wav").substr(44), std::string(600, '\0'));
    PAD_FILE("out.wav", 100, 3, 2, 0);
    EXPECT_EQ(Slurp("out.wav").size(), 644u);

    INSERT_FILE("out.wav", "src.wav", 100, 3, 2, 3000, 0);  // blocks of 1024, 1024 and 952, appended
    INSERT_FILE("out.wav", "src.wav", 3100, 3, 2, 1025, 2500);  // runs 525 frames past the source's end
    std::string out = Slurp("out.wav");
    ASSERT_EQ(out.size(), 44u + 4125 * 6);
    for (int64_t f = 0; f < 4125; f++)
        for (int c = 0; c < 2; c++) {
            int64_t from = f < 100 ? -1 : f < 3100 ? f - 100 : f - 600;
            int32_t want = from < 0 || from >= 3000 ? 0 : Sample(1, from, c, 24);
            ASSERT_EQ(Sample_In(out, f, c, 24, 2), want) << f;
        }
    PAD_FILE("out.wav", 1024, 3, 2, 1025);
    out = Slurp("out.wav");
    EXPECT_EQ(out.substr(44 + 1024 * 6, 1025 * 6), std::string(1025 * 6, '\0'));
    EXPECT_EQ(Sample_In(out, 1023, 1, 24, 2), Sample(1, 923, 1, 24));
    EXPECT_EQ(Sample_In(out, 2049, 0, 24, 2), Sample(1, 1949, 0, 24));
}

TEST_F(Wav_Layer, CopyAndPadRefuseMissingFilesAndFailedWrites)
{
    MAKE_HEADER("out.wav", 44100, 16, 10, 1);
    EXPECT_FAILS(INSERT_FILE("out.wav", "gone.wav", 0, 2, 1, 10, 0), ">> Cannot open gone.wav");
    EXPECT_FAILS(PAD_FILE("gone.wav", 0, 2, 1, 10), ">> Cannot open gone.wav");
    Spit("nodata.wav", "RIFF....WAVE");
    EXPECT_FAILS(PAD_FILE("nodata.wav", 0, 2, 1, 10), "^Can't find data block in wave file!\n");
    EXPECT_FAILS(INSERT_FILE("out.wav", "nodata.wav", 0, 2, 1, 10, 0), ">> Can't find data block in wave file, exiting\n");
    EXPECT_FAILS(Pad_Past_Size_Limit("out.wav"), ">> Cannot (write|finish writing) out.wav");
}
