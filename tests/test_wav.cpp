// WAV layer: the canonical header, takes laid out in other ways, frame copies and
// silence at frame positions, and refusals of files the tool cannot use.
#include <sys/resource.h>

#include <csignal>

#include "helpers.h"
#include "wav/wav.h"

namespace {

std::vector<int32_t> Probe(const std::string& path)  // channels, offset, rate, frames, bytes, bits
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

// A take with `chunks` after "WAVE", then a data chunk of 60 bytes with `size_field`.
std::string Wav(const std::string& chunks, uint32_t size_field = 60)
{
    std::string body = "WAVE" + chunks + "data" + Le32(size_field) + std::string(60, '\x11');
    return "RIFF" + Le32(body.size()) + body;
}

const std::string PCM_GUID("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);

void Pad_Past_Size_Limit(const char* path)  // a file-size limit stands in for a full disk
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &limit);
    PAD_FILE(path, 0, 2, 1, 100000);
}

}  // namespace

using Wav_Layer = InFolder;

TEST_F(Wav_Layer, HeaderMatchesTheWorkedExample)
{
    MAKE_HEADER("h.wav", 44100, 24, 1000, 2);
    EXPECT_EQ(Slurp("h.wav"), "RIFF" + Le32(6036) + "WAVEfmt " + Le32(16) + Le16(1) + Le16(2) + Le32(44100) +
                                  Le32(264600) + Le16(6) + Le16(24) + "data" + Le32(6000));
    EXPECT_EQ(Probe("h.wav"), (std::vector<int32_t>{2, 44, 44100, 0, 3, 24}));  // no frame written yet
}

TEST_F(Wav_Layer, ProbeReadsTakesLaidOutInOtherWays)
{
    const std::pair<std::string, std::vector<int32_t>> cases[] = {
        {Wav(Fmt(1, 2, 24) + "LIST" + Le32(10) + "INFOabcdef"), {2, 62, 44100, 10, 3, 24}},
        {Wav(Fmt(1, 2, 24, Le16(0))), {2, 46, 44100, 10, 3, 24}},  // 18-byte format chunk
        {Wav(Fmt(0xFFFE, 1, 16, Le16(22) + Le16(16) + Le32(4) + PCM_GUID)), {1, 68, 44100, 30, 2, 16}},
        {Wav(Fmt(1, 2, 24), 30), {2, 44, 44100, 5, 3, 24}},  // size field short of the file
        {Wav(Fmt(1, 2, 24), 0xFFFFFFFF) + "xy", {2, 44, 44100, 10, 3, 24}},  // past it; a partial frame
        {Wav("fmtX" + Fmt(1, 4, 32).substr(4)), {4, 44, 44100, 3, 4, 32}},  // any fourth tag character
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(8) + "xxdatazz"), {2, 54, 44100, 11, 3, 24}},  // first "data" wins
    };
    for (const auto& c : cases) {
        Spit("t.wav", c.first);
        EXPECT_EQ(Probe("t.wav"), c.second) << c.first.substr(12, 40);
    }
}

TEST_F(Wav_Layer, ProbeRefusesTakesItCannotCutExactly)
{
    EXPECT_FAILS(Probe("absent.wav"), ">> Cannot find file called absent.wav, exiting\n");
    const std::pair<std::string, std::string> cases[] = {
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(15000) + std::string(15000, 'j')), "^>> Can't find data block in wave file, exiting\n"},
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(1) + "j"), "^>> Can't find data block in wave file, exiting\n"},  // odd offset
        {"data" + Le32(60) + "WAVE" + Fmt(1, 2, 24), "^>> Can't find data block in wave file, exiting\n"},  // at byte 0
        {Wav(Fmt(3, 2, 32)), ">> Take t.wav is not integer PCM \\(format code 0x0003\\)"},
        {Wav(Fmt(0xFFFE, 2, 32, Le16(22) + Le16(32) + Le32(3) + "\x03" + PCM_GUID.substr(1))), "is not integer PCM"},
        {Wav(Fmt(1, 1, 8)), "has 8 bits per sample"},
        {Wav(Fmt(1, 0, 16)), "declares 0 channels"},
        {Wav(""), "^>> Can't find format chunk in wave file!\n>> Take t.wav is not integer PCM"},
    };
    for (const auto& c : cases) {
        Spit("t.wav", c.first);
        EXPECT_FAILS(Probe("t.wav"), c.second) << c.second;
    }
    Spit("big.wav", Wav(Fmt(1, 2, 24), 0xFFFFFFF0));
    ASSERT_EQ(truncate("big.wav", 3LL << 30), 0);  // sparse: costs no disk
    EXPECT_FAILS(Probe("big.wav"), ">> Take big.wav holds more than 2 GiB of audio");
}

TEST_F(Wav_Layer, CopiesAndPadsLandAtTheirFramePositions)
{
    Write_Take("src.wav", 1, 44100, 24, 2, 3000, "LIST" + Le32(10) + "INFOabcdef");  // data at byte 62
    MAKE_HEADER("out.wav", 44100, 24, 5000, 2);
    PAD_FILE("out.wav", 0, 3, 2, 100);
    PAD_FILE("out.wav", 100, 3, 2, 0);
    EXPECT_EQ(Slurp("out.wav").substr(44), std::string(600, '\0'));
    INSERT_FILE("out.wav", "src.wav", 100, 3, 2, 3000, 0);      // appended, in blocks of 1024, 1024, 952
    INSERT_FILE("out.wav", "src.wav", 3100, 3, 2, 1025, 2500);  // 525 frames past the source's end
    PAD_FILE("out.wav", 1024, 3, 2, 1025);
    std::string out = Slurp("out.wav");
    ASSERT_EQ(out.size(), 44u + 4125 * 6);
    for (int64_t f = 0; f < 4125; f++) {
        int64_t from = f < 100 || (f >= 1024 && f < 2049) ? -1 : f < 3100 ? f - 100 : f - 600;
        for (int c = 0; c < 2; c++)
            ASSERT_EQ(Sample_In(out, f, c, 24, 2), from < 0 || from >= 3000 ? 0 : Sample(1, from, c, 24)) << f;
    }
}

TEST_F(Wav_Layer, CopyAndPadRefuseMissingFilesAndFailedWrites)
{
    MAKE_HEADER("out.wav", 44100, 16, 10, 1);
    Spit("nodata.wav", "RIFF....WAVE");
    EXPECT_FAILS(INSERT_FILE("out.wav", "gone.wav", 0, 2, 1, 10, 0), ">> Cannot open gone.wav");
    EXPECT_FAILS(PAD_FILE("gone.wav", 0, 2, 1, 10), ">> Cannot open gone.wav");
    EXPECT_FAILS(PAD_FILE("nodata.wav", 0, 2, 1, 10), "^Can't find data block in wave file!\n");
    EXPECT_FAILS(INSERT_FILE("out.wav", "nodata.wav", 0, 2, 1, 10, 0), "^>> Can't find data block in wave file, exiting\n");
    EXPECT_FAILS(Pad_Past_Size_Limit("out.wav"), ">> Cannot (write|finish writing) out.wav");
}
