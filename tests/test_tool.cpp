// The tool run as a user runs it, in a folder of its own: whole builds checked frame
// by frame, sox reading what we write (and us reading what sox writes), and every
// refusal leaving the folder exactly as it was.
#include <sys/wait.h>

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

// sox must read the file without a warning.
void Expect_Sox_Reads(const std::string& path)
{
    FILE* p = popen(("sox '" + path + "' -n stat 2>&1; echo status=$?").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    EXPECT_NE(out.find("status=0"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARN"), std::string::npos) << out;
}

void Job(const std::string& bases, const std::string& points, const std::string& rc)
{
    Spit("base.txt", bases);
    Spit("points.txt", points);
    if (!rc.empty())
        Spit("tavlinrc.txt", rc);
}

// Expects output frames [from, to) of `out` to equal the same frames of take `take`
// (or silence for take 0).
void Expect_Frames(const std::string& out, int64_t from, int64_t to, int take, int bits, int channels)
{
    for (int64_t f = from; f < to; f++)
        for (int c = 0; c < channels; c++)
            ASSERT_EQ(Sample_In(out, f, c, bits, channels), take ? Sample(take, f, c, bits) : 0)
                << "frame " << f << " channel " << c << " take " << take;
}

}  // namespace

using Tool = InFolder;

TEST_F(Tool, TheRoadOfOneJob)
{
    Job("kick\n", "0\ttake1\n30\ttake2\n60\ttake2\n", "xf_all\t10\t1\n");
    Write_Take("kicktake1.wav", 1, 44100, 24, 2, 2700000);
    Write_Take("kicktake2.wav", 2, 44100, 24, 2, 2700000);
    RunResult r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "\nTavlin 2.00 by Quelloran\n\nPlanning to build 1 tracks using 3 edit points.\n\n"
              "Crossfade Matrix:\ntrack\tlength\ttype\n1\t10.0\t1\n\n\nBuilding to kick_bld.wav\n"
              "edits: 1 2 3 \n\nDone\n\n");
    std::string out = Slurp("kick_bld.wav");
    ASSERT_EQ(out.size(), 44u + 2646000 * 6);
    EXPECT_EQ(out.substr(40, 4), Le32(2646000 * 6));
    Expect_Frames(out, 0, 1322780, 1, 24, 2);
    EXPECT_EQ(Sample_In(out, 1322780, 0, 24, 2), Sample(1, 1322780, 0, 24));  // t = 0
    EXPECT_NE(Sample_In(out, 1323000, 0, 24, 2), Sample(2, 1323000, 0, 24));
    Expect_Frames(out, 1323221, 2646000, 2, 24, 2);
    EXPECT_FALSE(Exists("xfade_temp.wav"));
    Expect_Sox_Reads("kick_bld.wav");
}

TEST_F(Tool, HardCutsLeadInTailPadAndReplacedOutputs)
{
    Job("gtr\n", "0.5\tA\n1\tB\n2\tA\n", "");
    Write_Take("gtrA.wav", 1, 8000, 16, 1, 16000);
    Write_Take("gtrB.wav", 2, 8000, 16, 1, 12000);  // ends 0.5 s inside its segment
    Spit("gtr_bld.wav", std::string(100000, 'x'));
    RunResult r = Run_Tool();
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
    // 10000 Hz: the edit at 10 s is frame 100000; 44.15 ms is 441 frames. The edit at
    // 0.02 s (frame 200) is too close to the start for a crossfade.
    Job("dr\nbs\n", "0\tA\n0.02\tB\n10\tA\n12\tA\n", "xf_all\t44.15\t2\n");
    for (const char* base : {"dr", "bs"}) {
        Write_Take(std::string(base) + "A.wav", 1, 10000, 24, 1, 120000);
        Write_Take(std::string(base) + "B.wav", 2, 10000, 24, 1, base[0] == 'd' ? 120000 : 60000);
    }
    RunResult r = Run_Tool("_mix.wav");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Building to bs_mix.wav\nedits: 1 2 3 Invalid crossfade for destination file\n"
                            "Crossfade failed.\n4 \n\nDone"), std::string::npos) << r.output;
    std::string dr = Slurp("dr_mix.wav");
    Expect_Frames(dr, 0, 200, 1, 24, 1);
    Expect_Frames(dr, 200, 99781, 2, 24, 1);  // the mix starts with the previous take's frame
    for (int64_t f = 99781; f <= 100220; f++)
        EXPECT_NE(Sample_In(dr, f, 0, 24, 1), Sample(2, f, 0, 24)) << f;
    Expect_Frames(dr, 100221, 120000, 1, 24, 1);
    // bs: take B runs out at 60000, so the fade into A fails: a hard cut after silence.
    std::string bs = Slurp("bs_mix.wav");
    Expect_Frames(bs, 0, 200, 1, 24, 1);
    Expect_Frames(bs, 200, 60000, 2, 24, 1);
    Expect_Frames(bs, 60000, 100000, 0, 24, 1);
    Expect_Frames(bs, 100000, 120000, 1, 24, 1);
    EXPECT_FALSE(Exists("xfade_temp.wav"));
    Expect_Sox_Reads("dr_mix.wav");
}

