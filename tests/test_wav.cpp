// WAV layer: takes laid out in other ways, refusals of files the tool cannot use, and the
// headers of every output format as sox and ffprobe read them.
#include <sys/stat.h>

#include "helpers.h"

namespace {

std::vector<int64_t> Probe(const std::string& path)  // channels, offset, rate, frames, bytes, bits, float
{
    Take_Info takes[3] = {};
    GET_ATTRIBUTES(2, path.c_str(), takes);
    const Take_Info& t = takes[2];
    return {t.format.channels, t.data_offset, t.format.sample_rate, t.frames, t.format.bytes_per_sample,
            t.format.bits_per_sample, t.format.is_float};
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

// An RF64 take of 24-bit stereo, 60 bytes of data, whose ds64 declares `data_size` (8 bytes).
std::string Rf64(const std::string& data_size)
{
    std::string ds64 = "ds64" + Le32(28) + Le32(0) + Le32(0) + data_size + Le32(0) + Le32(0) + Le32(0);
    return "RF64" + Le32(0xFFFFFFFF) + "WAVE" + ds64 + Fmt(1, 2, 24) + "data" + Le32(0xFFFFFFFF) + std::string(60, '\x11');
}

const std::string PCM_GUID("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);

}  // namespace

using Wav_Layer = InFolder;

TEST_F(Wav_Layer, ProbeWalksTheChunkListOfTakesLaidOutInOtherWays)
{
    const std::pair<std::string, std::vector<int64_t>> cases[] = {
        {Wav(Fmt(1, 2, 24) + "LIST" + Le32(10) + "INFOabcdef"), {2, 62, 44100, 10, 3, 24, 0}},
        {Wav(Fmt(1, 2, 24, Le16(0))), {2, 46, 44100, 10, 3, 24, 0}},  // 18-byte format chunk
        {Wav(Fmt(0xFFFE, 1, 16, Le16(22) + Le16(16) + Le32(4) + PCM_GUID)), {1, 68, 44100, 30, 2, 16, 0}},
        {Wav(Fmt(1, 2, 24), 30), {2, 44, 44100, 5, 3, 24, 0}},  // size field short of the file
        {Wav(Fmt(1, 2, 24), 66), {2, 44, 44100, 10, 3, 24, 0}},  // one frame past its end
        {Wav(Fmt(1, 2, 24), 0xFFFFFFFF) + "xy", {2, 44, 44100, 10, 3, 24, 0}},  // far past it; a partial frame
        {Wav("fmtX" + Fmt(1, 4, 32).substr(4)), {4, 44, 44100, 3, 4, 32, 0}},  // any fourth tag character
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(8) + "xxdatazz"), {2, 60, 44100, 10, 3, 24, 0}},  // a tag in a chunk
        {Wav("bext" + Le32(9) + "fmt data!" + std::string(1, '\0') + Fmt(1, 1, 16)), {1, 62, 44100, 30, 2, 16, 0}},  // odd size, pad byte
        {Wav(Fmt(1, 2, 24)) + "data" + Le32(0), {2, 44, 44100, 10, 3, 24, 0}},  // the first data chunk is the audio
        {Wav(Fmt(3, 2, 32)), {2, 44, 44100, 7, 4, 32, 1}},
        {Wav(Fmt(0xFFFE, 2, 64, Le16(22) + Le16(64) + Le32(3) + "\x03" + PCM_GUID.substr(1))), {2, 68, 44100, 3, 8, 64, 1}},
        // RF64: the data size comes from ds64; a chunk follows the audio.
        {Rf64(Le32(60) + Le32(0)) + "LIST" + Le32(4) + "INFO", {2, 80, 44100, 10, 3, 24, 0}},
        // A size past the end before "data": tags are searched for, this one across a 4096-byte edge.
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(999999) + std::string(4050, 'j')), {2, 4102, 44100, 10, 3, 24, 0}},
        // RF64 whose ds64 size is short of the file, never written (0), or past it.
        {Rf64(Le32(30) + Le32(0)), {2, 80, 44100, 5, 3, 24, 0}},
        {Rf64(Le32(0) + Le32(0)), {2, 80, 44100, 10, 3, 24, 0}},
        {Rf64(Le32(0) + Le32(0x80000000u)), {2, 80, 44100, 10, 3, 24, 0}},
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
        {Wav(Fmt(1, 2, 24) + "JUNK" + Le32(1) + "j"), "^>> Can't find data block in wave file, exiting\n>> in take t.wav"},  // odd offset
        {"data" + Le32(60) + "WAVE" + Fmt(1, 2, 24), "^>> Can't find data block in wave file, exiting\n"},  // at byte 0
        // A whole chunk list without a data chunk: the tag's text in a comment is no audio.
        {"RIFF" + Le32(60) + "WAVE" + Fmt(1, 2, 24) + "LIST" + Le32(12) + "INFOxxdata" + Le16(60),
         ">> in take t.wav, whose chunks hold no data chunk"},
        {Wav(Fmt(6, 2, 8)), ">> Take t.wav holds A-law, which the tool cannot cut, exiting\n>> Convert it .*sox in.wav -b 24 out.wav"},
        {Wav(Fmt(1, 1, 8)), "holds 8-bit audio"},
        {Wav(Fmt(3, 1, 16)), "has 16-bit float samples"},
        {Wav(Fmt(1, 0, 16)), "declares 0 channels"},
        {Wav(Fmt(1, 2, 24).replace(20, 2, Le16(4))), "has frames of 4 bytes where 2 channels of 24 bits need 6"},
        {"riff" + std::string("\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\x00\x00", 12) + std::string(60, 0), "holds a Wave64 file"},
        {Wav(""), "^>> Can't find format chunk in wave file!\n>> in take t.wav\n>> Take t.wav holds compressed"},
    };
    for (const auto& c : cases) {
        Spit("t.wav", c.first);
        EXPECT_FAILS(Probe("t.wav"), c.second) << c.second;
    }
    // An RF64 take of 2^31 frames: more than a frame number can address.
    Write_Take("t.wav", 1, 44100, 16, 1, 1LL << 31, {"", "", {}, true});  // sparse: costs no disk
    EXPECT_FAILS(Probe("t.wav"), ">> Take t.wav holds 2147483648 frames; the tool addresses at most 2147483647");
    ASSERT_EQ(mkfifo("fifo.wav", 0644), 0);  // refused without waiting for a writer
    EXPECT_FAILS(Probe("fifo.wav"), ">> Take fifo.wav is not a regular file");
}

