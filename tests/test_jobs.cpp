// Job-file readers: tokenising, the run-control template, and limits that are
// refused rather than overflowing a table, each at its boundary.
#include <sys/stat.h>

#include "helpers.h"
#include "jobs/jobs.h"
#include "text.h"

namespace {

struct Rc {
    int32_t types[MAX_ENTRIES] = {}, all_type = 0, result = -1, lines[MAX_ENTRIES] = {}, all_line = 0;
    float lengths[MAX_ENTRIES] = {}, all_length = 0;
};

Rc Read_Rc(const char* text = nullptr)  // nullptr: read whatever is there
{
    if (text)
        Spit(RC_FILE, text);
    Rc rc;
    rc.result = Check_RC(rc.types, rc.lengths, &rc.all_type, &rc.all_length, rc.lines, &rc.all_line);
    return rc;
}

// Reads `text` as base.txt (times == nullptr) or points.txt; returns the names or
// suffixes, and the times through `times`, as decimal seconds and their line.
std::vector<std::string> Read_List(const std::string& text, std::vector<std::string>* times = nullptr)
{
    static char names[MAX_ENTRIES * NAME_SLOT];
    static Edit_Time t[MAX_ENTRIES];
    int32_t count = -1, lines[MAX_ENTRIES];
    Spit(times ? POINTS_FILE : BASE_FILE, text);
    times ? ReadEditFile(&count, names, NAME_SLOT, t) : ReadBaseFile(&count, names, NAME_SLOT, lines);
    std::vector<std::string> out, seconds_at;
    for (int32_t k = 0; k < count; k++) {
        char seconds[SECONDS_BUFFER];
        Format_Seconds(&t[k], seconds);
        seconds_at.push_back(std::string(seconds) + "@" + std::to_string(t[k].line));
        out.push_back(names + k * NAME_SLOT);
    }
    if (times)
        *times = seconds_at;
    return out;
}

}  // namespace

using Job_Files = InFolder;
using Names = std::vector<std::string>;
using Refusals = std::vector<std::pair<std::string, std::string>>;

TEST_F(Job_Files, ListsKeepWholeLinesSkipBlankOnesAndRefuseWhatDoesNotFit)
{
    // LF and CR LF both end a line; a CR elsewhere is refused with its line.
    EXPECT_EQ(Read_List("\xEF\xBB\xBFkick\n\n \r\n\nsnare drum\r\n\tbass\t\r"), (Names{"kick", "snare drum", "\tbass\t"}));
    EXPECT_FAILS(Read_List("kick\nsnare\rdrum\n"), ">> base.txt line 2 holds a CR \\(carriage return\\) that ends no line");
    std::vector<std::string> times;
    EXPECT_EQ(Read_List("\xEF\xBB\xBF" "12.5\tA\r\n\n \r\n\t\t\n\t 12.50 \ttake 2\tx\n-3\t\tC\n", &times),
              (Names{"A", "take 2\tx", "\tC"}));
    EXPECT_EQ(times, (Names{"12.5@1", "12.5@5", "-3@6"}));

    std::string many;
    for (int k = 0; k < 1025; k++)
        many += "t" + std::to_string(k) + "\n";
    EXPECT_EQ(Read_List(many.substr(0, many.size() - 6)).size(), 1024u);
    EXPECT_EQ(Read_List(std::string(127, 'n')).at(0).size(), 127u);
    EXPECT_FAILS(Read_List(many), ">> base.txt holds more than 1024 base names, exiting");
    EXPECT_FAILS(Read_List("ok\n" + std::string(128, 'n')), ">> Base name 2 is 128 characters long");
    EXPECT_FAILS(Read_List(std::string(32768, '\n')), ">> base.txt is 32768 bytes long; it may hold at most 32767");
    // points.txt: one number (or timecode), a TAB, the take suffix; nothing is guessed.
    for (const auto& [text, message] : Refusals{
             {"0\tA\n1,5\tB\n", ">> points.txt line 2: \"1,5\" is not a time in seconds, exiting\n>> Write times with a"},
             {"0\tA\n \tB\n", "line 2: \" \" is not a time in seconds"},
             {"0\tA\n\n7 B\n8\tB\n", ">> points.txt line 3: \"7 B\" holds no TAB between the time and the take suffix"},
             {std::string("0\tA\n1\tB\0\n", 9), ">> points.txt line 2 holds a NUL byte"},
             {"0\t\n1\tA\n", ">> points.txt line 1: \"0\" names no take after its TAB"},
             {"0\tA\n7\n", ">> points.txt ends after the time of edit 2, which names no take"},
             {"0:60\tA\n", ">> points.txt line 1: \"0:60\" is not a timecode"},
             {"0\tA\n1:60:00\tB\n", "line 2: \"1:60:00\" is not a timecode"},
             {"1e39\tA\n", ">> points.txt line 1: \"1e39\" is too large for an edit time"},
             {"1e12\tA\n", ">> points.txt line 1: \"1e12\" is too large for an edit time"},
             {"0x0.1p0\tA\n", ">> points.txt line 1: \"0x0.1p0\" is not a time in seconds"},
             {"0\tA\n\ninf\tA\n", ">> points.txt line 3: \"inf\" is not a usable number"},
             {"1e-65\tA\n", ">> points.txt line 1: \"1e-65\" has more than 64 decimals"}})
        EXPECT_FAILS(Read_List(text, &times), message) << text;

    // Times are read exactly as written, in any spelling of the same number or as a timecode.
    const std::string tiny = "0.000000000000000000000000000000000000000000000000000000000000001";
    for (std::string spelling : {"9.39\tA\n62.5\tA\n3723.25\tA\n0\tA\n2.61\tA\n1500\tA\n0.0015\tA\n-0.5\tA\n" + tiny,
                                 std::string(" 0:09.39\tA\n1:02.5\tA\n1:02:03.25 \tA\r\n0:00\tA\n0:02.61\tA\n"
                                             "1.5e3\tA\n15E-4\tA\n-.5\tA\n+1e-63")}) {
        Read_List(spelling + "\tA\n", &times);
        EXPECT_EQ(times, (Names{"9.39@1", "62.5@2", "3723.25@3", "0@4", "2.61@5", "1500@6", "0.0015@7", "-0.5@8",
                                tiny + "@9"})) << spelling;
    }

    // The frame of a time is floor(time x rate) of its digits; its clock is rounded to the millisecond.
    struct Frame { std::string time; int32_t rate; int64_t frame; std::string clock; };
    for (const Frame& f : std::vector<Frame>{{"0.29", 48000, 13920, "0:00:00.290"},
                                              {"2062.892", 48000, 99018816, "0:34:22.892"},
                                              {"1.000020833", 48000, 48000, "0:00:01.000"},
                                              {"1.000020834", 48000, 48001, "0:00:01.000"},
                                              {"59.9995", 7, 419, "0:01:00.000"},
                                              {"59.99949", 7, 419, "0:00:59.999"},
                                              {"-2.5", 8000, 0, "-0:00:02.500"},
                                              {"4000000000.5", 1, 4000000000, "1111111:06:40.500"},
                                              {"999999999999.999", 2147483647, INT64_MAX, "277777777:46:39.999"}}) {
        Read_List(f.time + "\tA\n", &times);
        Edit_Time parsed;
        ASSERT_EQ(Read_Seconds(f.time.c_str(), &parsed), TIME_OK) << f.time;
        EXPECT_EQ(Time_Frame(&parsed, f.rate), f.frame) << f.time;
        char clock[CLOCK_BUFFER];
        Format_Clock(Time_Milliseconds(&parsed), 3, clock);
        EXPECT_STREQ(clock, f.clock.c_str()) << f.time;
    }
}

