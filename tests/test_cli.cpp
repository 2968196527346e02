// The command line as a user meets it: options, usage errors and refusals, each with
// its exit status, the stream it speaks on and the files it leaves.
#include "helpers.h"

namespace {

// job/: track k, takes A and B, takes unlike A in rate (R), width (W), channels (S), a short
// one (T), 32-bit integers (I) and floats (F); two/: another job, for -C.
void Make_Jobs()
{
    fs::remove_all("job"), fs::remove_all("two"), fs::create_directory("job");
    Spit("job/base.txt", "k\n"), Spit("job/points.txt", "0\tA\n1\tB\n2\tB\n"), Spit("job/tavlinrc.txt", "xf_all\t10\t1\n");
    for (auto [take, rate, bits, channels, frames] : {std::tuple{'A', 8000, 16, 1, 16000}, {'B', 8000, 16, 1, 16000},
             {'R', 48000, 16, 1, 16000}, {'W', 8000, 24, 1, 16000}, {'S', 8000, 16, 2, 16000}, {'T', 8000, 16, 1, 7990},
             {'I', 8000, 32, 1, 16000}})
        Write_Take(std::string("job/k") + take + ".wav", 2, rate, bits, channels, frames);
    Spit("job/kF.wav", Slurp("job/kI.wav").replace(20, 2, Le16(3)));
    fs::copy("job", "two"), Spit("two/points.txt", "0\tA\n1\tA\n");
}

}  // namespace

using Cli = InFolder;

