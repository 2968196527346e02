// Job-file readers: tokenising rules, the run-control template, and the limits that
// are refused rather than overflowing a table.
#include <sys/stat.h>

#include <vector>

#include "helpers.h"
#include "jobs/jobs.h"

namespace {

struct Rc {
    int32_t types[MAX_ENTRIES] = {};
    float lengths[MAX_ENTRIES] = {};
    int32_t all_type = 0;
    float all_length = 0;
    int32_t result = -1;
};

Rc Read_Rc(const std::string& text)
{
    Spit(RC_FILE, text);
    Rc rc;
    rc.result = Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length);
    return rc;
}

std::vector<std::string> Names(const std::string& text)
{
    Spit(BASE_FILE, text);
    static char names[MAX_ENTRIES * NAME_SLOT];
    int32_t count = -1;
    ReadBaseFile(&count, names, NAME_SLOT);
    std::vector<std::string> out;
    for (int32_t k = 0; k < count; k++)
        out.push_back(names + k * NAME_SLOT);
    return out;
}

std::vector<std::pair<float, std::string>> Points(const std::string& text)
{
    Spit(POINTS_FILE, text);
    static char suffixes[MAX_ENTRIES * NAME_SLOT];
    float times[MAX_ENTRIES];
    int32_t count = -1;
    ReadEditFile(&count, suffixes, NAME_SLOT, times);
    std::vector<std::pair<float, std::string>> out;
    for (int32_t k = 0; k < count; k++)
        out.push_back({times[k], suffixes + k * NAME_SLOT});
    return out;
}

const char TEMPLATE[] = "Parameters file for tavlin - remove parenthesis to use\n\nSet all tracks the same:\n"
                        "(xf_all\t200\t1)\n\nTweak individual tracks\n(xf_tr\t1\t200\t1)\n";

}  // namespace

using Job_Files = InFolder;

TEST_F(Job_Files, BaseNamesAreWholeLinesAndBlankLinesDoNotCount)
{
    EXPECT_EQ(Names(""), std::vector<std::string>{});
    EXPECT_EQ(Names("kick\n\n\nsnare drum\r\n\tbass\t"),
              (std::vector<std::string>{"kick", "snare drum\r", "\tbass\t"}));
    std::string many;
    for (int k = 0; k < 1025; k++)
        many += "t" + std::to_string(k) + "\n";
    EXPECT_EQ(Names(many.substr(0, many.size() - 6)).size(), 1024u);
    EXPECT_FAILS(Names(many), ">> base.txt holds more than 1024 base names, exiting");
    EXPECT_FAILS(Names("ok\n" + std::string(128, 'n') + "\n"), ">> Base name 2 is 128 characters long");
    EXPECT_EQ(Names(std::string(127, 'n')).at(0).size(), 127u);
    EXPECT_FAILS(Names(std::string(32768, '\n')), ">> base.txt is 32768 bytes long; it may hold at most 32767");
}

TEST_F(Job_Files, EditPointsAreATimeATabAndTheRestOfTheLine)
{
    EXPECT_TRUE(Points("").empty());
    using P = std::vector<std::pair<float, std::string>>;
    EXPECT_EQ(Points("12.5\tA\r\n\n\n12,5\ttake 2\tx\nlate\tB\n"),
              (P{{12.5f, "A\r"}, {12.0f, "take 2\tx"}, {0.0f, "B"}}));
    // A line with only a time takes the whole next line as its suffix.
    EXPECT_EQ(Points("3\n4\tC\n"), (P{{3.0f, "4\tC"}}));
    EXPECT_FAILS(Points("0\tA\n7\n"), ">> points.txt ends after the time of edit 2, which names no take");
    EXPECT_FAILS(Points("nan\tA\n"), "edit time in points.txt is \"nan\", which is not a usable number");
    EXPECT_FAILS(Points("1e39\tA\n"), "\"1e39\", which is not a usable number");
    EXPECT_FAILS(Points("0\t" + std::string(128, 's') + "\n"), ">> Take suffix of edit 1 is 128 characters");
}

TEST_F(Job_Files, MissingRunControlFileGetsTheTemplateWhichChangesNothing)
{
    Rc rc;
    rc.types[4] = 7;
    EXPECT_EQ(Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length), 1);
    EXPECT_EQ(Slurp(RC_FILE), TEMPLATE);
    EXPECT_EQ(rc.types[4], 7);
    Rc again = Read_Rc(Slurp(RC_FILE));
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(again.all_type, 0);
    EXPECT_EQ(again.types[0], 0);
    EXPECT_EQ(again.lengths[0], 0.0f);
}

TEST_F(Job_Files, RunControlEntriesApplyInFileOrder)
{
    Rc rc = Read_Rc("xf_all\t100\t2\nxf_tr\t3\t150\t2\nxf_all 200 1\nnoise\nxf_all\t50.5\t4\n");
    EXPECT_EQ(rc.result, 0);
    EXPECT_EQ(rc.all_length, 50.5f);
    EXPECT_EQ(rc.all_type, 4);
    EXPECT_EQ(rc.lengths[2], 150.0f);
    EXPECT_EQ(rc.types[2], 2);
    EXPECT_EQ(rc.types[1] + rc.types[3], 0);

    // An entry missing its type takes the next keyword as type 0; an xf_all there
    // still applies, a second xf_tr is read as plain tokens.
    rc = Read_Rc("xf_tr\t2\t80\nxf_all\t30\t3\n");
    EXPECT_EQ(rc.lengths[1], 80.0f);
    EXPECT_EQ(rc.types[1], 0);
    EXPECT_EQ(rc.all_type, 3);
    rc = Read_Rc("xf_tr\t2\t80\nxf_tr\t5\t60\t1\n");
    EXPECT_EQ(rc.types[1], 0);
    EXPECT_EQ(rc.types[4], 0);
    EXPECT_EQ(Read_Rc("").result, 0);
}

TEST_F(Job_Files, RunControlRefusesWhatWouldMisreadOrOverwrite)
{
    EXPECT_FAILS(Read_Rc("xf_tr\t1025\t10\t1\n"), ">> tavlinrc.txt names track \"1025\"; tracks are numbered 1 to 1024");
    EXPECT_FAILS(Read_Rc("xf_tr\t0\t10\t1\n"), "names track \"0\"");
    EXPECT_FAILS(Read_Rc("xf_tr\t1\t10\n"), ">> tavlinrc.txt ends inside an xf_tr entry");
    EXPECT_FAILS(Read_Rc("xf_all\t10"), ">> tavlinrc.txt ends inside an xf_all entry");
    EXPECT_FAILS(Read_Rc("xf_all\tinf\t1\n"), "\"inf\", which is not a usable number");
    EXPECT_FAILS(Read_Rc(std::string(1024, ' ')), ">> tavlinrc.txt is 1024 bytes long; it may hold at most 1023");

    Rc rc;
    remove(RC_FILE);
    ASSERT_EQ(mkdir(RC_FILE, 0755), 0);  // exists but cannot be read: left alone
    EXPECT_FAILS(Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length), ">> Cannot read tavlinrc.txt");
    rmdir(RC_FILE);
    // A dangling link: nothing to read, and the template cannot be made there.
    ASSERT_EQ(symlink("/nonexistent/folder/rc", RC_FILE), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ">> Cannot write the template tavlinrc.txt; building without crossfades\n");
}
