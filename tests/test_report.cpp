// The HTML report as a user gets it: well-formed SVG, a plan lane per output, a row of
// panels per edit with red marks exactly where audio reaches full scale, the same for a
// dry run and a build, within its size bound, and readable in a real browser.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "report/report.h"
#include "helpers.h"

namespace {

// Reads a report and prints one line per element the tests look at. Every SVG part must
// parse as XML; the rest is read with patterns (the XML parser is slow on 1024 lanes).
//   take COLOUR SUFFIX | axis SECONDS | columns C | lane N NAME | seg N COLOUR TAKE |
//   run N X WIDTH COLOUR | tail N X WIDTH | fail N X WIDTH TITLE | edit ID |
//   cut ID TRACK CLASS WORDS | red ID TRACK STRIP COLUMN...|STRIP COLUMN...|
// with X and WIDTH in the columns of the lanes' own grid.
const char* const SUMMARY = R"py(
import html as entities, re, sys, xml.dom.minidom as md
page = open(sys.argv[1], encoding='utf-8').read()
def svgs(text):  # the outermost SVG elements (the plan's lanes hold SVGs of their own)
    found, depth = [], 0
    for tag in re.finditer(r'<svg\b|</svg>', text):
        start = tag.start() if depth == 0 else start
        depth += 1 if tag.group() == '<svg' else -1
        if depth == 0:
            found.append(text[start:tag.end()])
    return found
for part in svgs(page):
    md.parseString(part.encode())
for colour, suffix in re.findall(r'<li class="take"><i style="background:([^"]*)"></i>(.*?)</li>', page):
    print('take', colour, entities.unescape(suffix))
plan = page[page.index('class="plan"'):page.index('<h2>Edits')]
h, m, s = re.findall(r'<text x="[\d.]+%" y="\d+"[^>]*>([\d:.]+)</text>', plan)[-1].split(':')
print('axis', int(h) * 3600 + int(m) * 60 + float(s))
print('columns', re.search(r'viewBox="0 -2 (\d+)', plan).group(1))
spans = lambda d: re.findall(r'M([\d.]+) 9h([\d.]+)', d)
xw = r'x="([\d.]+)" width="([\d.]+)"'
for n, lane in enumerate(plan.split('<g class="lane"')[1:]):
    print('lane', n, entities.unescape(re.search(r'<text[^>]*>([^<]*)', lane).group(1)))
    for colour, title in re.findall(r'<rect class="seg" [^>]*fill="([^"]+)"><title>([^<]*)', lane):
        print('seg', n, colour, entities.unescape(title).split(':')[0])
    for x, w, colour in re.findall(r'<rect class="seg run" ' + xw + r' height="\d+" fill="([^"]+)"', lane):
        print('run', n, x, w, colour)
    for colour, d in re.findall(r'<path class="run" stroke="([^"]+)" d="([^"]*)"', lane):
        for x, w in spans(d):
            print('run', n, x, w, colour)
    for d in re.findall(r'<path class="tails" d="([^"]*)"', lane):
        for x, w in spans(d):
            print('tail', n, x, w)
    for x, w, title in re.findall(r'<rect class="xf bad fail" ' + xw + r'[^>]*><title>(.*?)</title>', lane):
        print('fail', n, x, w, entities.unescape(title))
for section in re.finditer(r'<section class="edit" id="edit(\d+)">(.*?)</section>', page, re.S):
    edit = section.group(1)
    print('edit', edit)
    panels = re.findall(r'<div class="pn"><p class="tn">.*?</p><p class="(\w+)">(.*?)</p>'
                        r'(?:<p class="flag">.*?</p>)*(.*?)</div>', section.group(2), re.S)
    for t, (css, words, svg) in enumerate(panels):
        print('cut', edit, t, css, entities.unescape(words))
        red = ''.join(' '.join([strip] + [str(c) for at, n in re.findall(r'M(\d+) 0h(\d+)', d)
                                          for c in range(int(at), int(at) + int(n))]) + '|'
                      for strip, body in re.findall(r'<g class="strip (\w+)"[^>]*>(.*?)</g>', svg, re.S)
                      for d in re.findall(r'<path class="fs" d="([^"]*)"', body))
        if red:
            print('red', edit, t, red)
)py";

