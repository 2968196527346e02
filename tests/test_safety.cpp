// Faults that could cost a user a recording, one row each: every input, and every
// output an earlier run left, must come out of a refused, failed or killed run
// byte for byte as it went in; outputs appear only whole.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <set>

#include "helpers.h"

namespace {

bool Is_Partial(const std::string& name) { return fs::path(name).filename().string().rfind(".tavlin-partial.", 0) == 0; }

// The fault, its setup on top of the standard job and old outputs, the command ("": the
// tool), its status (or 128 + signal) and a text its output holds, what acts on it (held)
// once track b is being built, the outputs that must equal a clean build, further checks.
struct Row {
    const char* fault; std::function<void()> setup; std::string command; int status; std::string line;
    std::function<void(pid_t)> act = nullptr; std::vector<std::string> rebuilt = {}; std::function<void()> after = nullptr;
};

}  // namespace

using Safety = InFolder;

TEST_F(Safety, NoRunLosesARecording)
{
    const std::string tool = TAVLIN2A;
    // Track a is short; track b runs 300 s (79 MB: audio for 30 s, silence after, the rest
    // of its takes sparse), long enough to be caught in the middle however fast it builds.
    std::map<std::string, std::string> takes;
    for (auto [name, id, rate, bits, channels, frames] : {std::tuple{"aA.wav", 1, 8000, 16, 1, 16000},
                                                           {"aB.wav", 2, 8000, 16, 1, 16000},
                                                           {"bA.wav", 3, 44100, 24, 2, 1400000},
                                                           {"bB.wav", 4, 44100, 24, 2, 1400000}}) {
        Write_Take(name, id, rate, bits, channels, frames);
        if (rate == 44100) {
            Spit(name, Slurp(name).replace(40, 4, Le32(13300000 * 6)));
            ASSERT_EQ(truncate(name, 44 + 13300000LL * 6), 0);
        }
        takes[name] = Slurp(name);
    }
    auto job = [](const std::string& bases) {
        Spit("base.txt", bases), Spit("points.txt", "0\tA\n1\tB\n300\tB\n"), Spit("tavlinrc.txt", "xf_all\t10\t1\n");
    };
    job("a\nb\n");
    ASSERT_EQ(Run_Tool().status, 0);
    const std::map<std::string, std::string> clean{{"a_bld.wav", Slurp("a_bld.wav")}, {"b_bld.wav", Slurp("b_bld.wav")}};
    ASSERT_EQ(clean.at("b_bld.wav").size(), 44u + 13230000 * 6);

    auto copy_takes = [&](const std::string& base) {
        Spit(base + "A.wav", takes["aA.wav"]), Spit(base + "B.wav", takes["aB.wav"]);
    };
    auto signal = [](int sig) { return [sig](pid_t pid) { kill(pid, sig); }; };
    auto no_partial = [] {
        for (const auto& [name, bytes] : Snapshot())
            EXPECT_FALSE(Is_Partial(name)) << name;
    };
    const std::vector<std::string> both{"a_bld.wav", "b_bld.wav"}, a{"a_bld.wav"};
    bool can_mount = Shell("unshare -m sh -c 'mount -t tmpfs -o size=1m tmpfs /mnt'").status == 0;

    for (const Row& row : std::vector<Row>{
             {"killed (SIGKILL) while a track is built", nullptr, "", 128 + SIGKILL, "Building to b_bld.wav",
              signal(SIGKILL), a,
              [&] {  // at most a hidden partial remains, and the next run removes it
                  ASSERT_EQ(Run_Tool().status, 0);
                  no_partial();
                  EXPECT_TRUE(Slurp("b_bld.wav") == clean.at("b_bld.wav"));
              }},
             {"terminated (SIGTERM)", nullptr, "", 128 + SIGTERM, "Building to b_bld.wav", signal(SIGTERM), a, no_partial},
             {"interrupted (SIGINT)", nullptr, "", 128 + SIGINT, "Building to b_bld.wav", signal(SIGINT), a, no_partial},
             {"hung up (SIGHUP)", nullptr, "", 128 + SIGHUP, "Building to b_bld.wav", signal(SIGHUP), a, no_partial},
             {"a write fails in the middle of a track (disk full)", nullptr, "", 1, ">> Cannot write .tavlin-partial.b_bld.wav.",
              [](pid_t pid) {
                  rlimit limit{100 * 1024, 100 * 1024};
                  prlimit(pid, RLIMIT_FSIZE, &limit, nullptr);
              }, a, no_partial},
             {"an output over the file-size limit", nullptr, "bash -c 'ulimit -f 500; exec " + tool + "'", 1,
              ">> Output file b_bld.wav would be 79380044 bytes, over the file-size limit of 512000 bytes"},
             {"output name is a link to a take", [] { remove("a_bld.wav"), fs::create_symlink("aA.wav", "a_bld.wav"); },
              "", 1, ">> Output file a_bld.wav is the same file as aA.wav, which this job reads"},
             {"output name is a hard link to a take", [] { remove("b_bld.wav"), fs::create_hard_link("bA.wav", "b_bld.wav"); },
              "", 1, ">> Output file b_bld.wav is the same file as bA.wav, which this job reads"},
             {"base name ./base with suffix .txt", [&] { job("./base\n"), copy_takes("base"); }, tool + " .txt", 1,
              ">> Output file ./base.txt is the same file as base.txt, which this job reads"},
             {"a suffix through a folder names a take", [] { fs::create_directory("a_x"); }, tool + " _x/../aA.wav", 1,
              ">> Output file a_x/../aA.wav is the same file as aA.wav, which this job reads"},
             {"two base names for one file", [&] { job("a\n./a\n"); }, "", 1,
              ">> Output files a_bld.wav and ./a_bld.wav are the same file"},
             {"xfade_temp.wav links to a take", [] { fs::create_symlink("aA.wav", "xfade_temp.wav"); }, "", 1,
              ">> The crossfade file xfade_temp.wav is the same file as aA.wav, which this job reads"},
             {"xfade_temp.wav and an output link to files elsewhere",
              [] {
                  fs::create_directory("elsewhere");
                  Spit("elsewhere/keep.wav", "not to be written"), Spit("elsewhere/keep_too.wav", "nor this");
                  fs::create_symlink("elsewhere/keep.wav", "xfade_temp.wav");
                  remove("a_bld.wav"), fs::create_symlink("elsewhere/keep_too.wav", "a_bld.wav");
              },
              "", 0, "\n\nDone\n", nullptr, both,
              [&] {  // the links were replaced; and outputs build in subfolders too
                  EXPECT_FALSE(fs::is_symlink(fs::symlink_status("xfade_temp.wav")));
                  fs::create_directory("a_o"), fs::create_directory("b_o");
                  ASSERT_EQ(Run_Tool("_o/out.wav").status, 0);
                  EXPECT_TRUE(Slurp("a_o/out.wav") == clean.at("a_bld.wav") && Slurp("b_o/out.wav") == clean.at("b_bld.wav"));
                  no_partial();
              }},
             {"base name ./xfade with suffix _temp.wav", [&] { job("./xfade\n"), copy_takes("xfade"); }, tool + " _temp.wav", 1,
              ">> Output file ./xfade_temp.wav is the same file as xfade_temp.wav, the crossfade file"},
             {"two runs in one folder", nullptr, "", 0, "\n\nDone\n", [](pid_t) {
                  Ran second = Run_Tool("_mix.wav");
                  EXPECT_EQ(second.status, 1);
                  EXPECT_NE(second.output.find(">> Another run is working in this folder"), std::string::npos) << second.output;
              }, both},
             {"a take is a FIFO", [] { remove("bB.wav"), mkfifo("bB.wav", 0644); }, "timeout 10 " + tool, 1,
              ">> Take bB.wav is not a regular file (a FIFO)"},
             {"xfade_temp.wav is a folder", [] { fs::create_directory("xfade_temp.wav"); }, "", 1,
              ">> The crossfade file xfade_temp.wav exists and is not a regular file (a folder)"},
             {"an output folder is missing", [] { fs::create_directory("a_o"); }, tool + " _o/out.wav", 1,
              ">> The folder of output file b_o/out.wav cannot be used (b_o: No such file or directory)"},
             {"a file system without room for a track", [] { fs::create_directory("a_d"), fs::create_directory("b_d"); },
              "unshare -m sh -c 'mount -t tmpfs -o size=4m tmpfs b_d && exec " + tool + " _d/out.wav'", 1,
              ">> Not enough free space for b_d/out.wav"}}) {
        SCOPED_TRACE(row.fault);
        if (row.command.rfind("unshare", 0) == 0 && !can_mount) {
            std::cout << "skipped (no tmpfs mount here): " << row.fault << "\n";
            continue;
        }
        // The standard job, the takes as made, and outputs an earlier run left.
        for (const auto& e : fs::directory_iterator("."))
            if (!takes.count(e.path().filename().string()) || !fs::is_regular_file(fs::symlink_status(e.path())))
                fs::remove_all(e.path());
        for (const auto& [name, bytes] : takes)
            if (!fs::exists(name))
                Spit(name, bytes);
        job("a\nb\n");
        Spit("a_bld.wav", "an earlier run's a"), Spit("b_bld.wav", "an earlier run's b");
        if (row.setup)
            row.setup();
        auto before = Snapshot();

        std::function<void(pid_t)> stopped;
        if (row.act)
            stopped = [&](pid_t pid) { kill(pid, SIGSTOP), row.act(pid), kill(pid, SIGCONT); };
        Ran r = Run_Acting(row.command.empty() ? tool : row.command, "Building to", 2, stopped);
        EXPECT_EQ(r.status, row.status) << r.output;
        EXPECT_NE(r.output.find(row.line), std::string::npos) << r.output;

        auto after = Snapshot();
        // A run that built something may leave the crossfade file, as documented.
        std::set<std::string> may_change(row.rebuilt.begin(), row.rebuilt.end());
        if (!row.rebuilt.empty())
            may_change.insert("xfade_temp.wav");
        for (const auto& name : row.rebuilt)
            EXPECT_TRUE(after[name] == clean.at(name)) << name << " is not a whole build";
        for (const auto& [name, bytes] : before)
            EXPECT_TRUE(may_change.count(name) || (after.count(name) && after[name] == bytes)) << name << " changed";
        for (const auto& [name, bytes] : after)
            EXPECT_TRUE(before.count(name) || may_change.count(name) || (row.status == 128 + SIGKILL && Is_Partial(name)))
                << name << " appeared";
        if (row.after)
            row.after();
    }
}
