// The tool run as a user runs it, in a folder of its own: whole builds checked frame
// by frame, sox reading what we write (and us reading what sox and ffmpeg write),
// refusals that leave the folder as it was, and a take that changes in the middle of
// a build.
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "helpers.h"

namespace {

void Expect_Sox_Reads(const std::string& path)
{
    Ran r = Shell("sox '" + path + "' -n stat");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("WARN"), std::string::npos) << r.output;
}

void Job(const std::string& bases, const std::string& points, const std::string& rc)
{
    Spit("base.txt", bases), Spit("points.txt", points), Spit("tavlinrc.txt", rc);
}

// Output frames [from, to) must be the same frames of `take` (0: silence), or (mixed)
// must all differ from them.
void Expect_Frames(const std::string& out, int64_t from, int64_t to, int take, int bits, int channels, bool mixed = false)
{
    for (int64_t f = from; f < to; f++)
        for (int c = 0; c < channels; c++)
            ASSERT_EQ(Sample_In(out, f, c, bits, channels) == (take ? Sample(take, f, c, bits) : 0), !mixed)
                << f << " " << take;
}

// An RF64 take of `frames` frames of 16-bit stereo at 48 kHz, sparse: Sample() audio of
// `take` in its first and last 1000 frames, silence between.
void Rf64_Take(const std::string& path, int take, int64_t frames)
{
    int64_t data = frames * 4;
    std::string fmt = "fmt " + Le32(16) + Le16(1) + Le16(2) + Le32(48000) + Le32(192000) + Le16(4) + Le16(16);
    std::string ds64 = "ds64" + Le32(28) + Le32((uint32_t)(data + 72)) + Le32((uint32_t)((data + 72) >> 32)) +
                       Le32((uint32_t)data) + Le32((uint32_t)(data >> 32)) + Le32((uint32_t)frames) + Le32(0) + Le32(0);
    Spit(path, "RF64" + Le32(0xFFFFFFFF) + "WAVE" + ds64 + fmt + "data" + Le32(0xFFFFFFFF));
    ASSERT_EQ(truncate(path.c_str(), 80 + data), 0);
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    for (int64_t first : {(int64_t)0, frames - 1000}) {
        std::string audio;
        for (int64_t f = first; f < first + 1000; f++)
            audio += Le16((uint32_t)Sample(take, f, 0, 16)) + Le16((uint32_t)Sample(take, f, 1, 16));
        out.seekp(80 + first * 4);
        out.write(audio.data(), (std::streamsize)audio.size());
    }
}

}  // namespace

using Tool = InFolder;

TEST_F(Tool, OneJobOfSeveralTracksBuildsFrameExact)
{
    // Edits at 0.5, 1, 2 and 3.001 s (the last segment, of take C, is empty, and the one
    // before ends a frame short of it, in single precision). Tracks: dr and bs fade
    // linearly over 441 frames, and bs's take B ends before its crossfade out, which
    // fails; s fades over 2560 frames, more than its last segment holds; a cuts hard.
    Job("dr\nbs\ns\na\n", "0.5\tA\n1\tB\n2\tA\n3.001\tC\n3.001\tC\n",
        "xf_tr\t1\t44.15\t2\nxf_tr\t2\t44.15\t2\nxf_tr\t3\t2500\t2\n");
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
    auto before = Snapshot();
    Ran dry = Run_Tool("-n");
    EXPECT_EQ(Snapshot(), before);
    for (std::string row : {"Track 1: dr_bld.wav, 10000 Hz, 24 bits, 1 channel, 30010 frames\n",
                            "3\t0:00:02.000\t0:00:03.001\tdrA.wav\t20000\t10009\t5009\t441\n",
                            "Track 3: s_bld.wav, 1024 Hz, 16 bits, 2 channels, 3073 frames\n",
                            "2\t0:00:01.000\t0:00:02.000\tsB.wav\t1024\t1024\t0\t0\n3\t0:00:02.000\t0:00:03.001\tsA.wav\t2048\t1025\t0\t2305\n"})
        EXPECT_NE(dry.output.find(row), std::string::npos) << row << dry.output;
    Ran r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Building to bs_bld.wav\nedits: 1 2 3 Invalid crossfade for destination file\n"
                            "Crossfade failed.\n>> Track 2 (bs), edit 3: no crossfade from bsB.wav into bsA.wav "
                            "(bsB.wav at fault); the takes meet in a hard cut\n4 5 \n"), std::string::npos) << r.output;
    // Per track its length in frames (take B of dr, the longest, sets its end) and
    // ranges of frames: take, or 0 for silence; a mix differs from the take named.
    struct Range { int64_t from, to; int take; bool mixed = false; };
    for (auto [t, frames, ranges] : std::vector<std::tuple<int, int64_t, std::vector<Range>>>{
             {0, 30010, {{0, 5000, 0}, {5000, 9781, 1}, {9781, 10221, 1, true}, {10221, 19781, 2}, {19781, 20221, 2, true},
                         {20221, 25000, 1}, {25000, 30010, 0}}},
             {1, 30010, {{10221, 15000, 5}, {15000, 20000, 0}, {20000, 30009, 4}, {30009, 30010, 0}}},
             {2, 3073, {{512, 768, 7}, {768, 769, 8}}},  // the fade spans [768, 3328)
             {3, 24008, {{0, 4000, 0}, {4000, 8000, 10}, {8000, 12000, 11}, {12000, 16000, 0}, {16000, 24007, 10},
                         {24007, 24008, 0}}}}) {
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
    Expect_Sox_Reads("s_bld.wav");

    // More takes than a track keeps open: the take fading in at the last edit was open
    // and is closed to open the one fading out (whose segment is empty).
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
    EXPECT_FALSE(Exists("xfade_temp.wav"));  // removed after the crossfade at the last edit
}