// The summary of report `path` (python's complaint, should it refuse it).
std::string Summary(const std::string& path)
{
    Spit("summary.py", SUMMARY);
    Ran r = Shell("python3 summary.py '" + path + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

// The summary lines that begin with `kind` and a space, without it.
std::vector<std::string> Lines(const std::string& summary, const std::string& kind)
{
    std::vector<std::string> found;
    std::istringstream in(summary);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, kind.size() + 1, kind + " ") == 0)
            found.push_back(line.substr(kind.size() + 1));
    return found;
}

// A report without the line that tells a dry run from a build.
std::string Without_Run_Line(const std::string& report)
{
    size_t at = report.find("<p class=\"run\">");
    return at == std::string::npos ? report : report.substr(0, at) + report.substr(report.find('\n', at));
}

const auto Tone = [](int64_t frame, int channel) { return 0.3 * std::sin(frame * 0.05 + channel); };

// A stretch of a lane in columns, as the plan draws it.
struct Drawn { double x, width; std::string rest; };  // rest: a run's colour, a failed mark's title

// The stretches of `kind` (run, tail or fail) in the summary, per lane.
std::map<int, std::vector<Drawn>> Drawn_In(const std::string& summary, const std::string& kind)
{
    std::map<int, std::vector<Drawn>> lanes;
    for (const std::string& line : Lines(summary, kind)) {
        std::istringstream cells(line);
        int lane;
        Drawn drawn;
        cells >> lane >> drawn.x >> drawn.width;
        std::getline(cells >> std::ws, drawn.rest);
        lanes[lane].push_back(drawn);
    }
    return lanes;
}

// Whether one of `drawn` covers column `at`.
bool Covers(const std::vector<Drawn>& drawn, double at)
{
    for (const Drawn& d : drawn)
        if (d.x - 0.05 <= at && at <= d.x + d.width + 0.05)
            return true;
    return false;
}

// A dry run of the job here with a report r.html, after one under a file-size limit of
// `limit_kb` (above its outputs, below the report) whose refusal says the most bytes the
// report may take: expects the report within that bound, and returns the bound.
int64_t Dry_Run_Within_Bound(int limit_kb)
{
    Ran r = Shell("bash -c 'ulimit -f " + std::to_string(limit_kb) + " && exec " TAVLIN2A " -nq --report r.html'");
    EXPECT_EQ(r.status, 1) << r.output;
    size_t at = r.output.find("would be up to ");
    EXPECT_NE(at, std::string::npos) << r.output;
    int64_t bound = at == std::string::npos ? -1 : std::stoll(r.output.substr(at + 15));
    Ran dry = Run_Tool("-nq --report r.html");
    EXPECT_EQ(dry.status, 0) << dry.output;
    EXPECT_LE((int64_t)fs::file_size("r.html"), bound);
    return bound;
}

}  // namespace

using Report = InFolder;

