// The tool run as a user runs it: whole builds checked frame by frame, other writers' takes
// and other readers of the outputs, a take that changes mid-build. Refusals: see test_cli.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>

#include "helpers.h"

namespace {

void Expect_Sox_Reads(const std::string& path)
{
    Ran r = Shell("sox '" + path + "' -n stat");
    EXPECT_TRUE(r.status == 0 && r.output.find("WARN") == std::string::npos) << r.output;
}

void Job(const std::string& bases, const std::string& points, const std::string& rc)
{
    Spit("base.txt", bases), Spit("points.txt", points), Spit("tavlinrc.txt", rc);
}

// Output frames [from, to) must be those of `take` (0: silence), or (mixed) all differ from them.
void Expect_Frames(const std::string& out, int64_t from, int64_t to, int take, int bits, int channels, bool mixed = false)
{
    for (int64_t f = from; f < to; f++)
        for (int c = 0; c < channels; c++)
            ASSERT_EQ(Sample_In(out, f, c, bits, channels) == (take ? Sample(take, f, c, bits) : 0), !mixed)
                << f << " " << take;
}

}  // namespace

using Tool = InFolder;

TEST_F(Tool, OneJobOfSeveralTracksBuildsFrameExact)
{
    // Edits at 0.5, 1, 2 and 3.001 s (the last segment empty). dr and bs fade linearly over 441
    // frames but for dr's own type 0; bs's take B ends before its fade out, which fails; s fades
    // over 2560 frames, more than its last segment holds; a's fades would start before it does.
    Job("dr\nbs\ns\na\n", "0.5\tA\n1\tB\n2\tA\n3.001\tC\n3.001\tC\n",
        "xf_all\t44.15\t2\nxf_tr\t1\t300\t0\nxf_tr\t3\t2500\t2\nxf_tr\t4\t5000\t2\n");
    struct Track { std::string base; int rate, bits, channels, a, b, c; };  // takes' frames
    const Track tracks[] = {{"dr", 10000, 24, 1, 25000, 32000, 30010}, {"bs", 10000, 24, 2, 35000, 15000, 30010},
                            {"s", 1024, 16, 2, 3074, 2100, 3073}, {"a", 8000, 16, 1, 28000, 12000, 24008}};
    int id = 1;  // takes A, B, C of track k hold Sample() of takes 3k + 1, 3k + 2, 3k + 3
    for (const Track& t : tracks)
        for (auto [suffix, frames] : {std::pair{"A", t.a}, {"B", t.b}, {"C", t.c}})
            Write_Take(t.base + suffix + ".wav", id++, t.rate, t.bits, t.channels, frames);
    // a's take B holds half a frame more, then a chunk: a tail pad must cover both. A
    // chunk follows s's take B too, which ends inside its crossfade.
    Spit("aB.wav", Slurp("aB.wav").replace(40, 4, Le32(24001)) + std::string("\x55\0", 2) + "LIST" + Le32(4) + "INFO");
    Spit("sB.wav", Slurp("sB.wav") + "LIST" + Le32(600) + std::string(600, '\x7F'));
    Ran dry = Run_Tool("-n");
    // The dry run names the crossfade that will fail, which mixes no frame, as the build does.
    const std::string bs_fails = ">> Track 2 (bs), edit 3: no crossfade from bsB.wav into bsA.wav (bsB.wav at fault); "
                                 "the takes meet in a hard cut\n"
                                 ">> The previous take ended 0:00:00.478 before the crossfade\n";
    const std::vector<std::string> rows = {
        "Track 1: dr_bld.wav, 10000 Hz, 24 bits, 1 channel, 30010 frames\n",
        "3\t0:00:02.000\t0:00:03.001\tdrA.wav\t20000\t10010\t5010\t441\n",
        "3\t0:00:02.000\t0:00:03.001\tbsA.wav\t20000\t10010\t0\t0\n"
        "4\t0:00:03.001\t0:00:03.001\tbsC.wav\t30010\t0\t0\t0\n" + bs_fails,
        "Track 3: s_bld.wav, 1024 Hz, 16 bits, 2 channels, 3073 frames\n",
        "2\t0:00:01.000\t0:00:02.000\tsB.wav\t1024\t1024\t0\t0\n"
        "3\t0:00:02.000\t0:00:03.001\tsA.wav\t2048\t1025\t0\t2305\n"};
    for (const std::string& row : rows)
        EXPECT_NE(dry.output.find(row), std::string::npos) << row << dry.output;
    // With standard error on a terminal the progress shows there, erased at the end, never on standard output.
    Ran r = Shell("script -qec '" + std::string(TAVLIN2A) + " >out.txt' /dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    std::string said = Slurp("out.txt"), erase = "\0337\033D\r\033[K\0338";
    EXPECT_TRUE(r.output.find("Track 1 of 4 dr: ") != std::string::npos && r.output.rfind(erase) == r.output.size() - erase.size());
    EXPECT_NE(said.find("Building to bs_bld.wav\nedits: 1 2 3 Invalid crossfade for destination file\n"
                        "Crossfade failed.\n" + bs_fails + "4 5 \n"), std::string::npos) << said;
    EXPECT_EQ(said.find('\033'), std::string::npos);
    // Per track its length in frames and ranges of frames: take, or 0 for silence; or mixed.
    struct Range { int64_t from, to; int take; bool mixed = false; };
    for (auto [t, frames, ranges] : std::vector<std::tuple<int, int64_t, std::vector<Range>>>{
             {0, 30010, {{0, 5000, 0}, {5000, 9781, 1}, {9781, 10221, 1, true}, {10221, 19781, 2}, {19781, 20221, 2, true},
                         {20221, 25000, 1}, {25000, 30010, 0}}},
             {1, 30010, {{10221, 15000, 5}, {15000, 20000, 0}, {20000, 30010, 4}}},
             {2, 3073, {{512, 768, 7}, {768, 769, 8}}},  // the fade spans [768, 3328)
             {3, 24008, {{0, 4000, 0}, {4000, 8000, 10}, {8000, 12000, 11}, {12000, 16000, 0}, {16000, 24008, 10}}}}) {
        const Track& track = tracks[t];
        std::string out = Slurp(track.base + "_bld.wav");
        ASSERT_EQ(out.size(), 44u + frames * track.channels * track.bits / 8) << track.base;
        for (const Range& g : ranges)
            Expect_Frames(out, g.from, g.to, g.take, track.bits, track.channels, g.mixed);
    }
    // Past the end of s's take B the fade holds take A alone, scaled by its gain.
    std::string s_out = Slurp("s_bld.wav");
    for (int64_t f = 2100; f < 3073; f++) {
        double g_p = 1.0 - (double)(f - 768) / 2560.0, g_n = 1.0 - g_p;
        for (int c = 0; c < 2; c++)
            ASSERT_EQ(Sample_In(s_out, f, c, 16, 2), (int32_t)((Sample(7, f, c, 16) * 256.0 * g_n + 0.0) * 0.00390625)) << f;
    }
    EXPECT_EQ(Slurp("xfade_temp.wav").size(), 44u);  // header only, left by a's hard cuts
    Spit("base.txt", "dr\nbs\n");  // removed when the last crossfade tried failed, as bs's does
    ASSERT_EQ(Run_Tool("-q").status, 0);
    EXPECT_FALSE(fs::exists("xfade_temp.wav"));
    Expect_Sox_Reads("s_bld.wav");

    // More takes than a track keeps open: the take fading in at the last edit is closed to open
    // the one fading out (whose segment is empty).
    std::string points;
    for (int k = 0; k <= 8; k++) {  // the first at -0.1 s, which counts as 0
        points += (k ? "0." + std::to_string(k) : "-0.1") + "\t" + std::to_string(k) + "\n";
        Write_Take("c" + std::to_string(k) + ".wav", 20 + k, 8000, 16, 1, 8000);
    }
    Job("c\n", points + "0.8\t0\n0.9\t0\n", "xf_all\t10\t2\n");
    r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    std::string c = Slurp("c_bld.wav");
    for (int k = 0; k < 8; k++)
        Expect_Frames(c, 800 * k + 50, 800 * k + 750, 20 + k, 16, 1);
    Expect_Frames(c, 6450, 7150, 20, 16, 1);
    EXPECT_FALSE(fs::exists("xfade_temp.wav"));  // removed after the crossfade at the last edit
}

TEST_F(Tool, TakesFromOtherWritersBuildFrameExactAndOtherReadersReadTheOutput)
{
    // Takes by ffmpeg and sox, with metadata and in every format, cut at `cut` s hard or with a 50 ms
    // crossfade: away from the fade, the takes' frames as sox reads them; sox and ffprobe read it whole.
    auto ff = [](const std::string& options, int seconds = 3) {
        auto make = [&](const char* hz, const char* name) {
            return "ffmpeg -v error -y -f lavfi -i sine=f=" + std::string(hz) + ":d=" + std::to_string(seconds) +
                   " -ar 48000 " + options + " " + name;
        };
        return make("440", "kA.wav") + " && " + make("880", "kB.wav");
    };
    auto sox = [](const std::string& options) {
        return "sox -n -r 8000 " + options + " kA.wav synth 2 sine 440 vol 0.5 && sox -n -r 8000 " + options +
               " kB.wav synth 2 sine 660 vol 0.5";
    };
    auto probe = [](const std::string& wav) {
        return Shell("ffprobe -v warning -show_entries stream=sample_rate,channels,duration_ts -of csv=p=0 " + wav).output;
    };
    struct Row { std::string make; int cut, end; bool fade; };
    for (const Row& row : std::vector<Row>{
             {ff("-ac 2 -c:a pcm_s24le -metadata comment=data"), 1, 3, false},
             {ff("-c:a pcm_s24le -write_bext 1 -metadata 'description=Scene 4 metadata: boom on'"), 2, 3, false},
             {ff("-c:a pcm_s16le -write_bext 1 -metadata 'description=Take with metadata'", 20), 10, 20, false},
             {ff("-c:a pcm_s16le -metadata comment=" + std::string(16000, 'c')), 1, 3, false},
             {sox("-b 16 --comment 'data in a comment'"), 1, 2, false},
             {sox("-e floating-point -b 32 -c 2"), 1, 2, true}, {sox("-e floating-point -b 64 -c 1"), 1, 2, true},
             {sox("-b 32 -c 8"), 1, 2, true}, {sox("-b 24 -c 6"), 1, 2, true}, {sox("-b 16 -c 3"), 1, 2, true}}) {
        SCOPED_TRACE(row.make);
        ASSERT_EQ(Shell(row.make).status, 0);
        Job("k\n", "0\tA\n" + std::to_string(row.cut) + "\tB\n" + std::to_string(row.end) + "\tB\n",
            row.fade ? "xf_all\t50\t1\n" : "");
        Ran r = Run_Tool();
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("Crossfade failed"), std::string::npos) << r.output;
        Expect_Sox_Reads("k_bld.wav");
        EXPECT_EQ(probe("k_bld.wav"), probe("kA.wav"));
        ASSERT_EQ(Shell("sox kA.wav -t raw a.raw && sox kB.wav -t raw b.raw && sox k_bld.wav -t raw o.raw").status, 0);
        std::string a = Slurp("a.raw"), b = Slurp("b.raw"), out = Slurp("o.raw");
        ASSERT_EQ(out.size(), b.size());
        // The bytes of 25 ms (half the fade) from a cut at a whole second.
        size_t cut = out.size() / row.end * row.cut, half = row.fade ? out.size() / row.end / 40 : 0;
        EXPECT_TRUE(out.substr(0, cut - half) == a.substr(0, cut - half));
        EXPECT_TRUE(out.substr(cut - half, 2 * half) != a.substr(cut - half, 2 * half) || !row.fade);  // mixed
        EXPECT_TRUE(out.substr(cut + half) == b.substr(cut + half));
    }
}

TEST_F(Tool, LongRecordingsAreReadAndWrittenAsRf64)
{
    struct statvfs disk;
    ASSERT_EQ(statvfs(".", &disk), 0);
    if ((double)disk.f_bavail * disk.f_frsize < 12e9)
        GTEST_SKIP() << "needs 12 GB free for a 4.4 GB output";
    // 1.1e9 frames of 16-bit stereo: 4.4 GB of audio in each take and in the output.
    const int64_t frames = 1100000000;
    // Sparse takes: audio only at both ends of the output, where it is checked frame-exact.
    Write_Take("kA.wav", 1, 48000, 16, 2, frames, {"", "", {{0, 1000}}, true});
    Write_Take("kB.wav", 2, 48000, 16, 2, frames, {"", "", {{frames - 1000, frames}}, true});
    Job("k\n", "0\tA\n10000\tB\n" + std::to_string(frames / 48000.0) + "\tB\n", "");
    Ran r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    std::string head = Slurp("k_bld.wav", 0, 80);
    EXPECT_EQ(head.substr(0, 4) + head.substr(12, 4), "RF64ds64");
    EXPECT_EQ(head.substr(28, 8), Le32((uint32_t)(frames * 4)) + Le32((uint32_t)(frames * 4 >> 32)));
    EXPECT_TRUE(Slurp("k_bld.wav", 80, 4000) == Slurp("kA.wav", 80, 4000));
    int64_t last = 80 + (frames - 1000) * 4;
    EXPECT_TRUE(Slurp("k_bld.wav", last, 4000) == Slurp("kB.wav", last, 4000));
    EXPECT_EQ(Shell("soxi -s k_bld.wav").output, std::to_string(frames) + "\n");  // sox reads it whole: a minute
    EXPECT_NE(Shell("sndfile-info k_bld.wav").output.find("Frames      : " + std::to_string(frames)), std::string::npos);
    EXPECT_EQ(Shell("ffprobe -v warning -show_entries stream=duration_ts -of csv=p=0 k_bld.wav").output,
              std::to_string(frames) + "\n");
}

TEST_F(Tool, KeepMetadataCarriesBextAndIxmlOfTheFirstTake)
{
    // ffmpeg's bext take at 01:00:00 (48 kHz), with an iXML chunk put in before its data.
    ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i sine=f=440:d=2 -ar 48000 -c:a pcm_s24le -write_bext 1 "
                    "-metadata time_reference=172800000 kA.wav").status, 0);
    std::string take = Slurp("kA.wav"), ixml = "iXML" + Le32(21) + "<BWFXML>x</BWFXML>\n\n\n" + std::string(1, '\0');
    size_t data = take.find("data", take.find("bext") + 600);
    take.insert(data, ixml);
    take.replace(4, 4, Le32((uint32_t)take.size() - 8));
    Spit("kA.wav", take);
    Write_Take("kB.wav", 2, 48000, 24, 1, 96000);
    Job("k\n", "0\tA\n1\tB\n2\tB\n", "xf_all\t10\t1\n");
    ASSERT_EQ(Run_Tool().status, 0);
    std::string plain = Slurp("k_bld.wav");
    EXPECT_EQ(plain.substr(0, 4) + plain.substr(36, 4), "RIFFdata");  // the canonical header, as without -m
    Ran dry = Run_Tool("-n -m");
    EXPECT_NE(dry.output.find("carries from kA.wav: bext iXML\n"), std::string::npos) << dry.output;
    ASSERT_EQ(Run_Tool("-m").status, 0);
    std::string kept = Slurp("k_bld.wav");
    size_t bext_at = take.find("bext"), bext_bytes = 8 + 602;
    EXPECT_NE(kept.find(take.substr(bext_at, bext_bytes) + ixml + "data"), std::string::npos);
    EXPECT_EQ(Shell("ffprobe -v warning -show_entries format_tags=time_reference -of csv=p=0 k_bld.wav").output,
              "172800000\n");
}

