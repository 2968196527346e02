// The tool run as a user runs it, in a folder of its own: whole builds checked frame
// by frame, sox reading what we write (and us reading what sox writes), refusals
// that leave the folder as it was, and a take that changes in the middle of a build.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "helpers.h"

namespace {

std::map<std::string, std::string> Folder()
{
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator("."))
        files[e.path().filename().string()] = e.is_regular_file() ? Slurp(e.path().string()) : "<dir>";
    return files;
}

void Expect_Sox_Reads(const std::string& path)
{
    Ran r = Shell("sox '" + path + "' -n stat");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("WARN"), std::string::npos) << r.output;
}

void Job(const std::string& bases, const std::string& points, const std::string& rc)
{
    Spit("base.txt", bases);
    Spit("points.txt", points);
    Spit("tavlinrc.txt", rc);
}

// Output frames [from, to) must be the same frames of `take` (0: silence).
void Expect_Frames(const std::string& out, int64_t from, int64_t to, int take, int bits, int channels)
{
    for (int64_t f = from; f < to; f++)
        for (int c = 0; c < channels; c++)
            ASSERT_EQ(Sample_In(out, f, c, bits, channels), take ? Sample(take, f, c, bits) : 0) << f << " " << take;
}

// Frames [from, to) of `path`, a WAV whose data starts at `offset`, as raw bytes.
std::string Frames_At(const std::string& path, int64_t offset, int64_t from, int64_t to, int frame_size)
{
    std::string bytes((size_t)((to - from) * frame_size), '\0');
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset + from * frame_size);
    in.read(&bytes[0], (std::streamsize)bytes.size());
    return bytes;
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
            for (int c = 0; c < 2; c++)
                audio += Le16((uint32_t)Sample(take, f, c, 16));
        out.seekp(80 + first * 4);
        out.write(audio.data(), (std::streamsize)audio.size());
    }
}

}  // namespace

using Tool = InFolder;

TEST_F(Tool, TheRoadOfOneJob)
{
    Job("kick\n", "0\ttake1\n30\ttake2\n60\ttake2\n", "xf_all\t10\t1\n");
    Write_Take("kicktake1.wav", 1, 44100, 24, 2, 2700000);
    Write_Take("kicktake2.wav", 2, 44100, 24, 2, 2700000);
    Ran r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "\nTavlin 2.00 by Quelloran\n\nPlanning to build 1 tracks using 3 edit points.\n\n"
                        "Crossfade Matrix:\ntrack\tlength\ttype\n1\t10.0\t1\n\n\nBuilding to kick_bld.wav\n"
                        "edits: 1 2 3 \n\nDone\n\n");
    std::string out = Slurp("kick_bld.wav");
    ASSERT_EQ(out.size(), 44u + 2646000 * 6);
    EXPECT_EQ(out.substr(40, 4), Le32(2646000 * 6));
    Expect_Frames(out, 0, 1322781, 1, 24, 2);  // the 441 mixed frames start on take1's own
    EXPECT_NE(Sample_In(out, 1323000, 0, 24, 2), Sample(2, 1323000, 0, 24));
    Expect_Frames(out, 1323221, 2646000, 2, 24, 2);
    EXPECT_FALSE(Exists("xfade_temp.wav"));
    Expect_Sox_Reads("kick_bld.wav");
}

TEST_F(Tool, HardCutsLeadInTailPadAndReplacedOutputs)
{
    Job("gtr\n", "0.5\tA\n1\tB\n2\tA\n", "");
    remove("tavlinrc.txt");
    Write_Take("gtrA.wav", 1, 8000, 16, 1, 16000);
    Write_Take("gtrB.wav", 2, 8000, 16, 1, 12000);  // ends 0.5 s inside its segment
    Spit("gtr_bld.wav", std::string(100000, 'x'));
    Ran r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Slurp("tavlinrc.txt").substr(0, 22), "Parameters file for ta");
    std::string out = Slurp("gtr_bld.wav");
    ASSERT_EQ(out.size(), 44u + 16000 * 2);
    Expect_Frames(out, 0, 4000, 0, 16, 1);
    Expect_Frames(out, 4000, 8000, 1, 16, 1);
    Expect_Frames(out, 8000, 12000, 2, 16, 1);
    Expect_Frames(out, 12000, 16000, 0, 16, 1);
    EXPECT_EQ(Slurp("xfade_temp.wav").size(), 44u);  // header only, left by the last hard cut
    Expect_Sox_Reads("gtr_bld.wav");
}