TEST_F(Report, TheDemoJobsPlanAndEditsAndADryRunThatAgrees)
{
    ASSERT_EQ(Shell(std::string(TAVLIN_TONES) + " .").status, 0);
    const std::map<std::string, std::string> before = Snapshot();
    // A report not named .html is refused (then no file may appear: checked below).
    Ran txt = Run_Tool("--report r.txt");
    EXPECT_EQ(txt.status, 2);
    EXPECT_NE(txt.output.find("--report needs a file name ending in .html (\"r.txt\")"), std::string::npos) << txt.output;
    Ran dry = Run_Tool("-n --report dry.html");
    ASSERT_EQ(dry.status, 0) << dry.output;
    EXPECT_NE(dry.output.find("\n\nReport written to dry.html\n\nDry run"), std::string::npos) << dry.output;
    std::map<std::string, std::string> after = Snapshot();
    EXPECT_EQ(after.erase("dry.html"), 1u);
    EXPECT_TRUE(after == before);  // the report and nothing else, no hidden file left
    Ran real = Run_Tool("--report real.html");
    ASSERT_EQ(real.status, 0) << real.output;
    EXPECT_NE(real.output.find("\n\nReport written to real.html\n\nDone\n"), std::string::npos) << real.output;

    // The outputs read back are the frames the dry run mixed in memory.
    std::string real_report = Slurp("real.html");
    EXPECT_NE(Without_Run_Line(real_report), real_report);
    EXPECT_EQ(Without_Run_Line(Slurp("dry.html")), Without_Run_Line(real_report));

    std::string summary = Summary("real.html");
    EXPECT_EQ(Lines(summary, "take"), (std::vector<std::string>{"#4e79a7 _take1", "#f28e2b _take2", "#59a14f _take3"}));
    EXPECT_EQ(Lines(summary, "lane"), (std::vector<std::string>{"0 keys_bld.wav", "1 bass_bld.wav", "2 pad_bld.wav"}));
    std::vector<std::string> segments;
    for (int lane = 0; lane < 3; lane++)
        for (const char* take : {"#4e79a7 _take1", "#f28e2b _take2", "#59a14f _take3", "#4e79a7 _take1"})
            segments.push_back(std::to_string(lane) + " " + take);
    EXPECT_EQ(Lines(summary, "seg"), segments);
    EXPECT_EQ(Lines(summary, "edit"), (std::vector<std::string>{"2", "3", "4"}));
    EXPECT_EQ(Lines(summary, "cut").at(1), "2 1 ok 300.0 ms linear crossfade");
    EXPECT_EQ(Lines(summary, "red"), std::vector<std::string>{});  // the tones stay at half scale
}

