// The tool as a user installs it: the tool and its manual page, which man finds, renders
// cleanly and documents the options --help offers.
#include <regex>
#include <set>

#include "helpers.h"

namespace {

// Every option in `text`: "-x" alone, "--word" up to any "=", a bare "--"; not a bundle (-nq),
// an attached value (-Cjob), a suffix (-mix.wav), a number (-30) or a hyphenated word.
std::set<std::string> Options_In(const std::string& text)
{
    static const std::regex option(R"([\s\[(,"'](--[A-Za-z][A-Za-z0-9-]*|-[A-Za-z]|--)(?=[\s\]),.;:="']))");
    std::set<std::string> found;
    std::string padded = " " + text + " ";
    for (std::sregex_iterator at(padded.begin(), padded.end(), option), end; at != end; ++at)
        found.insert((*at)[1]);
    return found;
}

}  // namespace

using Install = InFolder;

// Only the tool and its page are installed; man finds the page with the tool's folder on PATH,
// and the installed tool builds a job.
TEST_F(Install, PutsTheToolAndItsPageUnderThePrefixAndTheToolBuilds)
{
    const std::string prefix = dir_ + "/prefix";
    Ran installed = Shell(std::string(CMAKE_COMMAND) + " --install " + TAVLIN_BUILD_DIR + " --prefix " + prefix);
    ASSERT_EQ(installed.status, 0) << installed.output;

    EXPECT_EQ(Shell("cd " + prefix + " && find . ! -type d | sort").output, "./bin/tavlin2a\n./share/man/man1/tavlin2a.1\n");
    const std::string tool = prefix + "/bin/tavlin2a", page = prefix + "/share/man/man1/tavlin2a.1";
    EXPECT_TRUE(Slurp(page) == Slurp(TAVLIN_MAN_PAGE)) << page << " is not " << TAVLIN_MAN_PAGE;

    EXPECT_EQ(Shell("cd / && env -u MANPATH PATH=" + prefix + "/bin:/usr/bin:/bin man -w tavlin2a").output, page + "\n");

    Spit("base.txt", "k\n"), Spit("points.txt", "0\tA\n0.5\tB\n1\tB\n");
    Write_Take("kA.wav", 1, 8000, 16, 1, 8000), Write_Take("kB.wav", 2, 8000, 16, 1, 8000);
    Ran built = Shell(tool + " -q");
    ASSERT_EQ(built.status, 0) << built.output;
    std::string out = Slurp("k_bld.wav");
    ASSERT_EQ(out.size(), 44u + 8000 * 2);
    EXPECT_EQ(Sample_In(out, 3999, 0, 16, 1), Sample(1, 3999, 0, 16));
    EXPECT_EQ(Sample_In(out, 4000, 0, 16, 1), Sample(2, 4000, 0, 16));
}

// The page renders under every groff warning without one, and it documents exactly the
// options --help lists: a missing or stale option on either side fails.
TEST_F(Install, ThePageRendersCleanlyAndListsTheOptionsOfHelp)
{
    const std::string page = TAVLIN_MAN_PAGE;
    EXPECT_EQ(Shell("groff -man -Tutf8 -ww -z " + page).output, "") << "groff warns about " << page;

    // One line per paragraph, no hyphenation, no bold or underlining, ASCII dashes: no option is broken.
    Ran text = Shell("groff -man -Tascii -rLL=1000n -rHY=0 -P-cbou " + page + " 2>/dev/null");
    ASSERT_EQ(text.status, 0);
    Ran help = Run_Tool("--help");
    ASSERT_EQ(help.status, 0);
    std::set<std::string> in_help = Options_In(help.output), in_page = Options_In(text.output);
    ASSERT_TRUE(in_help.count("-h") && in_help.count("--help")) << "no options found in:\n" << help.output;
    EXPECT_EQ(in_page, in_help) << "the options of the manual page and of --help differ";
}