TEST_F(Cli, EachCommandLineAnswersOnItsStreamWithItsStatus)
{
    const std::string usage = "; usage: tavlin2a [-hVnqm] [-C DIR] [--report FILE.html] [--checks=off] "
                              "[--click-db DB] [--match-db DB] [--] [OUTPUT_SUFFIX]\n";
    const std::string plan = "Planning to build 1 tracks using 3 edit points.";
    auto points = [](const std::string& text) { return "printf '%b' '" + text + "' >points.txt"; };
    auto rc = [](const std::string& text) { return "printf '%b' '" + text + "' >tavlinrc.txt"; };
    // A shell command run in job/ first, the tool's arguments, its status, what it says ("":
    // nothing; on standard error for a usage error, status 2), the one file it leaves in job/.
    struct Row { std::string setup, args; int status; std::string says, creates; };
    for (const Row& row : std::vector<Row>{
             {"", "--help", 0, "Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]\n", ""},
             {"", "-V", 0, "tavlin2a (Tavlin) 2.00\n", ""},
             {"", "--bogus", 2, "tavlin2a: unknown option \"--bogus\"" + usage, ""},
             {"", "-mix.wav", 2, usage + "tavlin2a: a suffix that begins with \"-\" goes after \"--\": tavlin2a -- -mix.wav\n", ""},
             {"", "-nx", 2, "tavlin2a: unknown option \"-x\"" + usage, ""},
             {"", "-C", 2, "tavlin2a: option -C needs a folder" + usage, ""},
             {"", "--report", 2, "tavlin2a: option --report needs a value" + usage, ""},
             {"", "--quiet=yes", 2, "tavlin2a: option --quiet takes no value" + usage, ""},
             {"", "_a.wav -n", 2, "more than one output suffix (\"_a.wav\", \"-n\"); options go before the suffix" + usage, ""},
             {"", "-n", 0, plan, ""},
             {"rm tavlinrc.txt", "--dry-run", 0, "tavlinrc.txt is missing: a real run would write a commented template", ""},
             {points("0\\tA\\n1\\tZ\\n"), "-n", 1, "kZ.wav, exiting\n>> points.txt line 2 names the take \"Z\" of track k\n", ""},
             {"rm base.txt points.txt tavlinrc.txt", "", 1, ">> Cannot find file base.txt that holds your base file names", ""},
             {"rm points.txt", "", 1, ">> Cannot find file points.txt that holds your edits, exiting\n", ""},
             // A refused job leaves no run-control template behind; a FIFO is not waited on.
             {"rm tavlinrc.txt && " + points("0\\tA\\n1,5\\tA\\n"), "", 1, "is not a time in seconds", ""},
             {"rm points.txt && mkfifo points.txt", "", 1, ">> Cannot read points.txt (not a regular file)", ""},
             {"", "-q", 0, "", "k_bld.wav"},
             {"", "-nq", 0, "", ""},
             {"", "-- -x.wav", 0, plan, "k-x.wav"},
             {"", std::string(63, 's'), 0, plan, "k" + std::string(63, 's')},
             {"", std::string(64, 's'), 1, ">> The output suffix is longer than 63 characters, exiting\n", ""},
             {"", "-n >/dev/full", 1, "", ""},  // the report cannot be written
             {"", "-qC ../two", 0, "", "../two/k_bld.wav"},
             {"", "--directory=../two -n", 0, "Planning to build 1 tracks using 2 edit points.", ""},
             {"", "-C ../nowhere", 1, ">> Cannot enter folder ../nowhere (No such file or directory), exiting\n", ""},
             {": >base.txt", "", 0, "Planning to build 0 tracks using 3 edit points.", ""},  // nothing to refuse
             // Refusals of what cannot be built, each naming the culprit.
             {points("0\\tA\\n5\\tA\\n\\n3\\tA\\n"), "", 1,
              ">> Edit 3 is out of sequence, exiting\n>> points.txt line 4 is at 3 s, before it line 2 is at 5 s\n", ""},
             {points("0\\tA\\n3000.0001\\tA\\n3000.0000\\tA\\n"), "", 1, "Edit 3 is out of sequence", ""},  // finer than a float
             {points("-1\\tA\\n-0.5\\tA\\n"), "", 1, ">> Edit 2 has a negative time (-0.5 s), exiting\n", ""},
             {points("0\\tA\\n"), "", 1, ">> points.txt holds 1 edit point; at least two are needed", ""},
             // A missing take: the lines that name it, and what to fix when spaces show why.
             {points("0\\tA  \\n1\\tA  \\n"), "", 1, "kA  .wav, exiting\n>> points.txt lines 1 and 2 name the take \"A  \" "
              "of track k\n>> The take suffix of edit 1 in points.txt ends in 2 spaces\n", ""},
             {"printf '\\nk \\n' >base.txt", "", 1, "of track k \n>> The base name on base.txt line 2 ends in 1 space\n", ""},
             {"printf 'k\\nk\\n' >base.txt", "", 1, "same file, exiting\n>> base.txt line 1 (k) and line 2 (k) name them\n", ""},
             // Said, not refused: the job builds.
             {rc("xf_all\\t10\\t1\\nxf_tr\\t9\\t20\\t2\\n"), "-q", 0,
              ">> tavlinrc.txt line 2 sets track 9, but the job has 1 track; the entry is ignored\n", "k_bld.wav"},
             {points("0\\tA\\n1\\tB\\n2:30\\tB\\n"), "-q", 0, ">> Track 1 (k): the last edit point, 0:02:30.000 on "
              "points.txt line 3, lies past the end of every take; k_bld.wav ends at 0:00:02.000\n", "k_bld.wav"},
             {"", "-q _mix", 0, "\"_mix\" does not end in .wav: the outputs are named like k_mix\n", "k_mix"},
             {points("0\\tA\\n1\\tR\\n"), "", 1, "Take kR.wav (edit 2) is at 48000 Hz, take kA.wav (edit 1) at 8000 Hz\n", ""},
             {points("0\\tA\\n1\\tW\\n"), "", 1, "kW.wav (edit 2) holds 24-bit integer, take kA.wav (edit 1) 16-bit integer", ""},
             {points("0\\tI\\n1\\tF\\n"), "", 1, "kF.wav (edit 2) holds 32-bit float, take kI.wav (edit 1) 32-bit integer\n", ""},
             {points("0\\tA\\n1\\tS\\n"), "", 1, "Take kS.wav (edit 2) has 2 channels, take kA.wav (edit 1) 1\n", ""},
             {points("0\\tA\\n1\\tT\\n2\\tA\\n"), "", 1, "Output files were not built\n>> Track 1 (k): take kT.wav is "
              "0:00:00.999 long (7990 frames); edit 2 starts at 0:00:01.000 (frame 8000)\n", ""},
             // An end point past the frames a WAV file can address clips as any past every take
             // does; an edit point before it there is refused, naming its line.
             {points("0\\tA\\n1e6\\tA\\n"), "-nq", 0, "the last edit point, 277:46:40.000 on points.txt line 2", ""},
             {points("0\\tA\\n1e6\\tA\\n1e6\\tA\\n"), "", 1, "Edit 2 lies beyond the frames a WAV file can address, exiting\n"
              ">> points.txt line 2: 1000000 s is frame 8000000000 at 8000 Hz; a WAV file ends by frame 2147483647\n", ""},
             {"", "-- /", 1, ">> Output file k/ names a folder, not a file, exiting\n", ""},
             // A crossfade that will fail is said by a quiet dry run, as by a quiet build.
             {points("0\\tT\\n1.01\\tA\\n2\\tA\\n"), "-nq", 0, ">> Track 1 (k), edit 2: no crossfade from kT.wav into "
              "kA.wav (kT.wav at fault); the takes meet in a hard cut\n>> The previous take ended 0:00:00.006 before", ""},
             {rc("\\nxf_tr\\t1\\t10\\t5\\n"), "", 1, "type 5; the types are 0 to 4, exiting\n>> tavlinrc.txt line 2 sets", ""},
             {rc("\\n\\nxf_all\\t10\\t-1\\n"), "", 1, "type -1; the types are 0 to 4, exiting\n>> tavlinrc.txt line 3 sets", ""},
             {rc("xf_all\\t-5\\t1\\n"), "", 1, ">> Track 1 has a negative crossfade length", ""},
             {"", "A.wav", 1, ">> Output file kA.wav would overwrite a file this job reads", ""},
             {"echo xfade >base.txt", "_temp.wav", 1, ">> Output file xfade_temp.wav would overwrite a file this job reads", ""},
             {"echo xfade_ >base.txt && " + points("0\\ttemp\\n1\\ttemp\\n"), "", 1, "may not be called xfade_temp.wav", ""}}) {
        Make_Jobs();
        ASSERT_EQ(Shell("cd job; " + row.setup).status, 0) << row.setup;
        auto before = Snapshot("job");
        Ran r = Shell("{ cd job && " + std::string(TAVLIN2A) + " " + row.args + " 2>../stderr.txt; }");
        std::string err = Slurp("stderr.txt");
        const std::string& spoken = row.status == 2 ? err : r.output;
        EXPECT_EQ(r.status, row.status) << row.args << row.setup << "\n" << r.output << err;
        EXPECT_EQ(row.status == 2 ? r.output : err, "") << row.args;
        EXPECT_TRUE(row.says.empty() ? spoken.empty() : spoken.find(row.says) != std::string::npos)
            << row.args << row.setup << "\n" << spoken;
        EXPECT_TRUE(row.creates.empty() || fs::remove("job/" + row.creates)) << row.args << " left no " << row.creates;
        EXPECT_EQ(Snapshot("job"), before) << row.args << row.setup;
    }
}