TEST_F(Report, RedMarksExactlyWhereATakeOrTheOutputReachesFullScale)
{
    // 8000 Hz, one edit at frame 8000. A 10 ms crossfade is 80 frames (7960 to 8040);
    // a panel shows 160 frames more on each side: 7800 to 8200, two frames a column.
    // Spikes: take A at frame 7900 in its first channel (column 50), take B at frame
    // 8100 in its last (column 150); the output copies both.
    // A track: its base name and format, its tavlinrc.txt entry ("": none), its spikes (full
    // scale, or just below it; 0: none), the frames of take A, the class and words of its
    // panel's second line and the red marks of the panel.
    struct Row { std::string base; int bits; bool is_float; int channels; std::string fade; double spike;
                 int frames_a; std::string cut, red; };
    const std::string spikes = "prev 50|next 150|built 50 150|";
    const std::vector<Row> rows = {
        {"i16", 16, false, 1, "10\t1", 1.0, 16000, "ok 10.0 ms equal-power crossfade", spikes},
        {"i24", 24, false, 2, "10\t1", 1.0, 16000, "ok 10.0 ms equal-power crossfade", spikes},
        {"i32", 32, false, 3, "10\t2", 1.0, 16000, "ok 10.0 ms linear crossfade", spikes},
        {"f32", 32, true, 2, "10\t3", 1.0, 16000, "ok 10.0 ms cosine crossfade", spikes},
        {"f64", 64, true, 1, "10\t4", 1.5, 16000, "ok 10.0 ms sine crossfade", spikes},
        {"c&o<o>l\"'\xff", 16, false, 1, "10\t1", 32766.0 / 32768, 16000, "ok 10.0 ms equal-power crossfade", ""},
        {"short", 16, false, 1, "10\t1", 0, 4000,
         "bad crossfade failed: previous take ended 0:00:00.495 before the crossfade", ""},
        {"hard", 24, false, 1, "", 0, 16000, "ok hard cut: no crossfade set", ""},
        {"early", 16, false, 1, "3000\t1", 0, 16000, "off no crossfade: too near the start", ""},
    };
    std::string bases, rc;
    for (size_t t = 0; t < rows.size(); t++) {
        const Row& row = rows[t];
        bases += row.base + "\n";
        if (!row.fade.empty())
            rc += "xf_tr\t" + std::to_string(t + 1) + "\t" + row.fade + "\n";
        for (int take : {0, 1})
            Write_Wav(row.base + (take ? "B" : "A") + ".wav", 8000, row.bits, row.is_float, row.channels,
                      take ? 16000 : row.frames_a, [&](int f, int c) {
                          bool spike = take ? f == 8100 && c == row.channels - 1 : f == 7900 && c == 0;
                          return spike && row.spike != 0 ? (take ? row.spike : -row.spike) : Tone(f, c);
                      });
    }
    // Takes that hold 0.9 of full scale throughout: an equal-power crossfade of them
    // overloads, and only the output's strip is red, inside the crossfade (columns 80 to 120).
    bases += "sum\n";
    rc += "xf_tr\t" + std::to_string(rows.size() + 1) + "\t10\t1\n";
    Write_Wav("sumA.wav", 8000, 16, false, 1, 16000, [](int, int) { return 0.9; });
    Write_Wav("sumB.wav", 8000, 16, false, 1, 16000, [](int, int) { return 0.9; });
    Spit("base.txt", bases);
    Spit("points.txt", "0\tA\n1\tB\n2\tB\n");
    Spit("tavlinrc.txt", rc);

    Ran dry = Run_Tool("-n --report dry.html");
    ASSERT_EQ(dry.status, 0) << dry.output;
    Ran real = Run_Tool("--report real.html");
    ASSERT_EQ(real.status, 0) << real.output;
    EXPECT_NE(real.output.find("Crossfade failed."), std::string::npos);
    EXPECT_EQ(Without_Run_Line(Slurp("dry.html")), Without_Run_Line(Slurp("real.html")));

    std::string summary = Summary("real.html");
    EXPECT_EQ(Lines(summary, "lane").at(5), "5 c&o<o>l\"'\\xFF_bld.wav");
    std::vector<std::string> cuts = Lines(summary, "cut"), red = Lines(summary, "red"), expected_red;
    ASSERT_EQ(cuts.size(), rows.size() + 1);
    for (size_t t = 0; t < rows.size(); t++) {
        EXPECT_EQ(cuts[t], "2 " + std::to_string(t) + " " + rows[t].cut) << rows[t].base;
        if (!rows[t].red.empty())
            expected_red.push_back("2 " + std::to_string(t) + " " + rows[t].red);
    }
    // The sum track, last: the output's strip alone, marked inside the crossfade (columns 80 to 119).
    ASSERT_EQ(red.size(), expected_red.size() + 1);
    EXPECT_TRUE(std::regex_match(red.back(), std::regex("2 9 built( (8|9|10|11)[0-9])+\\|"))) << red.back();
    red.pop_back();
    EXPECT_EQ(red, expected_red);
    EXPECT_NE(Slurp("real.html").find("(output at full scale on 6 tracks; crossfade failed on 1 track"),
              std::string::npos);
}

