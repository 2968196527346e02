// The edit checks: each flags what an editor would hear, with the figure worked out here
// from the takes' own samples; a job that raises no flag says what it always said; a
// flag never changes an output byte.
#include <cmath>

#include "helpers.h"

namespace {

constexpr int RATE = 48000;
constexpr int64_t CUT = 48000;  // the edit point at 1 s

// The level of the take at `path` over 100 ms around the cut (longer than any crossfade here), in dBFS.
double Level(const std::string& path)
{
    std::string take = Slurp(path);
    double sum = 0;
    for (int64_t f = CUT - RATE / 20; f < CUT + RATE / 20; f++)
        sum += std::pow(Sample_In(take, f, 0, 16, 1) / 32768.0, 2);
    return 20 * std::log10(std::sqrt(sum / (RATE / 10)));
}

std::string Decimal(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

Wav_Value Sine(double amplitude, double hz = 440, int64_t peak_at = 0)
{
    return [=](int64_t f, int) { return amplitude * std::cos(2 * M_PI * hz * (double)(f - peak_at) / RATE); };
}

}  // namespace

using Checks = InFolder;

TEST_F(Checks, EachCheckFlagsWhatAnEditorWouldHearAndChangesNoOutputByte)
{
    // A job of track k (and m for the length row): take A to 1 s, take B after it.
    struct Row {
        const char* name;
        Wav_Value a, b;
        std::string rc;
        int64_t m_frames;  // take B's frames on a second track m; 0: no such track
        // What the run and the dry run's table say, from the takes as written; nullptr: no flag.
        std::function<std::pair<std::string, std::string>()> says;
    };
    auto click = [] {
        double step = std::fabs(Sample_At("kA.wav", CUT - 1, 0, 16, 1) - Sample_At("kB.wav", CUT, 0, 16, 1));
        return std::pair{std::string("1 edit may click at a hard cut (edit 2 on k); -n lists it\n"),
                         "edit 2\tk\tclick at a hard cut\tstep of " + Decimal(20 * std::log10(step / 32768)) +
                             " dBFS\n"};
    };
    const std::vector<Row> rows = {
        {"a hard cut from a sine at its peak into silence", Sine(0.5, 1000, CUT - 1), Sine(0), "", 0, click},
        {"the same cut with a crossfade", Sine(0.5, 1000, CUT - 1), Sine(0), "xf_all\t10\t1\n", 0, nullptr},
        {"the same cut with a crossfade too short to mix a frame", Sine(0.5, 1000, CUT - 1), Sine(0),
         "xf_all\t0.01\t1\n", 0, click},
        {"takes of one sine 4 dB apart", Sine(0.5), Sine(0.5 * std::pow(10.0, -4 / 20.0)), "xf_all\t10\t1\n", 0,
         [] {
             double a = Level("kA.wav"), b = Level("kB.wav");
             return std::pair{std::string("1 edit jumps in level between its takes (edit 2 on k); -n lists it\n"),
                              "edit 2\tk\tlevel jump\t" + Decimal(std::fabs(a - b)) + " dB (A " + Decimal(a) +
                                  " dBFS, B " + Decimal(b) + " dBFS)\n"};
         }},
        {"a quiet passage under -50 dBFS", Sine(0.002), Sine(0.0005), "xf_all\t10\t1\n", 0, nullptr},
        {"take B 10 ms shorter on track m", Sine(0.5), Sine(0.5), "xf_all\t10\t1\n", 2 * RATE - 480,
         [] {
             return std::pair{std::string("1 take is shorter on some tracks than on others (B on m); -n lists it\n"),
                              std::string("take B\tm\tlength\t1.990 s, where k has 2.000 s\n")};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& e : fs::directory_iterator("."))
            fs::remove_all(e.path());
        Write_Wav("kA.wav", RATE, 16, false, 1, 2 * RATE, row.a);
        Write_Wav("kB.wav", RATE, 16, false, 1, 2 * RATE, row.b);
        if (row.m_frames > 0) {
            Write_Wav("mA.wav", RATE, 16, false, 1, 2 * RATE, row.a);
            Write_Wav("mB.wav", RATE, 16, false, 1, row.m_frames, row.b);
        }
        Spit("base.txt", row.m_frames > 0 ? "k\nm\n" : "k\n"), Spit("points.txt", "0\tA\n1\tB\n1.5\tB\n");
        Spit("tavlinrc.txt", row.rc);
        auto [line, table] = row.says ? row.says() : std::pair{std::string(), std::string()};

        Ran dry = Run_Tool("-n"), dry_off = Run_Tool("-n --checks=off");
        ASSERT_EQ(dry.status, 0) << dry.output;
        Ran off = Run_Tool("--checks=off");
        ASSERT_EQ(off.status, 0) << off.output;
        const auto built_off = Snapshot();  // the outputs, and every other file the run leaves
        // Where no thread can be started the checks run after the build, and say the same.
        Ran lone = Shell(Interposed({{"TAVLIN_TEST_THREADS", "0"}}));
        ASSERT_EQ(lone.status, 0) << lone.output;
        EXPECT_TRUE(Snapshot() == built_off) << "changed with the checks after the build";
        Ran on = Run_Tool();
        ASSERT_EQ(on.status, 0) << on.output;
        EXPECT_EQ(lone.output, "[interposer: no thread]\n" + on.output);
        EXPECT_TRUE(Snapshot() == built_off) << "changed with the checks on";
        if (line.empty()) {
            EXPECT_EQ(dry.output, dry_off.output);
            EXPECT_EQ(on.output, off.output);
            continue;
        }
        EXPECT_NE(dry.output.find(line), std::string::npos) << line << dry.output;
        EXPECT_NE(dry.output.find("\nEdit checks (flagged only):\nwhere\ttrack\tcheck\tfigure\n" + table),
                  std::string::npos) << table << dry.output;
        EXPECT_NE(on.output.find("\n\n" + line), std::string::npos) << on.output;  // after the last progress row
        EXPECT_EQ(on.output.find("Edit checks"), std::string::npos);  // the table is the dry run's
        // The report marks it in the legend's words: a flagged edit with a key, in the plan
        // and in its panel; a short take in a list.
        ASSERT_EQ(Run_Tool("-nq --report r.html").status, 0);
        std::string report = Slurp("r.html");
        std::vector<std::string> marks{"<i class=\"flag\"></i>flagged by the edit checks</li>", "<path class=\"flag\" d=\"M",
                                       "<p class=\"flag\">flagged by the edit checks: "};
        if (row.m_frames > 0)
            marks = {"(flagged by the edit checks):</p>\n<ul class=\"warnings\">\n<li>B on m: 1.990 s, where k has 2.000 s</li>"};
        for (const std::string& mark : marks)
            EXPECT_NE(report.find(mark), std::string::npos) << mark;
    }
}

TEST_F(Checks, ThresholdsAreTheUsersToSet)
{
    // Take B is take A 2 dB down and upside down: a step of about -15 dBFS, flagged at the
    // default -30, not at --click-db -10; not flagged as a level jump at the default 3 dB,
    // flagged at --match-db 1.5.
    Write_Wav("kA.wav", RATE, 16, false, 1, 2 * RATE, Sine(0.1, 1000, CUT - 1));
    Write_Wav("kB.wav", RATE, 16, false, 1, 2 * RATE, Sine(-0.1 * std::pow(10.0, -2 / 20.0), 1000, CUT - 1));
    Spit("base.txt", "k\n"), Spit("points.txt", "0\tA\n1\tB\n1.5\tB\n"), Spit("tavlinrc.txt", "");
    struct Row { std::string args; bool click, level; };
    for (const Row& row : std::vector<Row>{{"", true, false}, {"--click-db -10", false, false},
                                           {"--match-db 1.5", true, true}, {"--checks=off --match-db 1", false, false}}) {
        Ran r = Run_Tool("-n " + row.args);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("may click") != std::string::npos, row.click) << row.args << r.output;
        EXPECT_EQ(r.output.find("jumps in level") != std::string::npos, row.level) << row.args << r.output;
    }
    for (std::string args : {"--click-db loud", "--match-db -1", "--checks=maybe", "--match-db 0x3"})
        EXPECT_EQ(Run_Tool("-n " + args).status, 2) << args;
}
