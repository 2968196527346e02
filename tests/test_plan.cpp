// The edit plan: every cut on the frame the user's time gives, worked out here from the
// digits written, never by the tool's own formula; the dry run and the build agreeing.
#include <cmath>

#include "helpers.h"

namespace {

// floor(time x rate) of a time written as seconds ("24.001") or as a timecode
// ("1:02:03.25"), from its digits: 128-bit integers, no floating point.
int64_t Frame_Of(const std::string& time, int64_t rate)
{
    // Timecodes: each ':' closes a field worth 60 of the next.
    __int128 whole = 0, field = 0, fraction = 0, scale = 1;
    size_t at = 0;
    for (; at < time.size() && time[at] != '.'; at++) {
        if (time[at] == ':')
            whole = (whole + field) * 60, field = 0;
        else
            field = field * 10 + (time[at] - '0');
    }
    whole += field;
    for (at++; at < time.size(); at++)
        fraction = fraction * 10 + (time[at] - '0'), scale *= 10;
    return (int64_t)(whole * rate + fraction * rate / scale);
}

struct Point { std::string time, take; };

}  // namespace

using Plan = InFolder;

// Jobs whose times no single-precision float holds: each cut must fall on floor(time x
// rate) of the time as written, consecutive segments must meet with no frame between
// them, and the output must end on the last edit point's frame.
TEST_F(Plan, EveryCutLandsOnTheFrameItsTimeGives)
{
    struct Row { int rate, bits, channels; std::vector<Point> points; int64_t take_frames; };
    const std::vector<Row> rows = {
        // The reproduction: frame 1152047 was left silent, a click at a hard cut.
        {48000, 24, 1, {{"18.5", "A"}, {"24.001", "B"}, {"30", "B"}}, 48000 * 31},
        {44100, 16, 2, {{"9.39", "A"}, {"11.58", "B"}, {"13.07", "A"}, {"20.001", "B"}, {"29.99", "A"}}, 44100 * 30},
        // At 96 kHz; the nine-decimal pair makes a segment of exactly one frame.
        {96000, 24, 1, {{"0.5", "A"}, {"1.001", "B"}, {"2.003", "A"}, {"2.007", "B"}, {"3.3333", "A"},
                        {"4.000020833", "B"}, {"4.000020834", "A"}, {"5", "A"}}, 96000 * 6},
        // Past an hour, where a float moves in steps of 16 frames.
        {48000, 16, 1, {{"0.25", "A"}, {"1800.0005", "B"}, {"3600.123", "A"}, {"1:02:03.251", "B"},
                        {"3723.9", "B"}}, 48000LL * 3724},
        // No segment at all: the output is the lead-in's one frame of silence.
        {8000, 16, 1, {{"0.000125", "A"}, {"0.000125", "A"}}, 8000},
    };
    for (const Row& row : rows) {
        std::vector<int64_t> cuts;
        std::string points;
        Take_Layout sparse{"", "", {}};  // audio near the cuts, holes elsewhere: an hour costs no disk
        for (const Point& p : row.points) {
            cuts.push_back(Frame_Of(p.time, row.rate));
            points += p.time + "\t" + p.take + "\n";
            sparse.audio.push_back({cuts.back() - 64, cuts.back() + 64});
        }
        for (auto [take, id] : {std::pair{"A", 1}, {"B", 2}})
            Write_Take(std::string("k") + take + ".wav", id, row.rate, row.bits, row.channels, row.take_frames, sparse);
        Spit("base.txt", "k\n"), Spit("points.txt", points), Spit("tavlinrc.txt", "xf_all\t0\t0\n");
        Ran r = Run_Tool("-q");
        ASSERT_EQ(r.status, 0) << points << r.output;
        ASSERT_EQ((int64_t)fs::file_size("k_bld.wav"), 44 + cuts.back() * row.bits / 8 * row.channels) << points;
        // Around every edit point: silence before the first, then each segment's own take.
        for (size_t k = 0; k + 1 < cuts.size(); k++)
            for (int64_t f = std::max<int64_t>(0, cuts[k] - 5); f < cuts[k] + 5 && f < cuts.back(); f++) {
                int take = 0;
                for (size_t s = 0; s + 1 < cuts.size(); s++)
                    if (cuts[s] <= f && f < cuts[s + 1])
                        take = row.points[s].take == "A" ? 1 : 2;
                for (int c = 0; c < row.channels; c++)
                    ASSERT_EQ(Sample_At("k_bld.wav", f, c, row.bits, row.channels),
                              take ? Sample(take, f, c, row.bits) : 0)
                        << points << "frame " << f << " near the cut at " << row.points[k].time;
            }
    }
}