TEST_F(Tool, ATakeCutShortDuringTheBuildEndsItWithALineAndNoOutput)
{
    // kA.wav is cut short once the build has it open, where only counting the frames copied
    // can tell (before the build: see test_safety). First while its segment is copied (its
    // sixth read); then after that (just after the build's first read of kB.wav, the sixth in
    // all) and before its crossfade reads it: to nothing, and short of the crossfade's frames.
    // None may crash, nor mix the missing frames in as silence.
    struct Row { int rate, bits, channels, a_frames; std::string when, after, size, rc; };
    for (const Row& row : std::vector<Row>{{44100, 24, 2, 44100, "read:kA.wav", "0", "264638", ""},  // A: its segment
                                           {48000, 16, 1, 96000, "read:kB.wav", "1", "44", "xf_all\t5\t1\n"},
                                           {48000, 16, 1, 96000, "read:kB.wav", "1", "96000", "xf_all\t5\t1\n"}}) {
        Job("k\n", "0\tA\n1\tB\n2\tB\n", row.rc);
        Write_Take("kA.wav", 1, row.rate, row.bits, row.channels, row.a_frames);
        Write_Take("kB.wav", 2, row.rate, row.bits, row.channels, 2 * row.rate);
        Ran r = Shell(Interposed({{"TAVLIN_TEST_WHEN", row.when}, {"TAVLIN_TEST_NTH", "6"}, {"TAVLIN_TEST_AFTER", row.after},
                                  {"TAVLIN_TEST_DO", "truncate kA.wav " + row.size}}) + " --checks=off");
        EXPECT_NE(r.output.find("[interposer: truncate"), std::string::npos) << r.output;
        EXPECT_EQ(r.status, 1) << row.size << "\n" << r.output;
        EXPECT_NE(r.output.find(">> Take kA.wav holds fewer frames than when the job was planned"), std::string::npos)
            << r.output;
        for (const auto& e : fs::directory_iterator(".")) {
            std::string name = e.path().filename().string();
            EXPECT_TRUE(name.rfind("k_", 0) != 0 && name.rfind(".tavlin", 0) != 0) << name << " was left";
        }
    }
}