TEST_F(Wav_Layer, HeadersMatchTheWorkedExampleAndAreReadBySoxAndFfprobe)
{
    MAKE_HEADER("h.wav", 44100, 24, 1000, 2);
    EXPECT_EQ(Slurp("h.wav"), "RIFF" + Le32(6036) + "WAVEfmt " + Le32(16) + Le16(1) + Le16(2) + Le32(44100) +
                                  Le32(264600) + Le16(6) + Le16(24) + "data" + Le32(6000));
    // The largest data area a canonical header declares; one byte more is RF64.
    Wav_Format bytes{8000, 8, 1, 1, 0, 8, 0};
    EXPECT_EQ(HEADER_SIZE(&bytes, 2147483611, nullptr, 0), 44);
    EXPECT_EQ(HEADER_SIZE(&bytes, 2147483612, nullptr, 0), 80);
    struct Case { Wav_Format format; int32_t frames; std::string codec; int64_t header; };
    for (const Case& c : std::vector<Case>{
             {{48000, 24, 3, 2, 0, 24, 0}, 4800, "pcm_s24le", 44},
             {{48000, 32, 4, 1, 1, 32, 0}, 4800, "pcm_f32le", 58},
             {{48000, 64, 8, 2, 1, 64, 0}, 4800, "pcm_f64le", 58},
             {{48000, 24, 3, 8, 0, 24, 0x63F}, 4800, "pcm_s24le", 68},
             {{44100, 32, 4, 6, 1, 32, 0}, 4410, "pcm_f32le", 58},
             {{44100, 32, 4, 6, 1, 32, 0x3F}, 4410, "pcm_f32le", 80}}) {
        Stream out = Stream_Create("o.wav");
        ASSERT_EQ(WRITE_HEADER(&out, &c.format, c.frames, nullptr, nullptr, 0), c.header);
        ASSERT_EQ(HEADER_SIZE(&c.format, c.frames, nullptr, 0), c.header);
        Stream_Close_Written(&out);
        ASSERT_EQ(truncate("o.wav", c.header + (int64_t)c.frames * c.format.bytes_per_sample * c.format.channels), 0);
        Ran sox = Shell("sox o.wav -n stat");
        // sox warns on every extensible float header, its own quirk (ffmpeg's get it too).
        EXPECT_TRUE(sox.status == 0 && (c.header == 80 || sox.output.find("WARN") == std::string::npos)) << sox.output;
        Ran probe = Shell("ffprobe -v warning -show_entries stream=codec_name,channels,sample_rate,duration_ts -of csv=p=0 o.wav");
        EXPECT_EQ(probe.output, c.codec + "," + std::to_string(c.format.sample_rate) + "," +
                                    std::to_string(c.format.channels) + "," + std::to_string(c.frames) + "\n");
    }
}

TEST_F(Wav_Layer, AnOutputWhoseSizeFieldSpellsDataIsReadByItsChunkList)
{
    // 1635017024 bytes of audio make a RIFF size of 1635017060: "data" at byte 4.
    MAKE_HEADER("o.wav", 48000, 16, 1635017024 / 4, 2);
    ASSERT_EQ(truncate("o.wav", 44 + 1635017024LL), 0);
    EXPECT_EQ(Slurp("o.wav", 4, 4), "data");
    EXPECT_EQ(Probe("o.wav"), (std::vector<int64_t>{2, 44, 48000, 1635017024 / 4, 2, 16, 0}));
}

TEST_F(Wav_Layer, ASmallReadPastTheEndOfAFileCutShortReadsSilenceAndTouchesNothingElse)
{
    // Through a read-ahead block, where the file (cut short since it was probed) now ends
    // before the block would begin: the bytes asked for are zeros, and no others change.
    Spit("short.wav", std::string(44, 'x'));
    Stream stream = Stream_Try_Read("short.wav");
    ASSERT_GE(stream.fd, 0);
    std::vector<uint8_t> block(READ_AHEAD_BYTES);
    Read_Ahead ahead{block.data(), READ_AHEAD_BYTES, 0, 0, false};
    stream.ahead = &ahead;
    std::vector<uint8_t> around(3 * 480, 0xAA);
    EXPECT_EQ(Stream_Read_At(&stream, 95804, around.data() + 480, 480), 0);
    for (size_t k = 0; k < around.size(); k++)
        ASSERT_EQ(around[k], k >= 480 && k < 960 ? 0 : 0xAA) << "byte " << k;
    Stream_Close_Unwritten(&stream);
}
