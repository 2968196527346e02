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

// ---- faults forced at one exact point of a run ------------------------------------

namespace {

using Files = std::map<std::string, std::string>;

// Points of the small job: takes A from 0 s, B from 1 s, the end at 2 s.
const char SMALL_POINTS[] = "0\tA\n1\tB\n2\tB\n";

void Job(const std::string& bases, const std::string& points = SMALL_POINTS)
{
    Spit("base.txt", bases), Spit("points.txt", points), Spit("tavlinrc.txt", "xf_all\t10\t1\n");
}

void Old_Outputs(const std::string& folder = "")
{
    Spit(folder + "a_bld.wav", "an earlier run's a"), Spit(folder + "b_bld.wav", "an earlier run's b");
}

// A take: its fmt chunk, then `before_data` (whole chunks), the data chunk of Write_Take's
// samples, then `after_data`.
std::string Take_With(int id, int rate, int bits, int channels, int64_t frames, const std::string& before_data,
                      const std::string& after_data = "")
{
    Write_Take("take.tmp", id, rate, bits, channels, frames);
    std::string take = Slurp("take.tmp");
    remove("take.tmp");
    take.insert(36, before_data);
    take += after_data;
    return take.replace(4, 4, Le32((uint32_t)take.size() - 8));
}

// A bext chunk whose body of `bytes` bytes (no pad byte after it) starts with `description`.
std::string Bext(const std::string& description, uint32_t bytes)
{
    std::string body = description;
    body.resize(bytes, '\0');
    return "bext" + Le32(bytes) + body;
}

// The tool preloaded with the interposer, which acts once when a call of the kind named
// in `when` names the file given there: just before that call, or just after it.
std::string At(const std::string& when, const std::string& action, bool after = false)
{
    std::map<std::string, std::string> vars{{"TAVLIN_TEST_WHEN", when}, {"TAVLIN_TEST_DO", action}};
    if (after)
        vars["TAVLIN_TEST_AFTER"] = "1";
    return Interposed(vars);
}

// True when a line of `output` that holds ">> " names `file`.
bool Refusal_Names(const std::string& output, const std::string& file)
{
    for (size_t at = output.find(">> "); at != std::string::npos; at = output.find(">> ", at + 3)) {
        size_t end = output.find('\n', at);
        if (output.substr(at, end == std::string::npos ? end : end - at).find(file) != std::string::npos)
            return true;
    }
    return false;
}

// The small job in the test's folder: tracks a (8 kHz mono) and b (44.1 kHz 24-bit
// stereo), takes A and B of 2 s each. `clean` holds the outputs of a clean run; rows
// add the clean outputs of the jobs they make.
struct Small_Job {
    Files takes, clean;
};

Small_Job Make_Small_Job()
{
    Small_Job job;
    for (auto [name, id, rate, bits, channels] : {std::tuple{"aA.wav", 1, 8000, 16, 1}, {"aB.wav", 2, 8000, 16, 1},
                                                  {"bA.wav", 3, 44100, 24, 2}, {"bB.wav", 4, 44100, 24, 2}}) {
        Write_Take(name, id, rate, bits, channels, 2 * rate);
        job.takes[name] = Slurp(name);
    }
    Job("a\nb\n");
    EXPECT_EQ(Run_Tool().status, 0);
    job.clean = {{"a_bld.wav", Slurp("a_bld.wav")}, {"b_bld.wav", Slurp("b_bld.wav")}};
    return job;
}

// The fault, forced as its comment says, on top of the small job and old outputs: its
// setup, the command run in the test's folder and how it is run, the statuses a sound run
// may end with, a text its output holds, a file a ">> " line names; the outputs that end
// as whole builds (equal to a clean run's), the names the row changes itself (or checks in
// `after`), whether the run gets to build (xfade_temp.wav may then be left, holding a
// header, as after any build that ends on a hard cut), further checks. Every other file
// must come out as it went in, and no partial may be left.
struct Hazard {
    const char* fault;
    std::function<void()> setup;
    std::string command;
    std::set<int> status;
    std::string says = "";
    std::string names = "";
    std::vector<std::string> rebuilt = {};
    std::set<std::string> changed = {};
    bool builds = false;
    std::function<Ran(const std::string&)> run = Shell;
    std::function<void(const Ran&, const Files& before)> after = nullptr;
};

void Check_Hazards(const std::vector<Hazard>& rows, const Small_Job& job)
{
    const bool can_unshare = Shell("unshare --pid --fork --mount-proc true").status == 0;
    for (const Hazard& row : rows) {
        SCOPED_TRACE(row.fault);
        if (row.command.rfind("unshare", 0) == 0 && !can_unshare) {
            std::cout << "skipped (no PID namespace here): " << row.fault << "\n";
            continue;
        }
        for (const auto& e : fs::directory_iterator("."))
            fs::remove_all(e.path());
        for (const auto& [name, bytes] : job.takes)
            Spit(name, bytes);
        Job("a\nb\n"), Old_Outputs();
        if (row.setup)
            row.setup();
        if (::testing::Test::HasFatalFailure())
            return;
        const Files before = Snapshot();

        Ran r = row.run(row.command);
        if (row.command.find(TAVLIN_INTERPOSE) != std::string::npos) {
            EXPECT_NE(r.output.find("[interposer: "), std::string::npos) << "the fault was never forced\n" << r.output;
        }
        EXPECT_TRUE(row.status.count(r.status)) << "status " << r.status << "\n" << r.output;
        EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
        if (!row.names.empty()) {
            EXPECT_TRUE(Refusal_Names(r.output, row.names)) << "no \">> \" line names " << row.names << "\n" << r.output;
        }

        Files after = Snapshot();
        std::set<std::string> may_change(row.changed);
        for (const auto& name : row.rebuilt) {
            may_change.insert(name);
            EXPECT_TRUE(after[name] == job.clean.at(name)) << name << " is not a whole build";
        }
        for (const auto& [name, bytes] : before)
            EXPECT_TRUE(may_change.count(name) || (after.count(name) && after[name] == bytes)) << name << " changed";
        for (const auto& [name, bytes] : after) {
            bool scratch = row.builds && fs::path(name).filename() == "xfade_temp.wav";
            EXPECT_TRUE(before.count(name) || may_change.count(name) || scratch) << name << " appeared";
            EXPECT_FALSE(Is_Partial(name) && !before.count(name)) << name << " was left";
        }
        if (row.after)
            row.after(r, before);
    }
}

}  // namespace

