// Faults that could cost a user a recording, one row each: every input, and every
// output an earlier run left, must come out of a refused, failed or killed run
// byte for byte as it went in; outputs appear only whole.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <set>

#include "helpers.h"

namespace {

using Files = std::map<std::string, std::string>;
using Runner = std::function<Ran(const std::string&)>;

// The job files, in `folder` (a name and a slash) or here.
void Job(const std::string& bases, const std::string& points, const std::string& folder = "")
{
    Spit(folder + "base.txt", bases), Spit(folder + "points.txt", points);
    Spit(folder + "tavlinrc.txt", "xf_all\t10\t1\n");
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
        bool long_take = long_b && rate == 44100;  // 13300000 frames, audio in the first 1400000
        Write_Take(name, id, rate, bits, channels, long_take ? 13300000 : 2 * rate, {"", "", {{0, 1400000}}});
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

// A bext chunk whose body of `bytes` bytes (no pad byte after it) starts with `description`.
std::string Bext(const std::string& description, uint32_t bytes)
{
    return "bext" + Le32(bytes) + description + std::string(bytes - description.size(), '\0');
}

// A setup that runs `command` in a shell.
std::function<void()> Sh(const std::string& command)
{
    return [command] { ASSERT_EQ(Shell(command).status, 0) << command; };
}

// The tool preloaded with the interposer, which acts once when a call of the kind named
// in `when` names the file given there: just before that call, or just after it.
std::string At(const std::string& when, const std::string& action, bool after = false, const std::string& pid = "")
{
    return Interposed({{"TAVLIN_TEST_WHEN", when}, {"TAVLIN_TEST_DO", action},
                       {"TAVLIN_TEST_AFTER", after ? "1" : ""}, {"TAVLIN_TEST_PID", pid}});
}

// Runs a command and, once it builds track b, stops it, calls `act` with its id and continues it.
Runner At_Track_B(const std::function<void(pid_t)>& act)
{
    return [act](const std::string& command) {
        return Run_Acting(command, "Building to", 2,
                          [&](pid_t pid) { kill(pid, SIGSTOP), act(pid), kill(pid, SIGCONT); });
    };
}

// True when a line of `output` that holds ">> " holds `text`.
bool Refusal_Says(const std::string& output, const std::string& text)
{
    for (size_t at = output.find(">> "); at != std::string::npos; at = output.find(">> ", at + 3))
        if (output.substr(at, output.find('\n', at) - at).find(text) != std::string::npos)
            return true;
    return false;
}

// The fault, forced on top of the job and old outputs: its setup, the command and how it
// is run, the statuses a sound run may end with, a text a ">> " line of its output holds;
// the outputs that end as whole builds, the names the row changes itself (or checks in
// `after`), whether the run builds (xfade_temp.wav may then be left, as after any build
// that ends on a hard cut), further checks. Every other file must come out as it went in,
// and no partial may be left but by SIGKILL (the next run removes it).
struct Hazard {
    std::string fault;
    std::function<void()> setup;
    std::string command;
    std::set<int> status;
    std::string says = "";
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
        Job("a\nb\n", job.points);
        for (std::string out : {"a_bld.wav", "b_bld.wav"})
            Spit(out, "an earlier run's " + out);
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
        EXPECT_TRUE(row.says.empty() || Refusal_Says(r.output, row.says)) << "no \">> \" line says " << row.says
                                                                          << "\n" << r.output;

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
            bool killed = r.status == 128 + SIGKILL && ("/" + name).find("/.tavlin-partial.") != std::string::npos;
            EXPECT_TRUE(before.count(name) || may_change.count(name) || scratch || killed) << name << " appeared";
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
    auto killed_by = [](int sig) { return At_Track_B([sig](pid_t pid) { kill(pid, sig); }); };
    const std::vector<std::string> both{"a_bld.wav", "b_bld.wav"}, a{"a_bld.wav"};

    std::vector<Hazard> rows{
        {"a write fails in the middle of a track (disk full)", nullptr, tool, {1},
         "Cannot write .tavlin-partial.b_bld.wav.", a, {}, true, At_Track_B([](pid_t pid) {
             rlimit limit{100 * 1024, 100 * 1024};
             prlimit(pid, RLIMIT_FSIZE, &limit, nullptr);
         })},
        {"an output over the file-size limit", nullptr, "bash -c 'ulimit -f 500; exec " + tool + "'", {1},
         "b_bld.wav would be 79380044 bytes, over the file-size limit of 512000 bytes"},
        {"a take hard-linked as output", Sh("ln -f bA.wav b_bld.wav"), tool, {1}, "b_bld.wav is the same file as bA"},
        {"an output named base.txt", [&] { One_Track("./base", job); }, tool + " .txt", {1}, "./base.txt is the same"},
        {"two base names, one file", Sh("printf 'a\\n./a\\n' >base.txt"), tool, {1}, "a_bld.wav and ./a_bld.wav are"},
        {"xfade_temp.wav links to a take", Sh("ln -s aA.wav xfade_temp.wav"), tool, {1}, "xfade_temp.wav is the same"},
        {"xfade_temp.wav and an output link to files elsewhere",
         Sh("mkdir elsewhere && echo x >elsewhere/keep.wav && echo y >elsewhere/keep_too.wav && "
            "ln -s elsewhere/keep.wav xfade_temp.wav && ln -sf elsewhere/keep_too.wav a_bld.wav"),
         tool, {0}, "", both, {"xfade_temp.wav"}, true},  // written through, they would change those files
        {"output is xfade_temp.wav", [&] { One_Track("./xfade", job); }, tool + " _temp.wav", {1}, "crossfade file"},
        {"two runs in one folder", nullptr, tool, {0}, "", both, {}, true, At_Track_B([](pid_t) {
             Ran second = Run_Tool("_mix.wav");
             EXPECT_TRUE(second.status == 1 && Refusal_Says(second.output, "Another run is working")) << second.output;
         })},
        {"a take is a FIFO", Sh("rm bB.wav && mkfifo bB.wav"), "timeout 10 " + tool, {1}, "bB.wav is not a regular"},
        {"xfade_temp.wav is a folder", Sh("mkdir xfade_temp.wav"), tool, {1}, "not a regular file (a folder)"},
        {"an output folder is missing", Sh("mkdir a_o"), tool + " _o/out.wav", {1}, "of output file b_o/out.wav"},
        {"a file system without room for a track", Sh("mkdir a_d b_d"),
         "unshare -m sh -c 'mount -t tmpfs -o size=4m tmpfs b_d && exec " + tool + " _d/out.wav'", {1},
         "Not enough free space for b_d/out.wav"},
    };
    // Each signal but SIGKILL lets the run remove its partial first; the next run removes
    // one SIGKILL leaves (see "a dry run and a stale partial").
    for (int sig : {SIGKILL, SIGTERM, SIGINT, SIGHUP})
        rows.push_back({strsignal(sig), nullptr, tool, {128 + sig}, "", a, {}, true, killed_by(sig)});
    Check_Hazards(rows, job);

    // Faults forced at one exact call need no long run.
    job = Make_Job(false);
    Files& clean = job.clean;
    Runner held_and_closed = [](const std::string& command) { return Run_Held(command, nullptr, true); };
    Runner unread = [](const std::string& command) { return Started(command, true).Wait(); };
    clean["a_o/out.wav"] = clean["a_bld.wav"], clean["b_o/out.wav"] = clean["b_bld.wav"];
    clean["J1/a_bld.wav"] = clean["a_bld.wav"], clean["J1/b_bld.wav"] = clean["b_bld.wav"];

    // A report over the file-size limit: see the Report tests.
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
             At("create:.tavlin-partial.snare_bld.wav", "link B dir"), {0, 1}, "", {},
             {"dir", "A/snare_bld.wav", "B/snare_b_bld.wav"}, true, Shell,
             [&](const Ran& r, const Files& before) {
                 for (std::string out : {"A/snare_bld.wav", "B/snare_b_bld.wav"})
                     EXPECT_TRUE(Slurp(out) == clean[out] || (r.status != 0 && Slurp(out) == before.at(out))) << out;
                 EXPECT_TRUE(r.status == 0 || r.output.find(">> ") != std::string::npos) << r.output;
             }},
            // The job folder, given with -C as a link, is repointed at another job folder when
            // the first partial is created: the outputs go to the folder the run entered.
            {"the folder given with -C repointed during the run",
             Sh("for j in J1 J2; do mkdir $j && cp *.wav *.txt $j/; done && ln -s J1 link"),
             At("create:.tavlin-partial.", "link J2 " + dir_ + "/link") + " -C link", {0}, "",
             {"J1/a_bld.wav", "J1/b_bld.wav"}, {"link"}, true},
            // bB.wav replaced, when track b's partial is created, by the same audio behind a LIST
            // chunk: copied from where the probe found the audio, the output would begin with header.
            {"a take replaced after the probe by one with a longer header",
             [] {
                 Write_Take("bB.new", 4, 44100, 24, 2, 88200, {"LIST" + Le32(102) + "INFO" + std::string(98, 'x'), ""});
             },
             At("create:.tavlin-partial.b_bld.wav", "rename bB.new bB.wav"), {1}, "bB.wav", a, {"bB.wav", "bB.new"},
             true},
            // bA.wav cut where its segment ends, at 1 s, when track b's partial is created: every
            // frame of the segment is there, but the crossfade into B needs 5 ms more of it.
            {"a take cut short at an edit point after the probe", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "truncate bA.wav " + std::to_string(44 + 44100 * 6)), {1},
             "bA.wav", a, {"bA.wav"}, true},
            // With -m, the take whose bext chunk the output carries is replaced by one whose bext
            // chunk says otherwise, when track a's partial is created.
            {"a carried chunk changed after the probe",
             [&] {
                 Write_Take("aA.wav", 1, 8000, 16, 1, 16000, {Bext("Scene 4, take A", 602), ""});
                 Write_Take("aA.new", 1, 8000, 16, 1, 16000, {Bext("Scene 5, take A", 602), ""});
             },
             At("create:.tavlin-partial.a_bld.wav", "rename aA.new aA.wav") + " -m", {1}, "aA.wav", {},
             {"aA.wav", "aA.new"}, true},
            // A job file swapped for a FIFO just before it is opened: opening it would wait for a
            // writer that never comes, while the run holds the folder's lock.
            {"a job file swapped with a FIFO after its check", Sh("rm tavlinrc.txt"),
             "timeout 10 " + At("open:points.txt", "fifo points.txt"), {1}, "points.txt", {}, {"points.txt"}},
            // The kernel drops a signal whose action an init (a container's command) left at the
            // default, so re-raising SIGTERM after the partial is removed does not end the run.
            {"SIGTERM to a run that is PID 1", nullptr,
             "unshare --pid --fork --mount-proc " + At("create:.tavlin-partial.b_bld.wav", "signal 15", true),
             {128 + SIGTERM}, "", a, {}, true},
            // SIGPIPE at the first flush would end the run without removing its partial.
            {"standard output a pipe without a reader", nullptr, tool, {1}, "", {}, {}, true, unread},
            // The reader closes its end while the run is stopped just before track b's partial is created.
            {"standard output closed by its reader while a track is built", nullptr,
             At("create:.tavlin-partial.b_bld.wav", "stop"), {1}, "", a, {}, true, held_and_closed},
            {"a 250-byte report name", nullptr, tool + " --report " + std::string(246, 'x') + ".html", {1}, "too long"},
            {"a report that would replace an output", nullptr, tool + " --report a_x.html _x.html", {1},
             "The report a_x.html would replace the output a_x.html"},
            {"a report in a missing folder", nullptr, tool + " -n --report nowhere/r.html", {1},
             "The folder of the report nowhere/r.html cannot be used (nowhere: No such file"},
            {"a report path through a file", nullptr, tool + " --report base.txt/r.html", {1},
             "The folder of the report base.txt/r.html cannot be used"},
            // Sent when the report's file is synced: its hidden file is removed as a partial is.
            {"SIGTERM while the report is written", nullptr, At("sync:r.html", "signal 15") + " --report r.html",
             {128 + SIGTERM}, "", {"a_bld.wav", "b_bld.wav"}, {}, true},
            // An output renamed over by a file of the same bytes once it is built: the report
            // reads back only the file the run published, or is not written.
            {"an output replaced before the report reads it back",
             [&] { Spit("a_imposter.wav", clean.at("a_bld.wav")); },
             At("open:a_bld.wav", "rename a_imposter.wav a_bld.wav") + " --report r.html", {1}, "a_bld.wav",
             {"a_bld.wav", "b_bld.wav"}, {"a_imposter.wav"}, true},
            {"outputs built in subfolders", Sh("mkdir a_o b_o"), tool + " _o/out.wav", {0}, "",
             {"a_o/out.wav", "b_o/out.wav"}, {}, true},
            // Output names that would be lost, or taken for something else.
            {"an empty output suffix", nullptr, tool + " ''", {1}, "The output suffix is empty"},
            {"a partial's name as output", [&] { One_Track(".tavlin-partial.x", job); }, tool, {1}, "partial files"},
            // A base name holding an escape sequence that would turn the terminal red.
            {"control bytes in a name",
             [&] { One_Track("k\x1b[31m", job), clean["k\x1b[31m_bld.wav"] = clean["a_bld.wav"]; },
             tool, {0}, "", {"k\x1b[31m_bld.wav"}, {}, true, Shell,
             [](const Ran& r, const Files&) {
                 EXPECT_NE(r.output.find("Building to k\\x1B[31m_bld.wav"), std::string::npos) << r.output;
                 auto shown = [](unsigned char c) { return c >= 0x20 || c == '\n' || c == '\t'; };
                 EXPECT_TRUE(std::all_of(r.output.begin(), r.output.end(), shown)) << r.output;
             }},
            // With -m, aA.wav's last chunk, after the audio, is a bext chunk of 603 bytes without
            // its pad byte (sox reads such a take): the dry run and the build must agree, and the
            // output carries the chunk with its pad byte.
            {"an odd last chunk without its pad byte",
             [&] { Write_Take("aA.wav", 1, 8000, 16, 1, 16000, {"", Bext("Scene 4, take A", 603)}); },
             tool + " -n -m && " + tool + " -m", {0}, "", {"b_bld.wav"}, {"a_bld.wav"}, true, Shell,
             [&](const Ran&, const Files&) {
                 std::string take = Slurp("aA.wav"), out = Slurp("a_bld.wav"), plain = clean["a_bld.wav"];
                 EXPECT_NE(out.find(take.substr(take.find("bext"), 8 + 603) + std::string(1, '\0')), std::string::npos);
                 EXPECT_TRUE(out.substr(out.size() - plain.size() + 44) == plain.substr(44));
                 Ran sox = Shell("sox a_bld.wav -n stat");
                 EXPECT_TRUE(sox.status == 0 && sox.output.find("WARN") == std::string::npos) << sox.output;
             }},
            // A dry run writes nothing, so it keeps a stale partial of a killed run; a real run removes
            // it, but not an empty one, which another run may have created and not yet locked.
            {"a dry run and a stale partial",
             Sh("echo killed >.tavlin-partial.a_bld.wav.999999 && : >.tavlin-partial.a_bld.wav.0123456789abcdef"),
             tool + " -n", {0}, "", {}, {}, false, Shell,
             [](const Ran&, const Files&) {
                 ASSERT_EQ(Run_Tool().status, 0);
                 EXPECT_FALSE(fs::exists(".tavlin-partial.a_bld.wav.999999"));
                 EXPECT_TRUE(fs::exists(".tavlin-partial.a_bld.wav.0123456789abcdef"));
             }},
            {"a user's file named as a partial of no output of the job",
             Sh("echo notes >.tavlin-partial.notes.txt.999999"), tool, {0}, "", {"a_bld.wav", "b_bld.wav"}, {}, true},
            // Runs in two containers may have one process id and see none of each other's processes:
            // J1 and J2 build ../S/kick into a shared folder S (the folder lock is per job folder), as
            // a process id no process has here, J2 whole while J1 is stopped once its partial is synced.
            // J1 publishes its partial by name, so it fails if J2 took it for its own or a dead run's.
            {"runs that cannot see each other",
             [&] {
                 Sh("mkdir S J1 J2 && cp aA.wav S/kickA.wav && cp aB.wav S/kickB.wav")();
                 for (std::string run : {"J2", "J1"}) {
                     Job("../S/kick\n", run == "J1" ? "0\tA\n1\tB\n2\tB\n" : "0\tB\n1\tA\n2\tA\n", run + "/");
                     ASSERT_EQ(Run_Tool("-C " + run).status, 0);
                     clean[run] = Slurp("S/kick_bld.wav"), clean["S/kick_bld.wav"] = clean[run];
                     fs::remove(run + "/xfade_temp.wav");
                 }
                 ASSERT_NE(clean["J1"], clean["J2"]);
                 Spit("S/kick_bld.wav", "an earlier run's kick");
             },
             At("sync:.tavlin-partial.kick_bld.wav", "stop", true, "999999") + " -C J1", {0}, "", {"S/kick_bld.wav"},
             {}, true, [&](const std::string& command) {
                 return Run_Held(command, [&](pid_t) {
                     Ran second = Shell(At("", "", false, "999999") + " -C J2");
                     EXPECT_TRUE(second.status == 0 && Slurp("S/kick_bld.wav") == clean["J2"]) << second.output;
                 });
             }},
        },
        job);
}