TEST_F(Tool, TakesWrittenBySoxBuildExactly)
{
    ASSERT_EQ(system("sox -n -r 48000 -b 24 -c 2 vA.wav synth 2 sine 440 sine 550 vol 0.7 && "
                     "sox -n -r 48000 -b 24 -c 2 vB.wav synth 2 sine 660 sine 770 vol 0.7 && "
                     "sox vA.wav -t raw vA.raw && sox vB.wav -t raw vB.raw"), 0);
    Job("v\n", "0\tA\n1\tB\n2\tB\n", "xf_all\t0\t0\n");
    RunResult r = Run_Tool();
    ASSERT_EQ(r.status, 0) << r.output;
    std::string out = Slurp("v_bld.wav");
    ASSERT_EQ(out.size(), 44u + 96000 * 6);
    EXPECT_EQ(out.substr(44, 48000 * 6), Slurp("vA.raw").substr(0, 48000 * 6));
    EXPECT_EQ(out.substr(44 + 48000 * 6), Slurp("vB.raw").substr(48000 * 6));
    Expect_Sox_Reads("v_bld.wav");
}

TEST_F(Tool, RefusalsSayWhatIsWrongAndChangeNothing)
{
    struct Case { std::string bases, points, rc, args, message; };
    const std::string ok_rc = "xf_all\t10\t1\n";
    const Case cases[] = {
        {"k\n", "0\tA\n5\tA\n3\tA\n", ok_rc, "", ">> Edit 3 is out of sequence, exiting\n"},
        {"k\n", "-1\tA\n-0.5\tA\n", ok_rc, "", ">> Edit 2 has a negative time"},
        {"k\n", "0\tA\n", ok_rc, "", ">> points.txt holds 1 edit point; at least two are needed"},
        {"k\n", "0\tA\n1\tC\n", ok_rc, "", ">> Cannot find file called kC.wav, exiting\n"},
        {"k\n", "0\tA\n1\tR\n", ok_rc, "", ">> Samplerate mismatch among k takes, exiting\n"},
        {"k\n", "0\tA\n1\tW\n", ok_rc, "", ">> Bit format mismatch among k takes, exiting\n"},
        {"k\n", "0\tA\n1\tS\n", ok_rc, "", ">> Mono-stereo mismatch among k takes, exiting\n"},
        {"k\n", "0\tA\n1\tT\n2\tA\n", ok_rc, "", "Edit 2 failed.  The take ends before the edit point.\nOutput files were not built\n"},
        {"k\n", "0\tA\n1\tF\n", ok_rc, "", ">> Take kF.wav is not integer PCM"},
        {"k\n", "0\tA\n1\tN\n", ok_rc, "", ">> Can't find data block in wave file, exiting\n"},
        {"k\n", "0\tA\n1e6\tA\n", ok_rc, "", ">> Edit 2 lies beyond the frames a WAV file can address"},
        {"k\n", "0\tA\n1\tA\n", "xf_tr\t1\t10\t7\n", "", ">> Track 1 has crossfade type 7; the types are 0 to 4"},
        {"k\n", "0\tA\n1\tA\n", "xf_all\t-5\t1\n", "", ">> Track 1 has a negative crossfade length"},
        {"k\n", "0\tA\n1\tA\n", ok_rc, "A.wav", ">> Output file kA.wav would overwrite a file this job reads"},
        {"base\n", "0\t.txt\n1\t.txt\n", ok_rc, ".txt", ">> Output file base.txt would overwrite"},
        {"xfade_\n", "0\ttemp\n1\ttemp\n", ok_rc, "", ">> A take may not be called xfade_temp.wav"},
        {"k\n", "0\tA\n1\tA\n", ok_rc, std::string(64, 's'), ">> The output suffix is longer than 63 characters"},
        {"k\n", "0\tA\n1\tA\n", "", "", ">> Cannot find file base.txt that holds your base file names, exiting\n\n"},
        {"k\n", "", ok_rc, "", ">> Cannot find file points.txt that holds your edits, exiting\n\n"},
    };
    Write_Take("kA.wav", 1, 44100, 24, 2, 50000);
    Write_Take("kR.wav", 1, 48000, 24, 2, 50000);
    Write_Take("kW.wav", 1, 44100, 16, 2, 50000);
    Write_Take("kS.wav", 1, 44100, 24, 1, 50000);
    Write_Take("kT.wav", 1, 44100, 24, 2, 44000);
    Spit("kF.wav", Slurp("kA.wav").replace(20, 2, Le16(3)));
    Spit("kN.wav", Slurp("kA.wav").replace(36, 4, "dat?"));
    Write_Take("baseA.wav", 1, 44100, 24, 2, 50000);
    for (const Case& c : cases) {
        remove("base.txt"), remove("points.txt"), remove("tavlinrc.txt");
        if (c.message.find("base file names") == std::string::npos)
            Spit("base.txt", c.bases);
        if (c.message.find("your edits") == std::string::npos)
            Spit("points.txt", c.points);
        Spit("tavlinrc.txt", c.rc.empty() ? "\n" : c.rc);
        auto before = Folder();
        RunResult r = Run_Tool(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(Folder(), before) << c.message;
    }
}

TEST_F(Tool, ArgumentsAndEmptyJobs)
{
    Job("", "0\tA\n1\tA\n", "");
    RunResult r = Run_Tool();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Planning to build 0 tracks using 2 edit points.\n\nCrossfade Matrix:\n"
                            "track\tlength\ttype\n\n\nDone\n\n"), std::string::npos) << r.output;
    Job("k\n", "0\tA\n1\tA\n", "");
    Write_Take("kA.wav", 1, 8000, 16, 2, 8000);
    EXPECT_EQ(Run_Tool("_final.wav").status, 0);
    EXPECT_TRUE(Exists("k_final.wav"));
    EXPECT_EQ(Run_Tool("one two").status, 0);
    EXPECT_TRUE(Exists("k_bld.wav"));
    EXPECT_EQ(Slurp("k_bld.wav"), Slurp("k_final.wav"));
}

