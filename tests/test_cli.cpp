// The command line as a user meets it: options and usage errors, each with its exit
// status, the stream it speaks on and the files it leaves; the progress display on a
// terminal.
#include <filesystem>
#include <sstream>

#include "helpers.h"

namespace {

namespace fs = std::filesystem;

// job/: one track, takes A and B, a crossfade; two/: another job, for -C.
void Make_Jobs()
{
    fs::remove_all("job"), fs::remove_all("two");
    fs::create_directory("job"), fs::create_directory("two");
    Spit("job/base.txt", "k\n"), Spit("job/points.txt", "0\tA\n1\tB\n2\tB\n"), Spit("job/tavlinrc.txt", "xf_all\t10\t1\n");
    Write_Take("job/kA.wav", 1, 8000, 16, 1, 16000);
    Write_Take("job/kB.wav", 2, 8000, 16, 1, 16000);
    Spit("two/base.txt", "t\n"), Spit("two/points.txt", "0\tA\n1\tA\n"), Spit("two/tavlinrc.txt", "");
    Write_Take("two/tA.wav", 1, 8000, 16, 1, 8000);
}

// The line that answers: a refusal's last line, else the first line after the banner
// (empty lines do not count).
std::string Answer(const std::string& text, int status)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line != "Tavlin 2.00 by Quelloran")
            lines.push_back(line);
    return lines.empty() ? "" : status == 1 ? lines.back() : lines.front();
}

}  // namespace

using Cli = InFolder;

TEST_F(Cli, EachCommandLineAnswersOnItsStreamWithItsStatus)
{
    const std::string usage = "; usage: tavlin2a [-hVnqm] [-C DIR] [--] [OUTPUT_SUFFIX]";
    const std::string plan = "Planning to build 1 tracks using 3 edit points.";
    const std::string no_base = ">> Cannot find file base.txt that holds your base file names, exiting";
    const std::string two_suffixes = "tavlin2a: more than one output suffix (\"_a.wav\", ";
    struct Row {
        std::string setup, args;
        int status;
        bool on_stderr;
        std::string answer;   // see Answer(); "": the stream stays empty
        std::string creates;  // the one file the run leaves in job/ (or ../two/); "": none
    };
    for (const Row& row : std::vector<Row>{
             {"", "--help", 0, false, "Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]", ""},
             {"", "-V", 0, false, "tavlin2a (Tavlin) 2.00", ""},
             {"", "--bogus", 2, true, "tavlin2a: unknown option \"--bogus\"" + usage, ""},
             {"", "-nx", 2, true, "tavlin2a: unknown option \"-x\"" + usage, ""},
             {"", "-C", 2, true, "tavlin2a: option -C needs a folder" + usage, ""},
             {"", "--directory", 2, true, "tavlin2a: option --directory needs a value" + usage, ""},
             {"", "--quiet=yes", 2, true, "tavlin2a: option --quiet takes no value" + usage, ""},
             {"", "_a.wav _b.wav", 2, true, two_suffixes + "\"_b.wav\"); options go before the suffix" + usage, ""},
             {"", "_a.wav -n", 2, true, two_suffixes + "\"-n\"); options go before the suffix" + usage, ""},
             {"", "-n", 0, false, plan, ""},
             {"rm tavlinrc.txt", "--dry-run", 0, false,
              "tavlinrc.txt is missing: a real run would write a commented template there and build without crossfades.", ""},
             {"printf '0\\tA\\n1\\tZ\\n' >points.txt", "-n", 1, false, ">> Cannot find file called kZ.wav, exiting", ""},
             {"rm base.txt points.txt tavlinrc.txt", "", 1, false, no_base, ""},
             {"rm base.txt points.txt tavlinrc.txt", "-n", 1, false, no_base, ""},
             {"", "-q", 0, false, "", "k_bld.wav"},
             {"", "-nq", 0, false, "", ""},
             {"", "-m", 0, false, plan, "k_bld.wav"},
             {"", "-- -x.wav", 0, false, plan, "k-x.wav"},
             {"", std::string(63, 's'), 0, false, plan, "k" + std::string(63, 's')},
             {"", "-n >/dev/full", 1, false, "", ""},  // the report cannot be written
             {"", "-qC ../two", 0, false, "", "../two/t_bld.wav"},
             {"", "--directory=../two -n", 0, false, "Planning to build 1 tracks using 2 edit points.", ""},
             {"", "-C ../nowhere", 1, false, ">> Cannot enter folder ../nowhere (No such file or directory), exiting", ""}}) {
        Make_Jobs();
        if (!row.setup.empty()) {
            ASSERT_EQ(Shell("cd job && " + row.setup).status, 0) << row.setup;
        }
        auto before = Snapshot("job");
        Ran r = Shell("{ cd job && " + std::string(TAVLIN2A) + " " + row.args + " 2>../stderr.txt; }");
        std::string err = Slurp("stderr.txt");
        const std::string& spoken = row.on_stderr ? err : r.output;
        EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.output << err;
        EXPECT_EQ(row.on_stderr ? r.output : err, "") << row.args;
        EXPECT_EQ(row.answer.empty() ? spoken : Answer(spoken, row.status), row.answer) << row.args;
        if (!row.creates.empty()) {
            EXPECT_TRUE(Exists("job/" + row.creates)) << row.args;
            fs::remove("job/" + row.creates);
        }
        EXPECT_EQ(Snapshot("job"), before) << row.args;
    }
}

TEST_F(Cli, ProgressShowsOnATerminalAndLeavesStandardOutputAlone)
{
    Make_Jobs();
    Ran plain = Shell("cd job && " + std::string(TAVLIN2A));
    // script gives the tool a terminal for standard error; standard output goes to a file.
    Ran shown = Shell("cd job && script -qec '" + std::string(TAVLIN2A) + " >out.txt' /dev/null");
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(Slurp("job/out.txt"), plain.output);
    EXPECT_NE(shown.output.find("Track 1 of 1 k: "), std::string::npos) << shown.output;
    // The last thing on the terminal erases the display.
    const std::string erase = "\0337\033D\r\033[K\0338";
    ASSERT_GE(shown.output.size(), erase.size());
    EXPECT_EQ(shown.output.substr(shown.output.size() - erase.size()), erase) << shown.output;
}