TEST_F(Job_Files, RunControlEntriesApplyInFileOrderAndWhatWouldMisreadOrOverwriteIsRefused)
{
    Rc rc = Read_Rc();
    EXPECT_EQ(rc.result, 1);
    EXPECT_FALSE(fs::exists(RC_FILE));  // the caller writes the template once the job passed its checks
    Write_RC_Template();
    EXPECT_NE(Slurp(RC_FILE).find("\n(xf_all\t200\t1)\n\nTweak individual tracks\n(xf_tr\t1\t200\t1)\n"), std::string::npos);
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
    for (const auto& [text, message] : Refusals{
             {"\nxf_tr\t1025\t10\t1\n", ">> tavlinrc.txt line 2 names track \"1025\"; tracks are numbered 1 to 1024"},
             {"xf_tr\t0\t10\t1\n", "names track \"0\""},
             {"xf_tr\t \t10\t1\n", ">> tavlinrc.txt line 1: \" \" is not a track number"},
             {"xf_tr\t1\t10\n", ">> tavlinrc.txt ends inside an xf_tr entry"},
             {"xf_all\tinf\t1\n", ">> tavlinrc.txt line 1: \"inf\" is not a usable number"},
             {"xf_all\t1e39\t1\n", ">> tavlinrc.txt line 1: \"1e39\" is too large for a crossfade length"},
             {"xf_all\t0x10\t1\n", "\"0x10\" is not a crossfade length in milliseconds"},
             {"xf_all\t1,5\t1\n", "line 1: \"1,5\" is not a crossfade length in milliseconds, exiting\n>> Write entries"},
             {"xf_all\t50\t0x1\n", ">> tavlinrc.txt line 1: \"0x1\" is not a crossfade type"},
             {"xf_tr\t1\t50\t2.9\r\n", "\"2.9\" is not a crossfade type"},  // a CR LF line end
             {"xf_tr\t2\t80\nxf_all\t30\t3\n", ">> tavlinrc.txt line 1 ends inside an xf_tr entry"},
             {"xf_tr\t2\t80\txf_all\t30\t3\n", "\"xf_all\" is not a crossfade type"},
             {"noise\nxf_all 50 1\n", ">> tavlinrc.txt line 2: \"xf_all 50 1\" is not a crossfade entry"},
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
    Write_RC_Template();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">> Cannot write the template tavlinrc.txt; building without crossfades\n");
    EXPECT_FALSE(fs::exists("elsewhere.txt"));
}
