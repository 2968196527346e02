// Faults that could cost a user a recording, one row each: every input, and every
// output an earlier run left, must come out of a refused, failed or killed run
// byte for byte as it went in; outputs appear only whole.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <set>

#include "helpers.h"

namespace {

using Files = std::map<std::string, std::string>;
using Runner = std::function<Ran(const std::string&)>;

bool Is_Partial(const std::string& name)
{
    return fs::path(name).filename().string().rfind(".tavlin-partial.", 0) == 0;
}

// The job files, in `folder` (a name and a slash) or here.
void Job(const std::string& bases, const std::string& points, const std::string& folder = "")
{
    Spit(folder + "base.txt", bases), Spit(folder + "points.txt", points);
    Spit(folder + "tavlinrc.txt", "xf_all\t10\t1\n");
}

void Old_Outputs(const std::string& folder = "")
{
    Spit(folder + "a_bld.wav", "an earlier run's a"), Spit(folder + "b_bld.wav", "an earlier run's b");
}

// Tracks a (8 kHz mono) and b (44.1 kHz 24-bit stereo), takes A from 0 s and B from 1 s,
// the end at 2 s or, for a run long enough to be caught in the middle however fast it
// builds, at 300 s: track b's takes then hold audio for 30 s and sparse silence after.
// `clean` holds the outputs of a clean run; rows add those of the jobs they make.
struct Test_Job {
    std::string points;
    Files takes, clean;
};

Test_Job Make_Job(bool long_b)
{
    Test_Job job{long_b ? "0\tA\n1\tB\n300\tB\n" : "0\tA\n1\tB\n2\tB\n", {}, {}};
    for (auto [name, id, rate, bits, channels] : {std::tuple{"aA.wav", 1, 8000, 16, 1}, {"aB.wav", 2, 8000, 16, 1},
                                                  {"bA.wav", 3, 44100, 24, 2}, {"bB.wav", 4, 44100, 24, 2}}) {
        Write_Take(name, id, rate, bits, channels, long_b && rate == 44100 ? 1400000 : 2 * rate);
        if (long_b && rate == 44100) {  // 13300000 frames
            Spit(name, Slurp(name).replace(40, 4, Le32(13300000 * 6)));
            EXPECT_EQ(truncate(name, 44 + 13300000LL * 6), 0);
        }
        job.takes[name] = Slurp(name);
    }
    Job("a\nb\n", job.points);
    EXPECT_EQ(Run_Tool().status, 0);
    job.clean = {{"a_bld.wav", Slurp("a_bld.wav")}, {"b_bld.wav", Slurp("b_bld.wav")}};
    return job;
}

// A job of one track, `base`, whose takes A and B are those of track a.
void One_Track(const std::string& base, const Test_Job& job)
{
    Spit("base.txt", base + "\n");
    Spit(base + "A.wav", job.takes.at("aA.wav")), Spit(base + "B.wav", job.takes.at("aB.wav"));
}

// `take` (a canonical one) with `before_data` (whole chunks) before its data chunk, `after_data` after it.
std::string Take_With(std::string take, const std::string& before_data, const std::string& after_data = "")
{
    take.insert(36, before_data);
    take += after_data;
    return take.replace(4, 4, Le32((uint32_t)take.size() - 8));
}

// A bext chunk whose body of `bytes` bytes (no pad byte after it) starts with `description`.
std::string Bext(const std::string& description, uint32_t bytes)
{
    return "bext" + Le32(bytes) + description + std::string(bytes - description.size(), '\0');
}

// The tool preloaded with the interposer, which acts once when a call of the kind named
// in `when` names the file given there: just before that call, or just after it.
std::string At(const std::string& when, const std::string& action, bool after = false, const std::string& pid = "")
{
    std::map<std::string, std::string> vars{{"TAVLIN_TEST_WHEN", when}, {"TAVLIN_TEST_DO", action}};
    if (after)
        vars["TAVLIN_TEST_AFTER"] = "1";
    if (!pid.empty())
        vars["TAVLIN_TEST_PID"] = pid;
    return Interposed(vars);
}

// Runs a command and, once it builds track b, stops it, calls `act` with its id and continues it.
Runner At_Track_B(const std::function<void(pid_t)>& act)
{
    return [act](const std::string& command) {
        return Run_Acting(command, "Building to", 2,
                          [&](pid_t pid) { kill(pid, SIGSTOP), act(pid), kill(pid, SIGCONT); });
    };
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

// The fault, forced on top of the job and old outputs: its setup, the command and how it
// is run, the statuses a sound run may end with, a text its output holds, a file a ">> "
// line names; the outputs that end as whole builds, the names the row changes itself (or
// checks in `after`), whether the run builds (xfade_temp.wav may then be left, as after
// any build that ends on a hard cut), further checks. Every other file must come out as
// it went in, and no partial may be left but by SIGKILL (the next run removes it).
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
    Runner run = Shell;
    std::function<void(const Ran&, const Files& before)> after = nullptr;
};

void Check_Hazards(const std::vector<Hazard>& rows, const Test_Job& job)
{
    const bool can_unshare = Shell("unshare -m --pid --fork --mount-proc mount -t tmpfs tmpfs /mnt").status == 0;
    for (const Hazard& row : rows) {
        SCOPED_TRACE(row.fault);
        if (row.command.rfind("unshare", 0) == 0 && !can_unshare) {
            std::cout << "skipped (no mount or PID namespace here): " << row.fault << "\n";
            continue;
        }
        // The takes as made (those still whole are kept: track b's may be long), the job, old outputs.
        for (const auto& e : fs::directory_iterator(".")) {
            std::string name = e.path().filename().string();
            bool take = job.takes.count(name) && fs::is_regular_file(fs::symlink_status(name));
            if (!take || Slurp(name) != job.takes.at(name))
                fs::remove_all(e.path());
        }
        for (const auto& [name, bytes] : job.takes)
            if (!fs::exists(name))
                Spit(name, bytes);
        Job("a\nb\n", job.points), Old_Outputs();
        if (row.setup)
            row.setup();
        if (::testing::Test::HasFatalFailure())
            return;
        const Files before = Snapshot();

        Ran r = row.run(row.command);
        bool preloaded = row.command.find(TAVLIN_INTERPOSE) != std::string::npos;
        EXPECT_TRUE(!preloaded || r.output.find("[interposer: ") != std::string::npos)
            << "the fault was never forced\n" << r.output;
        EXPECT_TRUE(row.status.count(r.status)) << "status " << r.status << "\n" << r.output;
        EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
        EXPECT_TRUE(row.names.empty() || Refusal_Names(r.output, row.names))
            << "no \">> \" line names " << row.names << "\n" << r.output;

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
            bool killed = r.status == 128 + SIGKILL && Is_Partial(name);
            EXPECT_TRUE(before.count(name) || may_change.count(name) || scratch || killed) << name << " appeared";
            EXPECT_FALSE(Is_Partial(name) && !before.count(name) && !killed) << name << " was left";
        }
        if (row.after)
            row.after(r, before);
    }
}

}  // namespace