TEST_F(Tool, TakesWithMetadataFromRealWritersBuildFrameExact)
{
    // Each row makes takes A.wav and B.wav (B an octave up) as a writer of the field
    // does; the job cuts from A to B at `cut` seconds. sox reads each file for what its
    // audio really is; the output must be those frames, exactly.
    auto ff = [](const std::string& options, int seconds = 3) {
        auto make = [&](const char* hz, const char* name) {
            return "ffmpeg -v error -y -f lavfi -i sine=f=" + std::string(hz) + ":d=" + std::to_string(seconds) +
                   " -ar 48000 " + options + " " + name;
        };
        return make("440", "A.wav") + " && " + make("880", "B.wav");
    };
    const std::string sox = "sox -n -r 8000 -b 16 --comment 'data in a comment' ";
    struct Row { std::string make; double cut, end; };
    for (const Row& row : std::vector<Row>{
             {ff("-ac 2 -c:a pcm_s24le -metadata comment=data"), 1.5, 3},
             {ff("-c:a pcm_s24le -write_bext 1 -metadata 'description=Scene 4 metadata: boom on'"), 1.5, 3},
             {ff("-c:a pcm_s16le -write_bext 1 -metadata 'description=Take with metadata'", 20), 10, 20},
             {ff("-c:a pcm_s16le -metadata comment=" + std::string(16000, 'c')), 1, 3},
             {sox + "A.wav synth 2 sine 440 && " + sox + "B.wav synth 2 sine 880", 1, 2},
             // sox's takes with a chunk whose size runs past the end: the walk gives up
             // and the tags are searched for.
             {sox + "s.wav synth 2 sine 440 && " + sox + "t.wav synth 2 sine 880", 1.25, 2},
             // "fmt " inside a bext chunk ahead of the format chunk of an 8 kHz take.
             {sox + "s.wav synth 2 sine 440 && " + sox + "t.wav synth 2 sine 880", 0.5, 2}}) {
        for (const auto& e : std::filesystem::directory_iterator("."))
            std::filesystem::remove(e.path());
        ASSERT_EQ(Shell(row.make).status, 0) << row.make;
        std::string a_wav = Exists("s.wav") ? "s.wav" : "kA.wav", b_wav = Exists("s.wav") ? "t.wav" : "kB.wav";
        for (auto [from, to] : {std::pair{"s.wav", "A.wav"}, {"t.wav", "B.wav"}})
            if (Exists(from)) {
                std::string take = Slurp(from);
                std::string body = row.cut == 1.25 ? take.substr(12, 24) + "JUNK" + Le32(0x7FFFFFF0) + take.substr(36)
                                                   : "bext" + Le32(16) + "xxfmt " + Le32(16) + Le16(1) + Le16(2) + Le16(0) + take.substr(12);
                Spit(to, "RIFF" + Le32(4 + body.size()) + "WAVE" + body);
            }
        Job("k\n", "0\tA\n" + std::to_string(row.cut) + "\tB\n" + std::to_string(row.end) + "\tB\n", "");
        std::filesystem::rename("A.wav", "kA.wav"), std::filesystem::rename("B.wav", "kB.wav");
        Ran r = Run_Tool();
        ASSERT_EQ(r.status, 0) << row.make << "\n" << r.output;
        ASSERT_EQ(Shell("sox " + a_wav + " -t raw a.raw && sox " + b_wav + " -t raw b.raw && sox k_bld.wav -t raw o.raw && "
                        "soxi -r k_bld.wav > rate && soxi -r " + a_wav + " >> rate").status, 0);
        std::string a = Slurp("a.raw"), b = Slurp("b.raw"), out = Slurp("o.raw"), rates = Slurp("rate");
        EXPECT_EQ(rates.substr(0, rates.size() / 2), rates.substr(rates.size() / 2)) << row.make;
        ASSERT_EQ(out.size(), b.size()) << row.make;
        size_t cut = (size_t)(out.size() * row.cut / row.end);
        EXPECT_TRUE(out.substr(0, cut) == a.substr(0, cut) && out.substr(cut) == b.substr(cut)) << row.make;
    }
}

