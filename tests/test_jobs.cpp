// Job-file readers: tokenising, the run-control template, and limits that are
// refused rather than overflowing a table, each at its boundary.
#include <sys/stat.h>

#include "helpers.h"
#include "jobs/jobs.h"

namespace {

struct Rc {
    int32_t types[MAX_ENTRIES] = {}, all_type = 0, result = -1;
    float lengths[MAX_ENTRIES] = {}, all_length = 0;
};

Rc Read_Rc(const char* text = nullptr)  // nullptr: read whatever is there
{
    if (text)
        Spit(RC_FILE, text);
    Rc rc;
    rc.result = Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length);
    return rc;
}

// Reads `text` as base.txt (times == nullptr) or points.txt; returns the names or
// suffixes, and the times through `times`.
std::vector<std::string> Read_List(const std::string& text, std::vector<float>* times = nullptr)
{
    static char names[MAX_ENTRIES * NAME_SLOT];
    float t[MAX_ENTRIES];
    int32_t count = -1;
    Spit(times ? POINTS_FILE : BASE_FILE, text);
    times ? ReadEditFile(&count, names, NAME_SLOT, t) : ReadBaseFile(&count, names, NAME_SLOT);
    std::vector<std::string> out;
    for (int32_t k = 0; k < count; k++)
        out.push_back(names + k * NAME_SLOT);
    if (times)
        times->assign(t, t + count);
    return out;
}

}  // namespace

using Job_Files = InFolder;
using Names = std::vector<std::string>;
using Refusals = std::vector<std::pair<std::string, std::string>>;

TEST_F(Job_Files, ListsKeepWholeLinesSkipBlankOnesAndRefuseWhatDoesNotFit)
{
    EXPECT_EQ(Read_List("\xEF\xBB\xBFkick\n\n \r\n\nsnare drum\r\n\tbass\t"), (Names{"kick", "snare drum\r", "\tbass\t"}));
    std::vector<float> times;
    EXPECT_EQ(Read_List("\xEF\xBB\xBF" "12.5\tA\r\n\n \r\n\t\t\n\t 12.5 \ttake 2\tx\n-3\t\tC\n", &times),
              (Names{"A\r", "take 2\tx", "\tC"}));
    EXPECT_EQ(times, (std::vector<float>{12.5f, 12.5f, -3.0f}));

    std::string many;
    for (int k = 0; k < 1025; k++)
        many += "t" + std::to_string(k) + "\n";
    EXPECT_EQ(Read_List(many.substr(0, many.size() - 6)).size(), 1024u);
    EXPECT_EQ(Read_List(std::string(127, 'n')).at(0).size(), 127u);
    EXPECT_FAILS(Read_List(many), ">> base.txt holds more than 1024 base names, exiting");
    EXPECT_FAILS(Read_List("ok\n" + std::string(128, 'n')), ">> Base name 2 is 128 characters long");
    EXPECT_FAILS(Read_List(std::string(32768, '\n')), ">> base.txt is 32768 bytes long; it may hold at most 32767");
    // points.txt: one number (or timecode), a TAB, the take suffix; nothing is guessed.
    const std::string hint = "exiting\n>> Write times with a decimal point";
    for (const auto& [text, message] : Refusals{
             {"0\tA\n1,5\tB\n", ">> points.txt line 2: \"1,5\" is not a time in seconds, " + hint},
             {"0\tA\n \tB\n", "line 2: \" \" is not a time in seconds"},
             {"0\tA\n\n7 B\n8\tB\n", ">> points.txt line 3: \"7 B\" holds no TAB between the time and the take suffix, " + hint},
             {std::string("0\tA\n1\tB\0\n", 9), ">> points.txt line 2 holds a NUL byte"},
             {"0\t\n1\tA\n", ">> points.txt line 1: \"0\" names no take after its TAB"},
             {"0\tA\n7\n", ">> points.txt ends after the time of edit 2, which names no take"},
             {"0:60\tA\n", ">> points.txt line 1: \"0:60\" is not a timecode"},
             {"0\tA\n1:60:00\tB\n", "line 2: \"1:60:00\" is not a timecode"},
             {"1e39\tA\n", "An edit time in points.txt is \"1e39\", which is not a usable number"}})
        EXPECT_FAILS(Read_List(text, &times), message) << text;

    // A timecode reads as exactly the float its seconds written out give, and is
    // written back rounded to the millisecond.
    std::vector<float> decimal;
    Read_List("9.39\tA\n62.5\tA\n3723.25\tA\n0\tA\n2.61\tA\n", &decimal);
    Read_List(" 0:09.39\tA\n1:02.5\tA\n1:02:03.25 \r\tA\n0:00\tA\n0:02.61\tA\n", &times);  // 2 + .61 in float is not 2.61
    EXPECT_EQ(times, decimal);
    char text[32];
    Format_Time(59.9996, text);
    EXPECT_STREQ(text, "0:01:00.000");
}