using Safety = InFolder;

TEST_F(Safety, NoRunLosesARecording)
{
    const std::string tool = TAVLIN2A;
    Test_Job job = Make_Job(true);
    Files& clean = job.clean;
    auto killed_by = [](int sig) { return At_Track_B([sig](pid_t pid) { kill(pid, sig); }); };
    const std::vector<std::string> both{"a_bld.wav", "b_bld.wav"}, a{"a_bld.wav"};

    Check_Hazards(
        {
            {"killed (SIGKILL) while a track is built", nullptr, tool, {128 + SIGKILL}, "Building to b_bld.wav", "", a,
             {}, true, killed_by(SIGKILL),
             [&](const Ran&, const Files&) {  // the next run removes the hidden partial it leaves
                 ASSERT_EQ(Run_Tool().status, 0);
                 for (const auto& [name, bytes] : Snapshot())
                     EXPECT_FALSE(Is_Partial(name)) << name;
                 EXPECT_TRUE(Slurp("b_bld.wav") == clean.at("b_bld.wav"));
             }},
            {"terminated (SIGTERM)", nullptr, tool, {128 + SIGTERM}, "Building to b_bld.wav", "", a, {}, true,
             killed_by(SIGTERM)},
            {"interrupted (SIGINT)", nullptr, tool, {128 + SIGINT}, "Building to b_bld.wav", "", a, {}, true,
             killed_by(SIGINT)},
            {"hung up (SIGHUP)", nullptr, tool, {128 + SIGHUP}, "Building to b_bld.wav", "", a, {}, true,
             killed_by(SIGHUP)},
            {"a write fails in the middle of a track (disk full)", nullptr, tool, {1},
             ">> Cannot write .tavlin-partial.b_bld.wav.", "", a, {}, true, At_Track_B([](pid_t pid) {
                 rlimit limit{100 * 1024, 100 * 1024};
                 prlimit(pid, RLIMIT_FSIZE, &limit, nullptr);
             })},
            {"an output over the file-size limit", nullptr, "bash -c 'ulimit -f 500; exec " + tool + "'", {1},
             ">> Output file b_bld.wav would be 79380044 bytes, over the file-size limit of 512000 bytes"},
            {"output name is a link to a take", [] { remove("a_bld.wav"), fs::create_symlink("aA.wav", "a_bld.wav"); },
             tool, {1}, ">> Output file a_bld.wav is the same file as aA.wav, which this job reads"},
            {"output name is a hard link to a take",
             [] { remove("b_bld.wav"), fs::create_hard_link("bA.wav", "b_bld.wav"); }, tool, {1},
             ">> Output file b_bld.wav is the same file as bA.wav, which this job reads"},
            {"base name ./base with suffix .txt", [&] { One_Track("./base", job); }, tool + " .txt", {1},
             ">> Output file ./base.txt is the same file as base.txt, which this job reads"},
            {"a suffix through a folder names a take", [] { fs::create_directory("a_x"); }, tool + " _x/../aA.wav", {1},
             ">> Output file a_x/../aA.wav is the same file as aA.wav, which this job reads"},
            {"two base names for one file", [] { Spit("base.txt", "a\n./a\n"); }, tool, {1},
             ">> Output files a_bld.wav and ./a_bld.wav are the same file"},
            {"xfade_temp.wav links to a take", [] { fs::create_symlink("aA.wav", "xfade_temp.wav"); }, tool, {1},
             ">> The crossfade file xfade_temp.wav is the same file as aA.wav, which this job reads"},
            {"xfade_temp.wav and an output link to files elsewhere",
             [] {
                 fs::create_directory("elsewhere");
                 Spit("elsewhere/keep.wav", "not to be written"), Spit("elsewhere/keep_too.wav", "nor this");
                 fs::create_symlink("elsewhere/keep.wav", "xfade_temp.wav");
                 remove("a_bld.wav"), fs::create_symlink("elsewhere/keep_too.wav", "a_bld.wav");
             },
             tool, {0}, "\n\nDone\n", "", both, {"xfade_temp.wav"}, true, Shell,
             [](const Ran&, const Files&) {  // the links were replaced
                 EXPECT_FALSE(fs::is_symlink(fs::symlink_status("xfade_temp.wav")));
             }},
            {"base name ./xfade with suffix _temp.wav", [&] { One_Track("./xfade", job); }, tool + " _temp.wav", {1},
             ">> Output file ./xfade_temp.wav is the same file as xfade_temp.wav, the crossfade file"},
            {"two runs in one folder", nullptr, tool, {0}, "\n\nDone\n", "", both, {}, true, At_Track_B([](pid_t) {
                 Ran second = Run_Tool("_mix.wav");
                 EXPECT_EQ(second.status, 1);
                 EXPECT_NE(second.output.find(">> Another run is working in this folder"), std::string::npos)
                     << second.output;
             })},
            {"a take is a FIFO", [] { remove("bB.wav"), mkfifo("bB.wav", 0644); }, "timeout 10 " + tool, {1},
             ">> Take bB.wav is not a regular file (a FIFO)"},
            {"xfade_temp.wav is a folder", [] { fs::create_directory("xfade_temp.wav"); }, tool, {1},
             ">> The crossfade file xfade_temp.wav exists and is not a regular file (a folder)"},
            {"an output folder is missing", [] { fs::create_directory("a_o"); }, tool + " _o/out.wav", {1},
             ">> The folder of output file b_o/out.wav cannot be used (b_o: No such file or directory)"},
            {"a file system without room for a track", [] { fs::create_directory("a_d"), fs::create_directory("b_d"); },
             "unshare -m sh -c 'mount -t tmpfs -o size=4m tmpfs b_d && exec " + tool + " _d/out.wav'", {1},
             ">> Not enough free space for b_d/out.wav"},
        },
        job);
}