TEST_F(Safety, NoSwapRaceSignalOrPipeCostsARecording)
{
    const std::string tool = TAVLIN2A, here = dir_;
    Small_Job job = Make_Small_Job();
    Files& clean = job.clean;
    auto held_and_closed = [](const std::string& command) { return Run_Held(command, nullptr, true); };
    auto unread = [](const std::string& command) { return Started(command, true).Wait(); };
    const std::vector<std::string> a{"a_bld.wav"};

    Check_Hazards(
        {
            // The folder of an output is swapped for another after the checks, and the output's
            // new build replaces a take there. Track 1 is dir/snare (dir a link to A), track 2
            // B/snare_b, so track 2's take B/snare_bld.wav is what dir/snare_bld.wav names once
            // dir points at B; the interposer points it there when track 1's partial is created.
            // B holds takes of track 1's names as well, so a run that goes on by the names
            // finds them. A sound run builds into A or refuses; no take is written.
            {"a folder swapped after the checks",
             [&] {
                 fs::create_directory("A"), fs::create_directory("B"), fs::create_directory_symlink("A", "dir");
                 int id = 11;
                 for (std::string take : {"A/snare_1", "A/snareld", "B/snare_1", "B/snareld", "B/snare_b_1", "B/snare_bld"})
                     Write_Take(take + ".wav", id++, 8000, 16, 1, 16000);
                 Job("dir/snare\nB/snare_b\n", "0\t_1\n1\tld\n2\tld\n");
                 ASSERT_EQ(Run_Tool().status, 0);
                 for (std::string out : {"A/snare_bld.wav", "B/snare_b_bld.wav"})
                     clean[out] = Slurp(out), Spit(out, "an earlier run's " + out);
                 remove("xfade_temp.wav");
             },
             At("create:.tavlin-partial.snare_bld.wav", "link B " + here + "/dir"), {0, 1}, "", "", {},
             {"dir", "A/snare_bld.wav", "B/snare_b_bld.wav"}, true, Shell,
             [&](const Ran& r, const Files& before) {
                 for (std::string out : {"A/snare_bld.wav", "B/snare_b_bld.wav"}) {
                     std::string now = Slurp(out);
                     if (r.status == 0)
                         EXPECT_TRUE(now == clean[out]) << out << " is not a whole build";
                     else
                         EXPECT_TRUE(now == clean[out] || now == before.at(out)) << out << " changed";
                 }
                 EXPECT_TRUE(r.status == 0 || r.output.find(">> ") != std::string::npos) << r.output;
             }},
            // The job folder, given with -C as a link, is repointed at another job folder when
            // the first partial is created: the outputs go to the folder the run entered.
            {"the folder given with -C repointed during the run",
             [&] {
                 for (std::string folder : {"J1/", "J2/"}) {
                     fs::create_directory(folder);
                     for (const auto& [name, bytes] : job.takes)
                         Spit(folder + name, bytes);
                     for (std::string file : {"base.txt", "points.txt", "tavlinrc.txt"})
                         fs::copy_file(file, folder + file);
                     Old_Outputs(folder);
                     clean[folder + "a_bld.wav"] = clean["a_bld.wav"], clean[folder + "b_bld.wav"] = clean["b_bld.wav"];
                 }
                 fs::create_directory_symlink("J1", "link");
             },
             At("create:.tavlin-partial.", "link J2 " + here + "/link") + " -C link", {0}, "\n\nDone\n", "",
             {"J1/a_bld.wav", "J1/b_bld.wav"}, {"link"}, true},
            // A take replaced after the probe by the same audio behind a header 110 bytes longer
            // (a LIST chunk before the data): copied from where the probe found the audio, the
            // output would begin with 110 bytes of header. The interposer renames the new take
            // over bB.wav when track b's partial is created.
            {"a take replaced after the probe by one with a longer header",
             [&] {
                 Spit("bB.new", Take_With(4, 44100, 24, 2, 88200, "LIST" + Le32(102) + "INFO" + std::string(98, 'x')));
                 ASSERT_EQ(fs::file_size("bB.new"), job.takes["bB.wav"].size() + 110);
             },
             At("create:.tavlin-partial.b_bld.wav", "rename bB.new bB.wav"), {1}, "", "bB.wav", a,
             {"bB.wav", "bB.new"}, true},
            // A take cut short after the probe exactly where its segment ends, at 1 s: every frame
            // of the segment is there, but the crossfade into B needs 5 ms more of it. The
            // interposer truncates bA.wav when track b's partial is created.
            {"a take cut short at an edit point after the probe", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "truncate bA.wav " + std::to_string(44 + 44100 * 6)), {1}, "",
             "bA.wav", a, {"bA.wav"}, true},
            // With -m, the take whose bext chunk the output carries is replaced after the probe
            // by one whose bext chunk says otherwise, when track a's partial is created.
            {"a carried chunk changed after the probe",
             [&] {
                 Spit("aA.wav", Take_With(1, 8000, 16, 1, 16000, Bext("Scene 4, take A", 602)));
                 Spit("aA.new", Take_With(1, 8000, 16, 1, 16000, Bext("Scene 5, take A", 602)));
             },
             At("create:.tavlin-partial.a_bld.wav", "rename aA.new aA.wav") + " -m", {1}, "", "aA.wav", {},
             {"aA.wav", "aA.new"}, true},
            // A job file replaced by a FIFO after its check, just before it is opened: opening
            // it waits for a writer that never comes, while the run holds the folder's lock.
            {"a job file swapped with a FIFO after its check", [] { remove("tavlinrc.txt"); },
             "timeout 10 " + At("open:points.txt", "fifo points.txt"), {1}, "", "points.txt", {}, {"points.txt"}},
            // SIGTERM to a run that is PID 1, as a container's command is: the kernel drops a
            // signal whose action an init has left at the default, so re-raising it after the
            // partial is removed does not end the run. The tool runs as the init of a new PID
            // namespace; the interposer sends SIGTERM once track b's partial exists.
            {"SIGTERM to a run that is PID 1", nullptr,
             "unshare --pid --fork --mount-proc " + At("create:.tavlin-partial.b_bld.wav", "signal 15", true),
             {128 + SIGTERM}, "", "", a, {}, true},
            // Standard output is a pipe whose reading end was closed before the run: SIGPIPE at
            // the first flush ends the run without removing its partial.
            {"standard output a pipe without a reader", nullptr, tool, {1}, "", "", {}, {}, true, unread},
            // The reader of standard output closes its end while the run is stopped by the
            // interposer just before track b's partial is created.
            {"standard output closed by its reader while a track is built", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "stop"), {1}, "", "", a, {}, true, held_and_closed},
        },
        job);
}