TEST_F(Tool, LongRecordingsAreReadAndWrittenAsRf64)
{
    struct statvfs fs;
    ASSERT_EQ(statvfs(".", &fs), 0);
    if ((double)fs.f_bavail * fs.f_frsize < 12e9)
        GTEST_SKIP() << "needs 12 GB free for a 4.4 GB output";
    // 1.1e9 frames of 16-bit stereo: 4.4 GB of audio in each take and in the output.
    const int64_t frames = 1100000000;
    Rf64_Take("kA.wav", 1, frames);
    Rf64_Take("kB.wav", 2, frames);
    Job("k\n", "0\tA\n10000\tB\n" + std::to_string(frames / 48000.0) + "\tB\n", "");
    Ran r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    std::string head = Slurp("k_bld.wav", 0, 80);
    EXPECT_EQ(head.substr(0, 4) + head.substr(12, 4), "RF64ds64");
    EXPECT_EQ(head.substr(28, 8), Le32((uint32_t)(frames * 4)) + Le32((uint32_t)(frames * 4 >> 32)));
    // Both ends of the takes, where they are: frame-exact.
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
    EXPECT_EQ(kept.substr(kept.size() - (plain.size() - 44)), plain.substr(44));  // the same audio
    EXPECT_EQ(Shell("ffprobe -v warning -show_entries format_tags=time_reference -of csv=p=0 k_bld.wav").output,
              "172800000\n");
    Expect_Sox_Reads("k_bld.wav");
}