TEST_F(Tool, CrossfadesCentredOnTheEditAndAFailedOneBecomesAHardCut)
{
    // 10000 Hz: the edit at 10 s is frame 100000 and 44.15 ms is 441 frames. The edit
    // at 0.02 s (frame 200) is too close to the start for a crossfade.
    Job("dr\nbs\n", "0\tA\n0.02\tB\n10\tA\n12\tA\n", "xf_all\t44.15\t2\n");
    for (std::string base : {"dr", "bs"}) {
        Write_Take(base + "A.wav", 1, 10000, 24, 1, 120000);
        Write_Take(base + "B.wav", 2, 10000, 24, 1, base == "dr" ? 120000 : 60000);
    }
    Ran r = Run_Tool("_mix.wav");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Building to bs_mix.wav\nedits: 1 2 3 Invalid crossfade for destination file\n"
                            "Crossfade failed.\n>> Track 2 (bs), edit 3: no crossfade from bsB.wav into bsA.wav "
                            "(bsB.wav at fault); the takes meet in a hard cut\n4 \n\nDone"), std::string::npos) << r.output;
    std::string dr = Slurp("dr_mix.wav");
    Expect_Frames(dr, 0, 200, 1, 24, 1);
    Expect_Frames(dr, 200, 99781, 2, 24, 1);
    for (int64_t f = 99781; f <= 100220; f++)
        EXPECT_NE(Sample_In(dr, f, 0, 24, 1), Sample(2, f, 0, 24)) << f;
    Expect_Frames(dr, 100221, 120000, 1, 24, 1);
    // bs: take B runs out at 60000, so the fade out of it fails: silence, then a hard cut.
    std::string bs = Slurp("bs_mix.wav");
    Expect_Frames(bs, 0, 200, 1, 24, 1);
    Expect_Frames(bs, 200, 60000, 2, 24, 1);
    Expect_Frames(bs, 60000, 100000, 0, 24, 1);
    Expect_Frames(bs, 100000, 120000, 1, 24, 1);
    EXPECT_FALSE(Exists("xfade_temp.wav"));
    Expect_Sox_Reads("dr_mix.wav");
}

TEST_F(Tool, TakesFromSoxBuildExactlyAndOutputsEndWhereTheirHeadersSay)
{
    ASSERT_EQ(Shell("sox -n -r 48000 -b 24 -c 2 vA.wav synth 2 sine 440 sine 550 vol 0.7 && "
                    "sox -n -r 48000 -b 24 -c 2 vB.wav synth 2 sine 660 sine 770 vol 0.7 && "
                    "sox vA.wav -t raw vA.raw && sox vB.wav -t raw vB.raw").status, 0);
    Job("v\n", "0\tA\n1\tB\n2\tB\n", "xf_all\t0\t0\n");
    ASSERT_EQ(Run_Tool().status, 0);
    std::string out = Slurp("v_bld.wav");
    ASSERT_EQ(out.size(), 44u + 96000 * 6);
    EXPECT_EQ(out.substr(44, 48000 * 6), Slurp("vA.raw").substr(0, 48000 * 6));
    EXPECT_EQ(out.substr(44 + 48000 * 6), Slurp("vB.raw").substr(48000 * 6));
    Expect_Sox_Reads("v_bld.wav");
    // At 1024 Hz the last segment is 4 frames; a 100-frame fade centred on its start
    // would run 46 frames past the length the header declares.
    Job("s\n", "0\tA\n1\tB\n1.00390625\tB\n", "xf_all\t97.65625\t2\n");
    Write_Take("sA.wav", 1, 1024, 16, 2, 2000);
    Write_Take("sB.wav", 2, 1024, 16, 2, 2000);
    ASSERT_EQ(Run_Tool().status, 0);
    EXPECT_EQ(Slurp("s_bld.wav").size(), 44u + 1028 * 4);
    Expect_Sox_Reads("s_bld.wav");
    // The segments end at frame 510677 but the track at 510678 (the last two edit
    // points are equal): the file still holds every frame its header declares.
    Job("g\n", "0\tA\n9.39\tB\n11.58\tB\n11.58\tB\n", "");
    Write_Take("gA.wav", 1, 44100, 16, 1, 600000);
    Write_Take("gB.wav", 2, 44100, 16, 1, 600000);
    ASSERT_EQ(Run_Tool().status, 0);
    std::string g = Slurp("g_bld.wav");
    ASSERT_EQ(g.size(), 44u + 510678 * 2);
    EXPECT_EQ(Sample_In(g, 510677, 0, 16, 1), 0);
    Expect_Sox_Reads("g_bld.wav");
}

