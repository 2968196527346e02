// The tool run as a user runs it, in a folder of its own: whole builds checked frame
// by frame, sox reading what we write (and us reading what sox writes), refusals
// that leave the folder as it was, and a take that changes in the middle of a build.
#include <csignal>
#include <filesystem>
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
    Ran r = Run_Tool("two arguments");  // ignored: the default suffix stays
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
                            "Crossfade failed.\n4 \n\nDone"), std::string::npos) << r.output;
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
             {"k\n", "0\tA\r\n1\tA\r\n", rc, "", ">> Cannot find file called kA\\x0D.wav, exiting\n"},
             {"k\n", "0\tA\n1\tR\n", rc, "", ">> Samplerate mismatch among k takes, exiting\n"},
             {"k\n", "0\tA\n1\tW\n", rc, "", ">> Bit format mismatch among k takes, exiting\n"},
             {"k\n", "0\tA\n1\tS\n", rc, "", ">> Mono-stereo mismatch among k takes, exiting\n"},
             {"k\n", "0\tA\n1\tT\n2\tA\n", rc, "", "Edit 2 failed.  The take ends before the edit point.\nOutput files were not built\n"},
             {"k\n", "0\tA\n1\tF\n", rc, "", ">> Take kF.wav is not integer PCM"},
             {"k\n", "0\tA\n1e6\tA\n", rc, "", ">> Edit 2 lies beyond the frames a WAV file can address"},
             {"k\n", two, "xf_tr\t1\t10\t7\n", "", ">> Track 1 has crossfade type 7; the types are 0 to 4"},
             {"k\n", two, "xf_all\t-5\t1\n", "", ">> Track 1 has a negative crossfade length"},
             {"k\n", two, rc, "A.wav", ">> Output file kA.wav would overwrite a file this job reads"},
             {"base\n", "0\t.txt\n1\t.txt\n", rc, ".txt", ">> Output file base.txt would overwrite"},
             {"xfade_\n", "0\ttemp\n1\ttemp\n", rc, "", ">> A take may not be called xfade_temp.wav"},
             {"k\n", two, rc, std::string(64, 's'), ">> The output suffix is longer than 63 characters"},
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
    Job("", two, rc);  // no track at all: nothing to refuse
    Ran r = Run_Tool();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Planning to build 0 tracks using 2 edit points.\n\nCrossfade Matrix:\n"
                            "track\tlength\ttype\n\n\nDone\n\n"), std::string::npos) << r.output;
}

TEST_F(Tool, ATakeThatChangesDuringTheBuildEndsItWithALineAndNoOutput)
{
    // The tool is held as soon as it reports the first edit of the long first track,
    // the second track's take is removed or cut short, and it goes on.
    Job("big\nb\n", "0\tA\n1\tB\n30\tB\n", "");
    Write_Take("bigA.wav", 5, 44100, 24, 2, 1400000);
    Write_Take("bigB.wav", 6, 44100, 24, 2, 1400000);
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
        EXPECT_EQ(Slurp("big_bld.wav").size(), 44u + 1323000 * 6);
        for (const auto& [name, bytes] : Folder())
            EXPECT_TRUE(name.rfind("b_", 0) != 0 && name.rfind(".tavlin", 0) != 0) << name << " was left";
    }
}