TEST_F(Safety, NoSwapRaceSignalOrPipeCostsARecording)
{
    const std::string tool = TAVLIN2A, here = dir_;
    Test_Job job = Make_Job(false);
    Files& clean = job.clean;
    Runner held_and_closed = [](const std::string& command) { return Run_Held(command, nullptr, true); };
    Runner unread = [](const std::string& command) { return Started(command, true).Wait(); };
    const std::vector<std::string> a{"a_bld.wav"};

    Check_Hazards(
        {
            // Track 1 is dir/snare (dir a link to A), track 2 B/snare_b; when track 1's partial is
            // created, dir is pointed at B, where dir/snare_bld.wav names track 2's take. B holds
            // takes of track 1's names too. A sound run builds into A or refuses; no take is written.
            {"a folder swapped after the checks",
             [&] {
                 fs::create_directory("A"), fs::create_directory("B"), fs::create_directory_symlink("A", "dir");
                 int id = 11;
                 for (std::string take :
                      {"A/snare_1", "A/snareld", "B/snare_1", "B/snareld", "B/snare_b_1", "B/snare_bld"})
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
                     EXPECT_TRUE(now == clean[out] || (r.status != 0 && now == before.at(out))) << out << " changed";
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
                     Job("a\nb\n", job.points, folder), Old_Outputs(folder);
                     clean[folder + "a_bld.wav"] = clean["a_bld.wav"], clean[folder + "b_bld.wav"] = clean["b_bld.wav"];
                 }
                 fs::create_directory_symlink("J1", "link");
             },
             At("create:.tavlin-partial.", "link J2 " + here + "/link") + " -C link", {0}, "\n\nDone\n", "",
             {"J1/a_bld.wav", "J1/b_bld.wav"}, {"link"}, true},
            // bB.wav replaced, when track b's partial is created, by the same audio behind a LIST
            // chunk: copied from where the probe found the audio, the output would begin with header.
            {"a take replaced after the probe by one with a longer header",
             [&] {
                 Spit("bB.new", Take_With(job.takes["bB.wav"], "LIST" + Le32(102) + "INFO" + std::string(98, 'x')));
             },
             At("create:.tavlin-partial.b_bld.wav", "rename bB.new bB.wav"), {1}, "", "bB.wav", a,
             {"bB.wav", "bB.new"}, true},
            // bA.wav cut where its segment ends, at 1 s, when track b's partial is created: every
            // frame of the segment is there, but the crossfade into B needs 5 ms more of it.
            {"a take cut short at an edit point after the probe", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "truncate bA.wav " + std::to_string(44 + 44100 * 6)), {1}, "",
             "bA.wav", a, {"bA.wav"}, true},
            // With -m, the take whose bext chunk the output carries is replaced by one whose bext
            // chunk says otherwise, when track a's partial is created.
            {"a carried chunk changed after the probe",
             [&] {
                 Spit("aA.wav", Take_With(job.takes["aA.wav"], Bext("Scene 4, take A", 602)));
                 Spit("aA.new", Take_With(job.takes["aA.wav"], Bext("Scene 5, take A", 602)));
             },
             At("create:.tavlin-partial.a_bld.wav", "rename aA.new aA.wav") + " -m", {1}, "", "aA.wav", {},
             {"aA.wav", "aA.new"}, true},
            // A job file swapped for a FIFO just before it is opened: opening it would wait for a
            // writer that never comes, while the run holds the folder's lock.
            {"a job file swapped with a FIFO after its check", [] { remove("tavlinrc.txt"); },
             "timeout 10 " + At("open:points.txt", "fifo points.txt"), {1}, "", "points.txt", {}, {"points.txt"}},
            // The kernel drops a signal whose action an init (a container's command) left at the
            // default, so re-raising SIGTERM after the partial is removed does not end the run.
            {"SIGTERM to a run that is PID 1", nullptr,
             "unshare --pid --fork --mount-proc " + At("create:.tavlin-partial.b_bld.wav", "signal 15", true),
             {128 + SIGTERM}, "", "", a, {}, true},
            // SIGPIPE at the first flush would end the run without removing its partial.
            {"standard output a pipe without a reader", nullptr, tool, {1}, "", "", {}, {}, true, unread},
            // The reader closes its end while the run is stopped just before track b's partial is created.
            {"standard output closed by its reader while a track is built", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "stop"), {1}, "", "", a, {}, true, held_and_closed},
        },
        job);
}