TEST_F(Safety, NoReportNameOrChunkCostsAnOutputOrReachesTheTerminalRaw)
{
    const std::string tool = TAVLIN2A, here = dir_;
    Small_Job job = Make_Small_Job();
    Files& clean = job.clean;

    // Track k cut every 40 ms: its report is larger than its output. Both are measured in a
    // first run, and a file-size limit set between them.
    auto many_edits = [&] {
        std::string points;
        for (int i = 0; i < 40; i++)
            points += std::to_string(i * 0.04) + "\t" + (i % 2 ? "B" : "A") + "\n";
        Job("k\n", points + "1.6\tA\n");
        Spit("kA.wav", job.takes["aA.wav"]), Spit("kB.wav", job.takes["aB.wav"]), Spit("k_bld.wav", "an earlier run's k");
    };
    fs::create_directory("measure"), fs::current_path("measure");
    many_edits();
    ASSERT_EQ(Run_Tool("--report r.html").status, 0);
    int64_t report_bytes = (int64_t)fs::file_size("r.html"), output_bytes = (int64_t)fs::file_size("k_bld.wav");
    fs::current_path(here), fs::remove_all("measure");
    ASSERT_GT(report_bytes, output_bytes + 8192);
    const std::string limit_kb = std::to_string((report_bytes + output_bytes) / 2 / 1024);

    Check_Hazards(
        {
            // The report is written after the build: a report it cannot write must be refused
            // before any output is replaced, not found out after.
            {"a report that would replace an output",
             [&] {
                 Job("k\n"), Spit("kA.wav", job.takes["aA.wav"]), Spit("kB.wav", job.takes["aB.wav"]);
                 Spit("k_x.html", "an earlier run's k");
             },
             tool + " --report k_x.html _x.html", {1}, "", "k_x.html"},
            {"a report name of 250 bytes", nullptr, tool + " --report " + std::string(246, 'x') + ".html", {1}, ">> "},
            {"a report in a missing folder", nullptr, tool + " --report nowhere/r.html", {1}, "", "nowhere/r.html"},
            {"a report path through a file", nullptr, tool + " --report base.txt/r.html", {1}, "", "base.txt/r.html"},
            {"a report over the file-size limit", many_edits,
             "bash -c 'ulimit -f " + limit_kb + " && exec " + tool + " --report r.html'", {1}, "", "r.html"},
            // SIGTERM while the report is written, sent by the interposer when its file is
            // synced: the report's hidden file is removed as a partial output is.
            {"SIGTERM while the report is written", nullptr, At("sync:r.html", "signal 15") + " --report r.html",
             {128 + SIGTERM}, "", "", {"a_bld.wav", "b_bld.wav"}, {}, true, Shell,
             [](const Ran&, const Files&) {
                 for (const auto& e : fs::directory_iterator("."))
                     EXPECT_NE(e.path().filename().string()[0], '.') << e.path() << " was left";
             }},
            // Output names that would be lost, or taken for something else.
            {"an empty output suffix", nullptr, tool + " ''", {1}, ">> "},
            {"an output name that is a partial's",
             [&] {
                 Job(".tavlin-partial.x\n");
                 Spit(".tavlin-partial.xA.wav", job.takes["aA.wav"]), Spit(".tavlin-partial.xB.wav", job.takes["aB.wav"]);
             },
             tool, {1}, ">> "},
            // A base name holding an escape sequence that would turn the terminal red: names
            // are shown with their control bytes escaped.
            {"control bytes in a name",
             [&] {
                 Job("k\x1b[31m\n");
                 Spit("k\x1b[31mA.wav", job.takes["aA.wav"]), Spit("k\x1b[31mB.wav", job.takes["aB.wav"]);
                 clean["k\x1b[31m_bld.wav"] = clean["a_bld.wav"];
             },
             tool, {0}, "Building to k\\x1B[31m_bld.wav", "", {"k\x1b[31m_bld.wav"}, {}, true, Shell,
             [](const Ran& r, const Files&) {
                 for (char c : r.output)
                     EXPECT_TRUE((unsigned char)c >= 0x20 || c == '\n' || c == '\t') << "byte " << (int)c << " in\n" << r.output;
             }},
            // With -m, aA.wav's bext chunk of 603 bytes is its last chunk, after the audio, and
            // lacks its pad byte (sox and ffprobe read such a take). The dry run and the build
            // must agree, and the output carries the chunk with its pad byte.
            {"an odd last chunk without its pad byte",
             [&] {
                 Spit("aA.wav", Take_With(1, 8000, 16, 1, 16000, "", Bext("Scene 4, take A", 603)));
                 Ran sox = Shell("sox aA.wav -n stat"), ffprobe = Shell("ffprobe -v error aA.wav");
                 ASSERT_TRUE(sox.status == 0 && sox.output.find("WARN") == std::string::npos) << sox.output;
                 ASSERT_TRUE(ffprobe.status == 0 && ffprobe.output.empty()) << ffprobe.output;
             },
             tool + " -n -m && " + tool + " -m", {0}, "\n\nDone\n", "", {"b_bld.wav"}, {"a_bld.wav"}, true, Shell,
             [&](const Ran&, const Files&) {
                 std::string take = Slurp("aA.wav"), out = Slurp("a_bld.wav"), plain = clean["a_bld.wav"];
                 EXPECT_NE(out.find(take.substr(take.find("bext"), 8 + 603) + std::string(1, '\0')), std::string::npos);
                 EXPECT_TRUE(out.size() > plain.size() && out.substr(out.size() - (plain.size() - 44)) == plain.substr(44));
                 Ran sox = Shell("sox a_bld.wav -n stat");
                 EXPECT_TRUE(sox.status == 0 && sox.output.find("WARN") == std::string::npos) << sox.output;
             }},
            // A partial of a_bld.wav left by a killed run whose process is gone: a dry run
            // writes nothing, so it keeps it; the next real run removes it.
            {"a dry run and a stale partial", [] { Spit(".tavlin-partial.a_bld.wav.999999", "left by a killed run"); },
             tool + " -n", {0}, "Dry run", "", {}, {}, false, Shell,
             [](const Ran&, const Files&) {
                 ASSERT_EQ(Run_Tool().status, 0);
                 EXPECT_FALSE(fs::exists(".tavlin-partial.a_bld.wav.999999"));
             }},
        },
        job);
}