TEST_F(Tool, TakesWithMetadataFromRealWritersBuildFrameExact)
{
    // Each row makes takes A.wav and B.wav (B an octave up) as a writer of the field
    // does; the job cuts from A to B at `cut` seconds. sox reads each file for what its
    // audio really is; the output must be those frames, exactly.
    const std::string ff = "ffmpeg -v error -y -f lavfi -i sine=f=440:d=3 -ar 48000 ";
    const std::string ff_b = "ffmpeg -v error -y -f lavfi -i sine=f=880:d=3 -ar 48000 ";
    const std::string comment_16k = std::string(16000, 'c');
    // A bext chunk whose text holds "fmt " at an even offset, before the real format chunk.
    const std::string bext = "bext" + Le32(16) + "xxfmt " + Le32(16) + Le16(1) + Le16(2) + Le16(0);
    struct Row { std::string make; double cut, end; };
    for (const Row& row : std::vector<Row>{
             {ff + "-ac 2 -c:a pcm_s24le -metadata comment=data A.wav && " + ff_b +
                  "-ac 2 -c:a pcm_s24le -metadata comment=data B.wav", 1.5, 3},
             {ff + "-c:a pcm_s24le -write_bext 1 -metadata 'description=Scene 4 metadata: boom on' A.wav && " + ff_b +
                  "-c:a pcm_s24le -write_bext 1 -metadata 'description=Scene 4 metadata: boom on' B.wav", 1.5, 3},
             {"ffmpeg -v error -y -f lavfi -i sine=f=440:d=20 -ar 48000 -c:a pcm_s16le -write_bext 1 "
              "-metadata 'description=Take with metadata' A.wav && cp A.wav B.wav", 10, 20},
             {ff + "-c:a pcm_s16le -metadata comment=" + comment_16k + " A.wav && " + ff_b +
                  "-c:a pcm_s16le -metadata comment=" + comment_16k + " B.wav", 1, 3},
             {"sox -n -r 8000 -b 16 --comment 'data in a comment' A.wav synth 2 sine 440 && "
              "sox -n -r 8000 -b 16 --comment 'data in a comment' B.wav synth 2 sine 880", 1, 2},
             // sox's own take with a chunk whose size runs past the end: the walk gives up
             // and the tags are searched for, as before.
             {"sox -n -r 8000 -b 16 s.wav synth 2 sine 440 && sox -n -r 8000 -b 16 t.wav synth 2 sine 880", 1.25, 2},
             // "fmt " inside a bext chunk ahead of the format chunk of an 8 kHz take.
             {"sox -n -r 8000 -b 16 s.wav synth 2 sine 440 && sox -n -r 8000 -b 16 t.wav synth 2 sine 880", 0.5, 2}}) {
        for (const auto& e : std::filesystem::directory_iterator("."))
            std::filesystem::remove(e.path());
        ASSERT_EQ(Shell(row.make).status, 0) << row.make;
        if (Exists("s.wav"))
            for (auto [from, to] : {std::pair{"s.wav", "A.wav"}, {"t.wav", "B.wav"}}) {
                std::string take = Slurp(from);
                bool broken = row.cut == 1.25;
                std::string body = broken ? take.substr(12, 24) + "JUNK" + Le32(0x7FFFFFF0) + take.substr(36)
                                          : bext + take.substr(12);
                Spit(to, "RIFF" + Le32(4 + body.size()) + "WAVE" + body);
            }
        Job("k\n", "0\tA\n" + std::to_string(row.cut) + "\tB\n" + std::to_string(row.end) + "\tB\n", "");
        std::filesystem::rename("A.wav", "kA.wav");
        std::filesystem::rename("B.wav", "kB.wav");
        Ran r = Run_Tool();
        ASSERT_EQ(r.status, 0) << row.make << "\n" << r.output;
        std::string a_wav = Exists("s.wav") ? "s.wav" : "kA.wav", b_wav = Exists("t.wav") ? "t.wav" : "kB.wav";
        ASSERT_EQ(Shell("sox " + a_wav + " -t raw a.raw && sox " + b_wav + " -t raw b.raw && sox k_bld.wav -t raw o.raw && "
                        "soxi -r k_bld.wav > rate && soxi -r " + a_wav + " >> rate").status, 0);
        std::string a = Slurp("a.raw"), b = Slurp("b.raw"), out = Slurp("o.raw"), rates = Slurp("rate");
        EXPECT_EQ(rates.substr(0, rates.size() / 2), rates.substr(rates.size() / 2)) << row.make;
        ASSERT_EQ(out.size(), b.size()) << row.make;
        size_t cut = (size_t)(out.size() * row.cut / row.end);
        EXPECT_TRUE(out.substr(0, cut) == a.substr(0, cut)) << row.make;
        EXPECT_TRUE(out.substr(cut) == b.substr(cut)) << row.make;
    }
}