TEST_F(Safety, NoReportNameOrChunkCostsAnOutputOrReachesTheTerminalRaw)
{
    const std::string tool = TAVLIN2A;
    Test_Job job = Make_Job(false);
    Files& clean = job.clean;

    // Track k cut every 40 ms: its report is larger than its output. Both are measured in a
    // first run (whose files the table's setup removes), and a file-size limit set between them.
    auto many_edits = [&] {
        std::string points;
        for (int i = 0; i < 40; i++)
            points += std::to_string(i * 0.04) + "\t" + (i % 2 ? "B" : "A") + "\n";
        Job("k\n", points + "1.6\tA\n"), One_Track("k", job), Spit("k_bld.wav", "an earlier run's k");
    };
    many_edits();
    ASSERT_EQ(Run_Tool("--report r.html").status, 0);
    int64_t report_bytes = (int64_t)fs::file_size("r.html"), output_bytes = (int64_t)fs::file_size("k_bld.wav");
    ASSERT_GT(report_bytes, output_bytes + 8192);
    const std::string limit_kb = std::to_string((report_bytes + output_bytes) / 2 / 1024);

    Check_Hazards(
        {
            // The report is written after the build: one it cannot write is refused before any
            // output is replaced.
            {"a report that would replace an output",
             [&] { One_Track("k", job), Spit("k_x.html", "an earlier run's k"); },
             tool + " --report k_x.html _x.html", {1}, "", "k_x.html"},
            {"a report name of 250 bytes", nullptr, tool + " --report " + std::string(246, 'x') + ".html", {1}, ">> "},
            {"a report in a missing folder", nullptr, tool + " --report nowhere/r.html", {1}, "", "nowhere/r.html"},
            {"a report path through a file", nullptr, tool + " --report base.txt/r.html", {1}, "", "base.txt/r.html"},
            {"a report over the file-size limit", many_edits,
             "bash -c 'ulimit -f " + limit_kb + " && exec " + tool + " --report r.html'", {1}, "", "r.html"},
            // Sent when the report's file is synced: its hidden file is removed as a partial is.
            {"SIGTERM while the report is written", nullptr, At("sync:r.html", "signal 15") + " --report r.html",
             {128 + SIGTERM}, "", "", {"a_bld.wav", "b_bld.wav"}, {}, true},
            // An output renamed over by a file of the same bytes once it is built: the report
            // reads back only the file the run published, or is not written.
            {"an output replaced before the report reads it back",
             [&] { Spit("a_imposter.wav", clean.at("a_bld.wav")); },
             At("open:a_bld.wav", "rename a_imposter.wav a_bld.wav") + " --report r.html", {1}, "", "a_bld.wav",
             {"a_bld.wav", "b_bld.wav"}, {"a_imposter.wav"}, true},
            {"outputs built in subfolders",
             [&] {
                 fs::create_directory("a_o"), fs::create_directory("b_o");
                 clean["a_o/out.wav"] = clean["a_bld.wav"], clean["b_o/out.wav"] = clean["b_bld.wav"];
             },
             tool + " _o/out.wav", {0}, "\n\nDone\n", "", {"a_o/out.wav", "b_o/out.wav"}, {}, true},
            // Output names that would be lost, or taken for something else.
            {"an empty output suffix", nullptr, tool + " ''", {1}, ">> "},
            {"an output name that is a partial's", [&] { One_Track(".tavlin-partial.x", job); }, tool, {1}, ">> "},
            // A base name holding an escape sequence that would turn the terminal red.
            {"control bytes in a name",
             [&] { One_Track("k\x1b[31m", job), clean["k\x1b[31m_bld.wav"] = clean["a_bld.wav"]; },
             tool, {0}, "Building to k\\x1B[31m_bld.wav", "", {"k\x1b[31m_bld.wav"}, {}, true, Shell,
             [](const Ran& r, const Files&) {
                 for (char c : r.output)
                     EXPECT_TRUE((unsigned char)c >= 0x20 || c == '\n' || c == '\t')
                         << "byte " << (int)c << " in\n" << r.output;
             }},
            // With -m, aA.wav's last chunk, after the audio, is a bext chunk of 603 bytes without
            // its pad byte (sox and ffprobe read such a take): the dry run and the build must
            // agree, and the output carries the chunk with its pad byte.
            {"an odd last chunk without its pad byte",
             [&] {
                 Spit("aA.wav", Take_With(job.takes["aA.wav"], "", Bext("Scene 4, take A", 603)));
                 Ran sox = Shell("sox aA.wav -n stat"), ffprobe = Shell("ffprobe -v error aA.wav");
                 ASSERT_TRUE(sox.status == 0 && sox.output.find("WARN") == std::string::npos) << sox.output;
                 ASSERT_TRUE(ffprobe.status == 0 && ffprobe.output.empty()) << ffprobe.output;
             },
             tool + " -n -m && " + tool + " -m", {0}, "\n\nDone\n", "", {"b_bld.wav"}, {"a_bld.wav"}, true, Shell,
             [&](const Ran&, const Files&) {
                 std::string take = Slurp("aA.wav"), out = Slurp("a_bld.wav"), plain = clean["a_bld.wav"];
                 EXPECT_NE(out.find(take.substr(take.find("bext"), 8 + 603) + std::string(1, '\0')), std::string::npos);
                 EXPECT_TRUE(out.size() > plain.size() &&
                             out.substr(out.size() - (plain.size() - 44)) == plain.substr(44));
                 Ran sox = Shell("sox a_bld.wav -n stat");
                 EXPECT_TRUE(sox.status == 0 && sox.output.find("WARN") == std::string::npos) << sox.output;
             }},
            // A dry run writes nothing, so it keeps a stale partial of a killed run; a real run removes
            // it, but not an empty one, which another run may have created and not yet locked.
            {"a dry run and a stale partial",
             [] {
                 Spit(".tavlin-partial.a_bld.wav.999999", "left by a killed run");
                 Spit(".tavlin-partial.a_bld.wav.0123456789abcdef", "");
             },
             tool + " -n", {0}, "Dry run", "", {}, {}, false, Shell,
             [](const Ran&, const Files&) {
                 ASSERT_EQ(Run_Tool().status, 0);
                 EXPECT_FALSE(fs::exists(".tavlin-partial.a_bld.wav.999999"));
                 EXPECT_TRUE(fs::exists(".tavlin-partial.a_bld.wav.0123456789abcdef"));
             }},
            {"a user's file named as a partial of no output of the job",
             [] { Spit(".tavlin-partial.notes.txt.999999", "the user's notes"); }, tool, {0}, "\n\nDone\n", "",
             {"a_bld.wav", "b_bld.wav"}, {}, true},
        },
        job);
}