TEST_F(Report, PastThePanelLimitTheEditsWithWarningsStay)
{
    // 2 tracks of 1022 edits are 2044 panels: 1000 edits fit, those with warnings
    // first. Track a cuts hard; a spike 3 frames after edit 1021 (frame 102000) is
    // marked in columns 115 to 119, as at 1000 Hz a panel spans 40 frames, five columns
    // a frame. Track b crossfades over 10 frames: around edit 1011 (frame 101000) both
    // its takes hold 0.9 of full scale, and only the mix of them reaches it.
    std::string points;
    for (int k = 0; k < 1024; k++)
        points += std::to_string(k / 10) + "." + std::to_string(k % 10) + (k % 2 ? "\tB\n" : "\tA\n");
    Spit("base.txt", "a\nb\n");
    Spit("points.txt", points);
    Spit("tavlinrc.txt", "xf_tr\t2\t10\t1\n");
    for (std::string take : {"aA", "aB", "bA", "bB"})
        Write_Wav(take + ".wav", 1000, 16, false, 1, 102400, [&](int f, int c) {
            if (take == "aA" && f == 102003)
                return 1.0;
            return take[0] == 'b' && f >= 100990 && f < 101010 ? 0.9 : Tone(f, c);
        });
    Ran dry = Run_Tool("-nq --report r.html");
    ASSERT_EQ(dry.status, 0) << dry.output;
    std::string summary = Summary("r.html");
    std::vector<std::string> edits = Lines(summary, "edit");
    ASSERT_EQ(edits.size(), 1000u);
    EXPECT_EQ(edits.front(), "2");
    EXPECT_EQ(std::vector<std::string>(edits.begin() + 997, edits.end()),
              (std::vector<std::string>{"999", "1011", "1021"}));
    std::vector<std::string> red = Lines(summary, "red");
    ASSERT_EQ(red.size(), 2u);
    EXPECT_TRUE(std::regex_match(red[0], std::regex("1011 1 built [ 0-9]+\\|"))) << red[0];
    EXPECT_EQ(red[1], "1021 0 next 115 116 117 118 119|built 115 116 117 118 119|");
    std::string report = Slurp("r.html");
    EXPECT_NE(report.find("22 of 1022 edits are left out"), std::string::npos);
    EXPECT_NE(report.find("<li><a href=\"#edit1021\">Edit 1021</a>: output at full scale on 1 track</li>"),
              std::string::npos);
}