TEST_F(Job_Files, RunControlEntriesApplyInFileOrderAndWhatWouldMisreadOrOverwriteIsRefused)
{
    Rc rc = Read_Rc();
    EXPECT_EQ(rc.result, 1);
    EXPECT_EQ(Slurp(RC_FILE), "Parameters file for tavlin - remove parenthesis to use\n\nSet all tracks the same:\n"
                              "(xf_all\t200\t1)\n\nTweak individual tracks\n(xf_tr\t1\t200\t1)\n");
    rc = Read_Rc();
    EXPECT_EQ(rc.result + rc.all_type + rc.types[0], 0);

    // A BOM, CR line ends, spaces around numbers, free text and the template's lines;
    // a keyword after free text on a line still counts. 1023 bytes are read whole.
    std::string entries = "\xEF\xBB\xBFxf_tr\t3\t 150 \t2\r\nxf_all\t100\t2\r\n(xf_all\t200\t1)\nnoise\txf_all\t50.5\t4\t\r\n"
                       "xf_tr\t1024\t7\t3\n";
    rc = Read_Rc((entries + std::string(1023 - entries.size() - 12, ' ') + "\nxf_tr\t1\t9\t1").c_str());
    EXPECT_EQ(std::vector<float>({rc.all_length, (float)rc.all_type, rc.lengths[2], (float)rc.types[2],
                                  rc.lengths[1023], (float)rc.types[1023], rc.lengths[0]}),
              std::vector<float>({50.5f, 4, 150, 2, 7, 3, 9}));
    EXPECT_EQ(rc.types[1] + rc.types[3], 0);

    // One number per field, TABs between the fields, every value on the entry's line.
    const std::string hint = "exiting\n>> Write entries as xf_all";
    for (const auto& [text, message] : Refusals{
             {"xf_tr\t1025\t10\t1\n", ">> tavlinrc.txt names track \"1025\"; tracks are numbered 1 to 1024"},
             {"xf_tr\t0\t10\t1\n", "names track \"0\""},
             {"xf_tr\t1\t10\n", ">> tavlinrc.txt ends inside an xf_tr entry"},
             {"xf_all\tinf\t1\n", "\"inf\", which is not a usable number"},
             {"xf_all\t1,5\t1\n", ">> tavlinrc.txt line 1: \"1,5\" is not a crossfade length in milliseconds, " + hint},
             {"xf_all\t50\t0x1\n", ">> tavlinrc.txt line 1: \"0x1\" is not a crossfade type, " + hint},
             {"xf_tr\t1\t50\t2.9\r\n", "\"2.9\" is not a crossfade type"},  // the CR is not printed
             {"xf_tr\t2\t80\nxf_all\t30\t3\n", ">> tavlinrc.txt line 1 ends inside an xf_tr entry"},
             {"xf_tr\t2\t80\txf_all\t30\t3\n", "\"xf_all\" is not a crossfade type"},
             {"noise\nxf_all 50 1\n", ">> tavlinrc.txt line 2: \"xf_all 50 1\" is not a crossfade entry, " + hint},
             {"  xf_tr\t1\t50\t1\n", "\"  xf_tr\" is not a crossfade entry"},
             {std::string(1024, ' '), ">> tavlinrc.txt is 1024 bytes long; it may hold at most 1023"}})
        EXPECT_FAILS(Read_Rc(text.c_str()), message) << text;
    remove(RC_FILE);
    ASSERT_EQ(mkdir(RC_FILE, 0755), 0);  // there, but not readable: left alone
    EXPECT_FAILS(Read_Rc(), ">> Cannot read tavlinrc.txt");
    rmdir(RC_FILE);
    ASSERT_EQ(symlink("elsewhere.txt", RC_FILE), 0);  // the template never goes through a link
    testing::internal::CaptureStdout();
    EXPECT_EQ(Read_Rc().result, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">> Cannot write the template tavlinrc.txt; building without crossfades\n");
    EXPECT_FALSE(fs::exists("elsewhere.txt"));
}