TEST_F(Tool, EveryFormatBuildsWithCrossfadesThatOtherReadersRead)
{
    // Takes written by sox in each format; a 50 ms equal-power crossfade at 1 s. Away
    // from it the output is the takes' own frames; sox and ffprobe read it whole.
    for (std::string format : {"-e floating-point -b 32 -c 2", "-e floating-point -b 64 -c 1", "-b 32 -c 8",
                               "-b 24 -c 6", "-b 16 -c 3"}) {
        ASSERT_EQ(Shell("sox -n -r 8000 " + format + " kA.wav synth 2 sine 440 vol 0.5 && sox -n -r 8000 " + format +
                        " kB.wav synth 2 sine 660 vol 0.5").status, 0);
        Job("k\n", "0\tA\n1\tB\n2\tB\n", "xf_all\t50\t1\n");
        Ran r = Run_Tool();
        ASSERT_EQ(r.status, 0) << format << r.output;
        EXPECT_EQ(r.output.find("Crossfade failed"), std::string::npos) << format << r.output;
        Expect_Sox_Reads("k_bld.wav");
        ASSERT_EQ(Shell("sox kA.wav -t raw a.raw && sox kB.wav -t raw b.raw && sox k_bld.wav -t raw o.raw").status, 0);
        EXPECT_EQ(Shell("soxi -c k_bld.wav; soxi -s k_bld.wav").output, Shell("soxi -c kA.wav; soxi -s kA.wav").output);
        EXPECT_EQ(Shell("ffprobe -v warning -show_entries stream=channels,duration_ts -of csv=p=0 k_bld.wav").output,
                  Shell("ffprobe -v warning -show_entries stream=channels,duration_ts -of csv=p=0 kA.wav").output);
        std::string a = Slurp("a.raw"), b = Slurp("b.raw"), out = Slurp("o.raw");
        size_t frame = a.size() / 16000, before = 7800 * frame, after = 8200 * frame;
        ASSERT_EQ(out.size(), a.size()) << format;
        EXPECT_TRUE(out.substr(0, before) == a.substr(0, before)) << format;
        EXPECT_TRUE(out.substr(before, after - before) != a.substr(before, after - before)) << format;  // mixed
        EXPECT_TRUE(out.substr(after) == b.substr(after)) << format;
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
    std::string head = Slurp_Head("k_bld.wav", 80);
    EXPECT_EQ(head.substr(0, 4) + head.substr(12, 4), "RF64ds64");
    EXPECT_EQ(head.substr(28, 8), Le32((uint32_t)(frames * 4)) + Le32((uint32_t)(frames * 4 >> 32)));
    // Both ends of the takes, where they are: frame-exact.
    EXPECT_TRUE(Frames_At("k_bld.wav", 80, 0, 1000, 4) == Frames_At("kA.wav", 80, 0, 1000, 4));
    EXPECT_TRUE(Frames_At("k_bld.wav", 80, frames - 1000, frames, 4) == Frames_At("kB.wav", 80, frames - 1000, frames, 4));
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
    Write_Take("kA.wav", 1, 44100, 24, 2, 50000);
    Write_Take("kR.wav", 1, 48000, 24, 2, 50000);
    Write_Take("kW.wav", 1, 44100, 16, 2, 50000);
    Write_Take("kS.wav", 1, 44100, 24, 1, 50000);
    Write_Take("kT.wav", 1, 44100, 24, 2, 44000);
    Spit("kF.wav", Slurp("kA.wav").replace(20, 2, Le16(3)));
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
             {"k\n", "0\tA\n1\tS\n", rc, "", ">> Mono-stereo mismatch among k takes, exiting\n>> Take kS.wav (edit 2) has 1 channel, take kA.wav (edit 1) 2\n"},
             {"k\n", "0\tA\n1\tT\n2\tA\n", rc, "", "Edit 2 failed.  The take ends before the edit point.\nOutput files were not built\n"
              ">> Track 1 (k): take kT.wav is 0:00:00.998 long (44000 frames); edit 2 starts at 0:00:01.000 (frame 44100)\n"},
             {"k\n", "0\tA\n1\tF\n", rc, "", ">> Take kF.wav has 24-bit float samples"},
             {"k\n", "0\tA\n1e6\tA\n", rc, "", ">> Edit 2 lies beyond the frames a WAV file can address"},
             {"k\n", two, "xf_tr\t1\t10\t7\n", "", ">> Track 1 has crossfade type 7; the types are 0 to 4"},
             {"k\n", two, "xf_all\t-5\t1\n", "", ">> Track 1 has a negative crossfade length"},
             {"k\n", two, rc, "A.wav", ">> Output file kA.wav would overwrite a file this job reads"},
             {"base\n", "0\t.txt\n1\t.txt\n", rc, ".txt", ">> Output file base.txt would overwrite"},
             {"xfade_\n", "0\ttemp\n1\ttemp\n", rc, "", ">> A take may not be called xfade_temp.wav"},
             {"k\n", two, rc, std::string(64, 's'), ">> The output suffix is longer than 63 characters"},
             {"k\n", "0\tA\n1,5\tA\n", rc, "", ">> points.txt line 2: \"1,5\" is not a time in seconds, exiting\n"
                                             ">> Write times with a decimal point (1.5)"},
             {"k\n", "0\tA\nfive\tA\n", rc, "", ">> points.txt line 2: \"five\" is not a time in seconds"},
             {"k\n", "0\tA\n5e-1x\tA\n", rc, "", ">> points.txt line 2: \"5e-1x\" is not a time in seconds"},
             {"k\n", "\xEF\xBB\xBF" "1.5\tA\n1\tA\n", rc, "", ">> Edit 2 is out of sequence, exiting\n"},
             {"k\n", "0 A\n1 A\n", rc, "", ">> points.txt line 1: \"0 A\" holds no TAB between the time and the take suffix"},
             {std::string("k\n\0j\n", 5), two, rc, "", ">> base.txt line 2 holds a NUL byte"},
             {"k\n", two, "xf_all\t0:05\t1\n", "", ">> tavlinrc.txt line 1: \"0:05\" is not a crossfade length in milliseconds, exiting\n"
                                                   ">> Write entries as xf_all"},
             {"k\n", two, "xf_all\t12,7\t1\n", "", ">> tavlinrc.txt line 1: \"12,7\" is not a crossfade length"},
             {"k\n", two, "xf_all\t10\t0x1\n", "", ">> tavlinrc.txt line 1: \"0x1\" is not a crossfade type"},
             {"k\n", two, "xf_tr\t1\t10\t2.9\n", "", ">> tavlinrc.txt line 1: \"2.9\" is not a crossfade type"},
             {"k\n", two, "xf_tr\t1\t80\nxf_all\t30\t3\n", "", ">> tavlinrc.txt line 1 ends inside an xf_tr entry"},
             {"k\n", two, "xf_all 50 1\n", "", ">> tavlinrc.txt line 1: \"xf_all 50 1\" is not a crossfade entry"},
             {"", two, rc, "", ">> Cannot find file base.txt that holds your base file names, exiting\n\n"},
             {"k\n", "", rc, "", ">> Cannot find file points.txt that holds your edits, exiting\n\n"}}) {
        Job(c.bases, c.points, c.rc);
        if (c.message.find("base file names") != std::string::npos)
            remove("base.txt");
        if (c.message.find("your edits") != std::string::npos)
            remove("points.txt");
        auto before = Folder();
        Ran r = Run_Tool(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(Folder(), before) << c.message;
    }
    // Without a run-control file, a refused job leaves no template behind; a points.txt
    // that is a FIFO is refused without waiting for a writer.
    Job("k\n", "0\tA\n1,5\tA\n", "");
    remove("tavlinrc.txt");
    EXPECT_EQ(Run_Tool().status, 1);
    EXPECT_FALSE(Exists("tavlinrc.txt"));
    remove("points.txt");
    ASSERT_EQ(mkfifo("points.txt", 0644), 0);
    Ran fifo = Shell("timeout 10 " + std::string(TAVLIN2A));
    EXPECT_EQ(fifo.status, 1);
    EXPECT_NE(fifo.output.find(">> Cannot read points.txt (not a regular file), exiting\n"), std::string::npos) << fifo.output;
    remove("points.txt");
    Job("", two, rc);  // no track at all: nothing to refuse
    Ran r = Run_Tool();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Planning to build 0 tracks using 2 edit points.\n\nCrossfade Matrix:\n"
                            "track\tlength\ttype\n\n\nDone\n\n"), std::string::npos) << r.output;
}