TEST_F(Tool, EachTakeIsProbedOnceAndAZeroTailCostsNothing)
{
    // Take A has no format chunk, only its format at byte 15008, where the probe then looks; eight
    // takes come between its two edit points, and what the probe says of it is said once.
    std::string points;
    for (int k = 0; k < 10; k++) {
        std::string take = k == 0 || k == 9 ? "A" : std::to_string(k);
        points += std::to_string(k) + "\t" + take + "\n";
        Write_Take("k" + take + ".wav", 1 + k % 9, 8000, 16, 1, 80000);
    }
    Spit("base.txt", "k\n"), Spit("points.txt", points + "10\tA\n"), Spit("tavlinrc.txt", "");
    std::string a = Slurp("kA.wav"), format = a.substr(20, 16);
    std::string junk(15004, 'j');
    junk.replace(15008 - 20, 16, format);  // read at byte 15000 + 8, as a take without a format chunk is
    Spit("kA.wav", "RIFF" + Le32((uint32_t)(a.size() - 36 + 8 + junk.size() + 4)) + "WAVEJUNK" + Le32(15004) + junk + a.substr(36));
    Ran r = Run_Tool("-n");
    ASSERT_EQ(r.status, 0) << r.output;
    size_t said = r.output.find(">> Can't find format chunk in wave file!\n>> in take kA.wav\n");
    EXPECT_NE(said, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(">> Can't find format chunk", said + 1), std::string::npos) << r.output;

    // Take 3 is padded with 64 MB of zeros, as a recorder that preallocates leaves it: a handful of
    // reads, not one per 8 bytes of zeros.
    ASSERT_EQ(truncate("k3.wav", (off_t)Slurp("k3.wav").size() + (64 << 20)), 0);
    // (The leak check of a sanitized build cannot stop the threads of a traced process.)
    Ran traced = Shell("ASAN_OPTIONS=detect_leaks=0 timeout 120 strace -f -e trace=pread64 -o preads.txt " +
                       std::string(TAVLIN2A) + " -nq");
    ASSERT_EQ(traced.status, 0) << traced.output;
    std::string preads = Slurp("preads.txt");
    EXPECT_LT(std::count(preads.begin(), preads.end(), '\n'), 500) << "preads";
}