// The largest job the tool takes: 1024 tracks of 1024 edit points, every 0.1 s, each
// segment narrower than a column of the plan. Every track has four takes that end
// early (S1 to S4, each used once): each leaves a tail pad, and the crossfade out of it
// fails. Merged runs must still cover every lane, and no tail pad or failure be lost.
TEST_F(Report, TheLargestJobStaysUnderTwentyMegabytesAndShowsEveryFailureAndTailPad)
{
    const int tracks = 1024, points = 1024, rate = 1000;
    const std::map<int, std::string> short_at = {{200, "S1"}, {450, "S2"}, {700, "S3"}, {950, "S4"}};
    std::string list;
    for (int i = 0; i < points; i++) {
        auto named = short_at.find(i);
        list += std::to_string(i / 10) + "." + std::to_string(i % 10) + "\t" +
                (named != short_at.end() ? named->second : i % 2 ? "B" : "A") + "\n";
    }
    Spit("points.txt", list);
    Spit("tavlinrc.txt", "xf_all\t20\t1\n");
    // Take S ends 40 frames into its segment of 100: a tail pad of 60 frames, and the
    // crossfade into the next edit point would start 50 frames after it ends.
    Write_Wav("A.wav", rate, 16, false, 1, points * 100 + 1000, Tone);
    Write_Wav("B.wav", rate, 16, false, 1, points * 100 + 1000, Tone);
    for (const auto& [i, take] : short_at)
        Write_Wav(take + ".wav", rate, 16, false, 1, i * 100 + 40, Tone);
    std::string bases;
    for (int t = 0; t < tracks; t++) {
        std::string base = "t" + std::to_string(t);
        bases += base + "\n";
        for (std::string take : {"A", "B", "S1", "S2", "S3", "S4"})
            fs::create_hard_link(take + ".wav", base + take + ".wav");
    }
    Spit("base.txt", bases);

    // Outputs of 206 kB pass a limit of 256 kB; the report cannot, and the refusal says
    // the most it may take.
    EXPECT_LE(Dry_Run_Within_Bound(256), REPORT_BYTES_LIMIT);

    std::string summary = Summary("r.html");
    const int columns = std::stoi(Lines(summary, "columns").at(0));
    const double per_second = columns / std::stod(Lines(summary, "axis").at(0));
    std::map<int, std::vector<Drawn>> runs = Drawn_In(summary, "run"), tails = Drawn_In(summary, "tail"),
                                      fails = Drawn_In(summary, "fail");
    ASSERT_EQ(runs.size(), (size_t)tracks);
    for (int t = 0; t < tracks; t++) {
        SCOPED_TRACE("lane " + std::to_string(t));
        // Runs side by side from the lane's start to its end (102.3 s), no gap a column wide.
        std::sort(runs[t].begin(), runs[t].end(), [](const Drawn& a, const Drawn& b) { return a.x < b.x; });
        double reached = 0;
        for (const Drawn& run : runs[t]) {
            EXPECT_LT(run.x - reached, 1);
            reached = std::max(reached, run.x + run.width);
        }
        EXPECT_NEAR(reached, 102.3 * per_second, 0.2);
        EXPECT_LE(runs[t].size(), (size_t)columns + 1);
        ASSERT_EQ(fails[t].size(), short_at.size());
        size_t k = 0;
        for (const auto& [i, take] : short_at) {
            double time = i / 10.0;
            // The tail pad, from 40 ms into the segment to its end; the failed crossfade,
            // centred on the next edit point.
            EXPECT_TRUE(Covers(tails[t], (time + 0.07) * per_second)) << take;
            const Drawn& fail = fails[t][k++];
            EXPECT_TRUE(Covers({fail}, (time + 0.1) * per_second)) << take;
            EXPECT_GE(fail.width, columns / 200.0 - 0.05) << take;
            EXPECT_EQ(fail.rest, "Edit " + std::to_string(i + 2) +
                                     ": crossfade failed: previous take ended 0:00:00.050 before the crossfade");
        }
    }
    // The edit view keeps one row of 1024 panels, an edit with warnings.
    std::string report = Slurp("r.html");
    EXPECT_NE(report.find("1021 of 1022 edits are left out"), std::string::npos);
    EXPECT_NE(report.find("<section class=\"edit\" id=\"edit202\">"), std::string::npos);
}

// Segments narrower than a column merge into one run, drawn in the colour of the take
// that holds more than half of its frames, or grey (with its own key in the legend) where
// none does; a segment a column wide or more is drawn as itself. A small job's bound
// stays small.
TEST_F(Report, NarrowSegmentsMergeInTheColourOfTheTakeThatHoldsMostOfThem)
{
    // 1000 Hz, 240 s: the axis has 1000 columns of 240 frames. From 100 s on, B for 30
    // frames and C for 10, twelve times: two runs of a column each, three quarters B. From
    // 150 s on, A and C for 10 frames each, twelve times: a run of a column, half each.
    auto at = [](int ms) { return std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1); };
    std::string list = "0\tA\n";
    for (int k = 0; k < 12; k++)
        list += at(100000 + 40 * k) + "\tB\n" + at(100030 + 40 * k) + "\tC\n";
    list += "100.48\tB\n";
    for (int k = 0; k < 12; k++)
        list += at(150000 + 20 * k) + "\tA\n" + at(150010 + 20 * k) + "\tC\n";
    list += "150.24\tB\n240\tB\n";
    Spit("points.txt", list);
    Spit("base.txt", "m\n");
    Spit("tavlinrc.txt", "");
    for (std::string take : {"A", "B", "C"})
        Write_Wav("m" + take + ".wav", 1000, 16, false, 1, 240000, Tone);

    // The output of 480 kB passes 512 kB; the bound is not the 20 MB a large job may take.
    EXPECT_LT(Dry_Run_Within_Bound(512), 1000000);

    std::string summary = Summary("r.html");
    ASSERT_EQ(Lines(summary, "columns"), std::vector<std::string>{"1000"});
    ASSERT_EQ(Lines(summary, "axis"), std::vector<std::string>{"240.0"});
    // B's colour twice, then the grey of no take holding most of a run.
    EXPECT_EQ(Lines(summary, "run"),
              (std::vector<std::string>{"0 416.7 1 #f28e2b", "0 417.7 1 #f28e2b", "0 625 1 #8c8c99"}));
    EXPECT_NE(Slurp("r.html").find("<li class=\"key\"><i class=\"mix\"></i>several takes, each under a column</li>"),
              std::string::npos);
    // The wide segments are drawn as themselves, each with its details for hovering.
    EXPECT_EQ(Lines(summary, "seg"), (std::vector<std::string>{"0 #4e79a7 A", "0 #f28e2b B", "0 #f28e2b B"}));
}