TEST_F(Tool, ATakeThatChangesDuringTheBuildEndsItWithALineAndNoOutput)
{
    // The tool is held as soon as it reports the first edit of the long first track,
    // the second track's take is removed or cut short, and it goes on. The first track's
    // takes are sparse and 500 s long, so that it is still being built when held.
    Job("big\nb\n", "0\tA\n1\tB\n500\tB\n", "");
    for (std::string big : {"bigA.wav", "bigB.wav"}) {
        Write_Take(big, 5, 44100, 24, 2, 0);
        Spit(big, Slurp(big).replace(40, 4, Le32(22050000 * 6)));
        ASSERT_EQ(truncate(big.c_str(), 44 + 22050000LL * 6), 0);
    }
    Write_Take("bB.wav", 4, 44100, 24, 2, 100000);
    Write_Take("bA.wav", 3, 44100, 24, 2, 100000);
    std::string take = Slurp("bA.wav");
    for (bool remove_it : {true, false}) {
        Spit("bA.wav", take);
        Ran r = Run_Acting(TAVLIN2A, "edits: ", 1, [&](pid_t pid) {
            kill(pid, SIGSTOP);
            remove_it ? (void)remove("bA.wav") : Spit("bA.wav", take.substr(0, 44 + 6 * 1000));
            kill(pid, SIGCONT);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("Building to b_bld.wav\nedits: 1 >> " +
                                std::string(remove_it ? "Cannot open bA.wav (No such file or directory)"
                                                      : "Take bA.wav holds fewer frames than when the job was planned")),
                  std::string::npos) << r.output;
        EXPECT_EQ(std::filesystem::file_size("big_bld.wav"), 44u + 22050000 * 6);
        for (const auto& [name, bytes] : Folder())
            EXPECT_TRUE(name.rfind("b_", 0) != 0 && name.rfind(".tavlin", 0) != 0) << name << " was left";
    }
}