TEST_F(Tool, RefusalsSayWhatIsWrongAndChangeNothing)
{
    for (auto [take, rate, bits, channels, frames] : {std::tuple{"A", 44100, 24, 2, 50000}, {"R", 48000, 24, 2, 50000},
                                                       {"W", 44100, 16, 2, 50000}, {"S", 44100, 24, 1, 50000},
                                                       {"T", 44100, 24, 2, 44000}, {"I", 44100, 32, 2, 50000}})
        Write_Take("k" + std::string(take) + ".wav", 1, rate, bits, channels, frames);
    Spit("kF.wav", Slurp("kI.wav").replace(20, 2, Le16(3)));
    const std::string rc = "xf_all\t10\t1\n", two = "0\tA\n1\tA\n";
    struct Case { std::string bases, points, rc, args, message; };
    for (const Case& c : std::vector<Case>{
             {"k\n", "0\tA\n5\tA\n3\tA\n", rc, "", ">> Edit 3 is out of sequence, exiting\n"},
             {"k\n", "-1\tA\n-0.5\tA\n", rc, "", ">> Edit 2 has a negative time"},
             {"k\n", "0\tA\n", rc, "", ">> points.txt holds 1 edit point; at least two are needed"},
             {"k\n", "0\tA\n1\tC\n", rc, "", ">> Cannot find file called kC.wav, exiting\n"},
             {"k\n", "0\tA\r\n1\tA\r\n", rc, "", ">> Cannot find file called kA\\x0D.wav, exiting\n>> points.txt has Windows line ends"},
             {"k\n", "0\tA  \n1\tA  \n", rc, "", "kA  .wav, exiting\n>> The take suffix of edit 1 in points.txt ends in 2 spaces\n"},
             {"k\n", "0\tA\n1\tR\n", rc, "", ">> Samplerate mismatch among k takes, exiting\n>> Take kR.wav (edit 2) is at 48000 Hz, take kA.wav (edit 1) at 44100 Hz\n"},
             {"k\n", "0\tA\n1\tW\n", rc, "", ">> Bit format mismatch among k takes, exiting\n>> Take kW.wav (edit 2) holds 16-bit integer, take kA.wav (edit 1) 24-bit integer\n"},
             {"k\n", "0\tI\n1\tF\n", rc, "", ">> Take kF.wav (edit 2) holds 32-bit float, take kI.wav (edit 1) 32-bit integer\n"},
             {"k\n", "0\tA\n1\tS\n", rc, "", ">> Mono-stereo mismatch among k takes, exiting\n>> Take kS.wav (edit 2) has 1 channel, take kA.wav (edit 1) 2\n"},
             {"k\n", "0\tA\n1\tT\n2\tA\n", rc, "", "Edit 2 failed.  The take ends before the edit point.\nOutput files were not built\n"
              ">> Track 1 (k): take kT.wav is 0:00:00.998 long (44000 frames); edit 2 starts at 0:00:01.000 (frame 44100)\n"},
             {"k\n", "0\tA\n1e6\tA\n", rc, "", ">> Edit 2 lies beyond the frames a WAV file can address"},
             {"k\n", two, "xf_tr\t1\t10\t5\n", "", ">> Track 1 has crossfade type 5; the types are 0 to 4"},
             {"k\n", two, "xf_all\t-5\t1\n", "", ">> Track 1 has a negative crossfade length"},
             {"k\n", two, rc, "A.wav", ">> Output file kA.wav would overwrite a file this job reads"},
             {"xfade\n", two, rc, "_temp.wav", ">> Output file xfade_temp.wav would overwrite a file this job reads"},
             {"xfade_\n", "0\ttemp\n1\ttemp\n", rc, "", ">> A take may not be called xfade_temp.wav"},
             {"k\n", two, rc, std::string(64, 's'), ">> The output suffix is longer than 63 characters"},
             {"", two, rc, "", ">> Cannot find file base.txt that holds your base file names, exiting\n\n"},
             {"k\n", "", rc, "", ">> Cannot find file points.txt that holds your edits, exiting\n\n"}}) {
        Job(c.bases, c.points, c.rc);
        if (c.message.find("base file names") != std::string::npos)
            remove("base.txt");
        if (c.message.find("your edits") != std::string::npos)
            remove("points.txt");
        auto before = Snapshot();
        Ran r = Run_Tool(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(Snapshot(), before) << c.message;
    }
    Job("", two, rc);  // no track at all: nothing to refuse
    Ran r = Run_Tool();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Planning to build 0 tracks using 2 edit points."), std::string::npos) << r.output;
}

TEST_F(Tool, ATakeThatChangesDuringTheBuildEndsItWithALineAndNoOutput)
{
    // The tool is held as soon as it reports the first edit of the long first track,
    // the second track's take is removed or loses its last frame, and it goes on. The
    // first track's takes are sparse and 500 s long, so that it is still being built
    // when held.
    Job("big\nb\n", "0\tA\n1\tB\n500\tB\n", "");
    for (std::string big : {"bigA.wav", "bigB.wav"}) {
        Write_Take(big, 5, 44100, 24, 2, 0);
        Spit(big, Slurp(big).replace(40, 4, Le32(22050000 * 6)));
        ASSERT_EQ(truncate(big.c_str(), 44 + 22050000LL * 6), 0);
    }
    Write_Take("bB.wav", 4, 44100, 24, 2, 100000);
    Write_Take("bA.wav", 3, 44100, 24, 2, 44100);  // exactly its segment
    std::string take = Slurp("bA.wav");
    for (bool remove_it : {true, false}) {
        Spit("bA.wav", take);
        Ran r = Run_Acting(TAVLIN2A, "edits: ", 1, [&](pid_t pid) {
            kill(pid, SIGSTOP);
            remove_it ? (void)remove("bA.wav") : Spit("bA.wav", take.substr(0, take.size() - 6));
            kill(pid, SIGCONT);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("Building to b_bld.wav\nedits: 1 >> " +
                                std::string(remove_it ? "Cannot open bA.wav (No such file or directory)"
                                                      : "Take bA.wav holds fewer frames than when the job was planned")),
                  std::string::npos) << r.output;
        EXPECT_EQ(std::filesystem::file_size("big_bld.wav"), 44u + 22050000 * 6);
        for (const auto& [name, bytes] : Snapshot())
            EXPECT_TRUE(name.rfind("b_", 0) != 0 && name.rfind(".tavlin", 0) != 0) << name << " was left";
    }
}