TEST_F(Plan, CrossfadesMixTheRightFramesOfTakesWhoseAudioStartsAtOtherOffsets)
{
    // Take A carries a LIST chunk before its audio, B does not; an equal-power fade of
    // 10 ms (480 frames) centred on 1.0005 s (frame 48024) mixes frames 47784 to 48263.
    Take_Layout list;
    list.before_data = "LIST" + Le32(26) + "INFOICMT" + Le32(13) + "a comment!!!" + std::string(2, '\0');
    Write_Take("kA.wav", 1, 48000, 16, 2, 96000, list);
    Write_Take("kB.wav", 2, 48000, 16, 2, 96000);
    Spit("base.txt", "k\n"), Spit("points.txt", "0\tA\n1.0005\tB\n2\tB\n"), Spit("tavlinrc.txt", "xf_all\t10\t1\n");
    ASSERT_EQ(Run_Tool("-q").status, 0);
    std::string out = Slurp("k_bld.wav");
    const int64_t cut = 48024, from = cut - 240;
    for (int64_t f = from - 3; f < from + 480 + 3; f++)
        for (int c = 0; c < 2; c++) {
            int64_t j = f - from;
            int32_t want = f < from ? Sample(1, f, c, 16) : j >= 480 ? Sample(2, f, c, 16) : 0;
            if (j >= 0 && j < 480) {
                double angle = (double)j / 480 * 1.570796327;
                double m = Sample(2, f, c, 16) * 256.0 * sin(angle) + Sample(1, f, c, 16) * 256.0 * cos(angle);
                want = (int32_t)std::max(-32768.0, std::min(32767.0, m * 0.00390625));  // saturated, not wrapped
            }
            ASSERT_EQ(Sample_In(out, f, c, 16, 2), want) << "frame " << f << " channel " << c;
        }
}

// The plan decides each crossfade's fate with the crossfade engine's own check; the build
// asks the engine again and stops when the two disagree. Jobs of every shape: takes that
// end before, inside and after crossfades, chunks before and after their audio, curves
// and lengths of every kind. The dry run must name exactly the failures the build meets.
TEST_F(Plan, ThePlanAndTheCrossfadeEngineAgreeOnJobsOfEveryShape)
{
    std::srand(18);
    auto pick = [](int n) { return std::rand() % n; };
    for (int job = 0; job < 24; job++) {
        for (const auto& e : fs::directory_iterator("."))
            fs::remove_all(e.path());
        const int rate = pick(2) ? 8000 : 11025;
        // Six edit points; each names a take that reaches it, so that the job builds,
        // while the take before it may end anywhere: before, in or after the crossfade.
        int times[6], lengths[3];
        for (int k = 0, ms = 0; k < 6; k++, ms += 1 + pick(900))
            times[k] = ms;
        for (int& length : lengths)
            length = pick(times[5] + 600);
        lengths[pick(3)] = times[5] + 600;
        std::string points, rc = "xf_all\t" + std::to_string(pick(4) * 25) + "\t" + std::to_string(pick(5)) + "\n";
        for (int k = 0; k < 6; k++) {
            int take = pick(3);
            while (lengths[take] < times[k])
                take = (take + 1) % 3;
            points += std::to_string(times[k] / 1000) + "." + std::to_string(1000 + times[k] % 1000).substr(1) + "\t" +
                      "ABC"[take] + "\n";
        }
        Spit("base.txt", "k\nm\n"), Spit("points.txt", points), Spit("tavlinrc.txt", rc + "xf_tr\t2\t13.3\t3\n");
        for (std::string base : {"k", "m"})
            for (int take = 0, channels = 1 + pick(2); take < 3; take++) {
                int id = 1 + pick(9);
                Take_Layout layout;
                if (pick(3) == 0)  // a chunk before the audio
                    layout.before_data = "LIST" + Le32(4) + "INFO";
                if (pick(3) == 0)  // a chunk after it
                    layout.after_data = "LIST" + Le32(1000) + std::string(1000, 'x');
                int64_t frames = (int64_t)rate * lengths[take] / 1000 + 1;
                Write_Take(base + "ABC"[take] + ".wav", id, rate, 16, channels, frames, layout);
            }
        Ran dry = Run_Tool("-n");
        ASSERT_EQ(dry.status, 0) << points << rc << dry.output;
        Ran real = Run_Tool();
        ASSERT_EQ(real.status, 0) << points << rc << real.output;
        auto failures = [](const std::string& said) {
            std::string lines;
            for (size_t at = said.find(">> "); at != std::string::npos; at = said.find(">> ", at + 1))
                lines += said.substr(at, said.find('\n', at) - at + 1);
            return lines;
        };
        EXPECT_EQ(failures(dry.output), failures(real.output)) << points << rc;
    }
}

// An edit point whose time the next one repeats plays nothing: the crossfade after it
// fades from the take that played before it, and before the first segment nothing plays
// to fade from. Either job builds what it builds without the empty edit point.
TEST_F(Plan, AnEditPointWhoseTimeIsRepeatedPlaysNothing)
{
    for (const char* take : {"A", "B", "C"})
        Write_Take(std::string("k") + take + ".wav", take[0] - 'A' + 1, 8000, 16, 1, 16000);
    Spit("base.txt", "k\n"), Spit("tavlinrc.txt", "xf_all\t50\t2\n");
    for (auto [with, without] : {std::pair{"0\tA\n1\tB\n1\tC\n2\tC\n", "0\tA\n1\tC\n2\tC\n"},
                                 std::pair{"1\tA\n1\tB\n2\tB\n", "1\tB\n2\tB\n"}}) {
        Spit("points.txt", without);
        ASSERT_EQ(Run_Tool("-q").status, 0);
        const std::string expected = Slurp("k_bld.wav");
        Spit("points.txt", with);
        Ran r = Run_Tool("-q");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(Slurp("k_bld.wav") == expected) << with;
    }
}
