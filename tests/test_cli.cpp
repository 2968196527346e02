// The command line as a user meets it: options and usage errors, each with its exit
// status, the stream it speaks on and the files it leaves; the dry run's segment table
// against the frames a real run writes; the progress display on a terminal.
#include <filesystem>
#include <map>
#include <sstream>

#include "helpers.h"

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> Folder(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        files[e.path().filename().string()] = e.is_regular_file() ? Slurp(e.path().string()) : "<dir>";
    return files;
}

// job/: one track, takes A and B, a crossfade; two/: another job, for -C.
void Make_Jobs()
{
    fs::remove_all("job"), fs::remove_all("two");
    fs::create_directory("job"), fs::create_directory("two");
    Spit("job/base.txt", "k\n");
    Spit("job/points.txt", "0\tA\n1\tB\n2\tB\n");
    Spit("job/tavlinrc.txt", "xf_all\t10\t1\n");
    Write_Take("job/kA.wav", 1, 8000, 16, 1, 16000);
    Write_Take("job/kB.wav", 2, 8000, 16, 1, 16000);
    Spit("two/base.txt", "t\n");
    Spit("two/points.txt", "0\tA\n1\tA\n");
    Spit("two/tavlinrc.txt", "");
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
    struct Row {
        std::string setup, args;
        int status;
        bool on_stderr;
        std::string answer;   // see Answer(); "": the stream stays empty
        std::string creates;  // the one file the run leaves in job/ (or ../two/); "": none
    };
    for (const Row& row : std::vector<Row>{
             {"", "--help", 0, false, "Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]", ""},
             {"", "-h", 0, false, "Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]", ""},
             {"", "--version", 0, false, "tavlin2a (Tavlin) 2.00", ""},
             {"", "-V", 0, false, "tavlin2a (Tavlin) 2.00", ""},
             {"", "--bogus", 2, true, "tavlin2a: unknown option \"--bogus\"" + usage, ""},
             {"", "-nx", 2, true, "tavlin2a: unknown option \"-x\"" + usage, ""},
             {"", "-C", 2, true, "tavlin2a: option -C needs a folder" + usage, ""},
             {"", "--directory", 2, true, "tavlin2a: option --directory needs a value" + usage, ""},
             {"", "--quiet=yes", 2, true, "tavlin2a: option --quiet takes no value" + usage, ""},
             {"", "_a.wav _b.wav", 2, true,
              "tavlin2a: more than one output suffix (\"_a.wav\", \"_b.wav\"); options go before the suffix" + usage, ""},
             {"", "_a.wav -n", 2, true,
              "tavlin2a: more than one output suffix (\"_a.wav\", \"-n\"); options go before the suffix" + usage, ""},
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
             {"", "-qC ../two", 0, false, "", "../two/t_bld.wav"},
             {"", "--directory=../two -n", 0, false, "Planning to build 1 tracks using 2 edit points.", ""},
             {"", "-C ../nowhere", 1, false, ">> Cannot enter folder ../nowhere (No such file or directory), exiting", ""}}) {
        Make_Jobs();
        if (!row.setup.empty()) {
            ASSERT_EQ(Shell("cd job && " + row.setup).status, 0) << row.setup;
        }
        auto before = Folder("job");
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
        EXPECT_EQ(Folder("job"), before) << row.args;
    }
}

TEST_F(Cli, DryRunTableMatchesTheFramesARealRunWrites)
{
    ASSERT_EQ(Shell(std::string(TAVLIN_TONES) + " .").status, 0);
    auto before = Folder(".");
    Ran dry = Run_Tool("-n");
    ASSERT_EQ(dry.status, 0) << dry.output;
    EXPECT_EQ(Folder("."), before);
    size_t at = dry.output.find("Track 1: keys_bld.wav, 44100 Hz, 24 bits, 2 channels, 551250 frames\n"
                                "edit\tstart\tend\ttake\tfirst frame\tframes\ttail pad\tcrossfade\n");
    ASSERT_NE(at, std::string::npos) << dry.output;
    std::istringstream table(dry.output.substr(at));
    std::string line;
    std::getline(table, line), std::getline(table, line);
    struct Segment { int edit; std::string start, end, take; int64_t first, frames, tail, fade; };
    std::vector<Segment> rows;
    for (Segment s; rows.size() < 3 && std::getline(table, line); rows.push_back(s)) {
        std::istringstream cells(line);
        cells >> s.edit >> s.start >> s.end >> s.take >> s.first >> s.frames >> s.tail >> s.fade;
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].start + " " + rows[1].end + " " + rows[1].take, "0:00:03.500 0:00:06.500 keys_take2.wav");

    ASSERT_EQ(Run_Tool().status, 0);
    std::string out = Slurp("keys_bld.wav");
    ASSERT_EQ(out.size(), 44u + 551250 * 6);
    EXPECT_EQ(out.substr(44 + (rows[0].first - 1) * 6, 6), std::string(6, '\0'));  // lead-in silence
    // From where its crossfade ends to where the next one begins, a segment is its
    // take's own frames at the same positions.
    for (int k : {0, 1}) {
        const Segment& s = rows[k];
        EXPECT_EQ(s.first + s.frames, rows[k + 1].first);
        int64_t from = s.first + (s.fade - s.fade / 2), to = rows[k + 1].first - rows[k + 1].fade / 2;
        ASSERT_LT(from, to);
        EXPECT_EQ(out.substr(44 + from * 6, (to - from) * 6), Slurp(s.take).substr(44 + from * 6, (to - from) * 6))
            << "edit " << s.edit;
    }
}

TEST_F(Cli, ProgressShowsOnATerminalAndLeavesStandardOutputAlone)
{
    Make_Jobs();
    ASSERT_EQ(chdir("job"), 0);
    Ran plain = Run_Tool();
    // script gives the tool a terminal for standard error; standard output goes to a file.
    Ran shown = Shell("script -qec '" + std::string(TAVLIN2A) + " >out.txt' /dev/null");
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(Slurp("job/out.txt"), plain.output);
    EXPECT_NE(shown.output.find("Track 1 of 1 k: "), std::string::npos) << shown.output;
    // The last thing on the terminal erases the display.
    const std::string erase = "\0337\033D\r\033[K\0338";
    ASSERT_GE(shown.output.size(), erase.size());
    EXPECT_EQ(shown.output.substr(shown.output.size() - erase.size()), erase) << shown.output;
}