TEST_F(Tool, ACrossfadeNeverRunsPastTheDeclaredEnd)
{
    // At 1024 Hz: the last segment is 4 frames long; the 100-frame fade centred on
    // its start would reach 46 frames past the end of the track.
    Job("s\n", "0\tA\n1\tB\n1.00390625\tB\n", "xf_all\t97.65625\t2\n");
    Write_Take("sA.wav", 1, 1024, 16, 2, 2000);
    Write_Take("sB.wav", 2, 1024, 16, 2, 2000);
    ASSERT_EQ(Run_Tool().status, 0);
    std::string out = Slurp("s_bld.wav");
    EXPECT_EQ(out.size(), 44u + 1028 * 4);
    Expect_Frames(out, 0, 975, 1, 16, 2);
    Expect_Sox_Reads("s_bld.wav");
}

TEST_F(Tool, FaultsDuringTheBuildEndWithALineAndKeepFinishedOutputs)
{
    Job("a\nb\n", "0\tA\n1\tB\n2\tB\n", "xf_all\t10\t1\n");
    Write_Take("aA.wav", 1, 8000, 16, 1, 16000);
    Write_Take("aB.wav", 2, 8000, 16, 1, 16000);
    Write_Take("bA.wav", 3, 44100, 24, 2, 100000);
    Write_Take("bB.wav", 4, 44100, 24, 2, 100000);
    auto inputs = Folder();
    auto run = [](const std::string& script) {
        FILE* p = popen(("bash -c '" + script + "' 2>&1").c_str(), "r");
        std::string out;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        return std::make_pair(WEXITSTATUS(pclose(p)), out);
    };
    // A file-size limit (in KiB) that a's output fits and b's does not: a full disk.
    auto [status, out] = run(std::string("trap \"\" XFSZ; ulimit -f 100; exec ") + TAVLIN2A);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find(">> Cannot write b_bld.wav (disk full or file too large?), exiting\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Done"), std::string::npos);
    std::string a = Slurp("a_bld.wav");
    ASSERT_EQ(a.size(), 44u + 16000 * 2);
    Expect_Frames(a, 0, 7960, 1, 16, 1);
    Expect_Frames(a, 8040, 16000, 2, 16, 1);
    auto after = Folder();
    for (const auto& [name, bytes] : inputs)
        EXPECT_EQ(after[name], bytes) << name;

    // An output path that cannot be created, and a temp crossfade file that cannot.
    for (const char* blocked : {"b_bld.wav", "xfade_temp.wav"}) {
        remove("b_bld.wav");
        std::filesystem::create_directory(blocked);
        RunResult r = Run_Tool();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(std::string(">> Cannot open ") + blocked + " (Is a directory), exiting\n"),
                  std::string::npos) << r.output;
        std::filesystem::remove(blocked);
    }
    // A take removed after planning: the tool is stopped as soon as it reports its
    // first edit of the (long) first track, the take of the second goes, and it goes on.
    Job("big\nb\n", "0\tA\n1\tB\n30\tB\n", "");
    Write_Take("bigA.wav", 5, 44100, 24, 2, 1400000);
    Write_Take("bigB.wav", 6, 44100, 24, 2, 1400000);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_ends[1], 1);
        close(pipe_ends[0]);
        execl(TAVLIN2A, TAVLIN2A, (char*)nullptr);
        _exit(127);
    }
    close(pipe_ends[1]);
    out.clear();
    char buf[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buf, sizeof buf)) > 0;) {
        out.append(buf, (size_t)n);
        if (out.find("edits: ") != std::string::npos && Exists("bA.wav")) {
            kill(pid, SIGSTOP);
            remove("bA.wav");
            kill(pid, SIGCONT);
        }
    }
    close(pipe_ends[0]);
    int wait_status;
    waitpid(pid, &wait_status, 0);
    status = WEXITSTATUS(wait_status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("Building to b_bld.wav\nedits: 1 >> Cannot open bA.wav (No such file or directory), exiting\n"),
              std::string::npos) << out;
}