// Runs in job folders J1 and J2, whose one track ../S/kick builds into a shared folder S
// (the folder lock is per job folder), each stopped once its partial is written and synced. Runs
// in two containers may have the same process id, and see none of each other's processes.
TEST_F(Safety, RunsThatCannotSeeEachOtherKeepEachOthersPartials)
{
    fs::create_directory("S");
    Write_Take("S/kickA.wav", 1, 8000, 16, 1, 16000), Write_Take("S/kickB.wav", 2, 8000, 16, 1, 16000);
    std::map<std::string, std::string> clean;
    for (std::string job : {"J1", "J2"}) {
        fs::create_directory(job);
        Job("../S/kick\n", job == "J1" ? "0\tA\n1\tB\n2\tB\n" : "0\tB\n1\tA\n2\tA\n", job + "/");
        ASSERT_EQ(Run_Tool("-C " + job).status, 0);
        clean[job] = Slurp("S/kick_bld.wav");
    }
    ASSERT_NE(clean["J1"], clean["J2"]);
    const std::string old = "an earlier run's kick";
    // Run `job` as process `pid` (as getpid() answers), stopping once its partial is whole.
    auto held = [](const std::string& job, const std::string& pid) {
        return At("sync:.tavlin-partial.kick_bld.wav", "stop", true, pid) + " -C " + job;
    };
    auto partials = [] {
        Files files = Snapshot("S");
        return std::count_if(files.begin(), files.end(), [](const auto& file) { return Is_Partial(file.first); });
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
}