// The report as a person sees it, checked by tests/report_layout.py in headless Chromium
// at 800, 1280 and 2560 px: the demo's, and one with failed crossfades, tail pads and
// full-scale marks. Skipped where the browser is missing, but not on CI.
TEST_F(Report, ReadableInARealBrowserAtAnyWidth)
{
    fs::create_directory("demo");
    ASSERT_EQ(Shell(std::string(TAVLIN_TONES) + " demo").status, 0);
    Ran demo = Run_Tool("-q -C demo --report demo.html");
    ASSERT_EQ(demo.status, 0) << demo.output;

    // 8000 Hz, takes A, B, C, B at 0, 1, 2 and 3 s, the end at 4 s.
    // vox: take A holds 4000 frames and take C 20000: each of their segments ends in a
    //   tail pad, and the crossfades out of them fail (the take ends before the
    //   crossfade starts).
    // gtr: full scale in both takes a few frames either side of the edit at 2 s.
    // drm: cuts hard, full scale just after the edit at 1 s.
    // bass: a 3 s crossfade, too near the start at 1 s; at 3 s cut short by the end,
    //   and take C's audio ends inside it (a tail pad and a note on the panel).
    fs::create_directory("hard");
    Spit("hard/base.txt", "vox\ngtr\ndrm\nbass\n");
    Spit("hard/points.txt", "0\tA\n1\tB\n2\tC\n3\tB\n4\tB\n");
    Spit("hard/tavlinrc.txt", "xf_tr\t1\t10\t1\nxf_tr\t2\t10\t2\nxf_tr\t4\t3000\t3\n");
    for (const char* take : {"A", "B", "C"}) {
        std::string t = take;
        Write_Wav("hard/vox" + t + ".wav", 8000, 16, false, 1, t == "A" ? 4000 : t == "C" ? 20000 : 32000, Tone);
        Write_Wav("hard/gtr" + t + ".wav", 8000, 24, false, 2, 32000, [&](int f, int c) {
            return (t == "B" && f == 15950 && c == 0) || (t == "C" && f == 16050 && c == 1) ? 1.0 : Tone(f, c);
        });
        Write_Wav("hard/drm" + t + ".wav", 8000, 32, true, 1, 32000,
                  [&](int f, int c) { return t == "B" && f == 8010 ? -1.0 : Tone(f, c); });
        Write_Wav("hard/bass" + t + ".wav", 8000, 16, false, 1, t == "C" ? 20000 : 32000, Tone);
    }
    Ran hard = Run_Tool("-q -C hard --report hard.html");
    ASSERT_EQ(hard.status, 0) << hard.output;

    // Each report with the failed-crossfade marks its plan must show, its edit rows and its lanes.
    for (std::string job : {"--failed-marks 0 demo/demo.html 3 3", "--failed-marks 2 hard/hard.html 3 4"}) {
        Ran check = Shell("python3 '" REPORT_LAYOUT "' " + job + " 800 1280 2560 2>&1");
        if (check.status == 77)
            GTEST_SKIP() << check.output;
        EXPECT_EQ(check.status, 0) << job << " in the browser:\n" << check.output;
    }
}