// Runs in two job folders, J1 and J2, whose one track ../S/kick builds into a shared folder
// S (the folder lock is per job folder), each stopped by the interposer once it has
// created its partial. Runs in two containers may have the same process id, and see
// none of each other's processes.
TEST_F(Safety, RunsThatCannotSeeEachOtherKeepEachOthersPartials)
{
    fs::create_directory("S");
    Write_Take("S/kickA.wav", 1, 8000, 16, 1, 16000), Write_Take("S/kickB.wav", 2, 8000, 16, 1, 16000);
    std::map<std::string, std::string> clean;
    for (auto [job, points] : {std::pair{"J1", "0\tA\n1\tB\n2\tB\n"}, {"J2", "0\tB\n1\tA\n2\tA\n"}}) {
        fs::create_directory(job);
        Spit(job + std::string("/base.txt"), "../S/kick\n"), Spit(job + std::string("/points.txt"), points);
        Spit(job + std::string("/tavlinrc.txt"), "xf_all\t10\t1\n");
        ASSERT_EQ(Run_Tool(std::string("-C ") + job).status, 0);
        clean[job] = Slurp("S/kick_bld.wav");
    }
    ASSERT_NE(clean["J1"], clean["J2"]);
    const std::string old = "an earlier run's kick";
    // Run `job` as process `pid` (as getpid() answers), stopping once its partial exists.
    auto held = [](const std::string& job, const std::string& pid) {
        std::map<std::string, std::string> vars{{"TAVLIN_TEST_WHEN", "create:.tavlin-partial.kick_bld.wav"},
                                                {"TAVLIN_TEST_AFTER", "1"}, {"TAVLIN_TEST_DO", "stop"}};
        if (!pid.empty())
            vars["TAVLIN_TEST_PID"] = pid;
        return Interposed(vars) + " -C " + job;
    };
    auto partials = [] {
        int count = 0;
        for (const auto& [name, bytes] : Snapshot("S"))
            count += Is_Partial(name);
        return count;
    };

    {
        SCOPED_TRACE("two runs as process 1: J1 held at its partial, J2 held at its own, J1 ends, then J2");
        Spit("S/kick_bld.wav", old);
        Started one(held("J1", "1"));
        ASSERT_TRUE(one.Stopped());
        Started two(held("J2", "1"));
        bool two_held = two.Stopped();  // a run may also refuse, or finish
        one.Continue();
        Ran first = one.Wait();
        std::string after_first = Slurp("S/kick_bld.wav");
        if (two_held)
            two.Continue();
        Ran second = two.Wait();
        EXPECT_EQ(first.status, 0) << first.output;
        EXPECT_TRUE(after_first == clean["J1"]) << "J1 said Done and left " << after_first.size() << " bytes";
        EXPECT_TRUE(second.status == 0 || second.status == 1) << second.output;
        EXPECT_TRUE(Slurp("S/kick_bld.wav") == (second.status == 0 ? clean["J2"] : after_first)) << second.output;
        EXPECT_EQ(partials(), 0);
    }
    {
        SCOPED_TRACE("J1 held at its partial as a process id no process has; J2 runs whole meanwhile");
        Spit("S/kick_bld.wav", old);
        Started one(held("J1", "999999"));
        ASSERT_TRUE(one.Stopped());
        int held_partials = partials();
        Ran second = Run_Tool("-C J2");
        EXPECT_EQ(second.status, 0) << second.output;
        EXPECT_TRUE(Slurp("S/kick_bld.wav") == clean["J2"]);
        EXPECT_EQ(partials(), held_partials) << "J2 removed the partial of a run that is building";
        one.Continue();
        Ran first = one.Wait();
        EXPECT_EQ(first.status, 0) << first.output;
        EXPECT_TRUE(Slurp("S/kick_bld.wav") == clean["J1"]);
        EXPECT_EQ(partials(), 0);
    }
    {
        SCOPED_TRACE("a user's file whose name looks like a partial of no output of the job");
        Spit("S/.tavlin-partial.notes.txt.999999", "the user's notes");
        Ran r = Run_Tool("-C J1");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(Slurp("S/.tavlin-partial.notes.txt.999999"), "the user's notes");
    }
}
