// The report's HTML and SVG text: the legend, the plan view and the panels, and the
// text buffer that carries them to the report's partial file (or only counts them).
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"
#include "report/report.h"
#include "text.h"

// ---- text ------------------------------------------------------------------------------

namespace {

// Ends the process: the report cannot be written. FAIL removes its partial file.
[[noreturn]] void Abandon(const Text* text, int error)
{
    FAIL("%s>> Cannot write the report %s (%s), exiting\n", text->line, Show(text->report).text, strerror(error));
}

void Make_Room(Text* text)
{
    if (TEXT_BUFFER - text->used < TEXT_RESERVE)
        Flush(text);
}

// Appends `literal` as it is (shorter than TEXT_RESERVE), without printf's cost.
void Put_Literal(Text* text, const char* literal)
{
    Make_Room(text);
    size_t size = strlen(literal);
    memcpy(text->buffer + text->used, literal, size);
    text->used += (int64_t)size;
}

}  // namespace

void Flush(Text* text)
{
    if (text->counting) {
        text->written += text->used;
        text->used = 0;
        return;
    }
    int64_t put = 0;
    while (put < text->used) {
        ssize_t n = write(text->file.stream.fd, text->buffer + put, (size_t)(text->used - put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Abandon(text, n < 0 ? errno : ENOSPC);
        put += n;
    }
    text->written += text->used;
    text->used = 0;
}

int64_t Text_Bytes(const Text* text)
{
    return text->written + text->used;
}

void Put(Text* text, const char* format, ...)
{
    Make_Room(text);
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text->buffer + text->used, (size_t)(TEXT_BUFFER - text->used), format, args);
    va_end(args);
    if (n < 0 || n >= TEXT_BUFFER - text->used)
        Abandon(text, EOVERFLOW);  // no piece of the report is that long
    text->used += n;
}

void Put_Escaped(Text* text, const char* name)
{
    Make_Room(text);
    char* out = text->buffer + text->used;
    const unsigned char* at = (const unsigned char*)name;
    // A name is at most NAME_SLOT bytes; six bytes a byte fit TEXT_RESERVE.
    for (int32_t n = 0; *at != '\0' && n < NAME_SLOT; n++) {
        const char* entity = *at == '&' ? "&amp;" : *at == '<' ? "&lt;" : *at == '>' ? "&gt;"
                             : *at == '"' ? "&quot;" : *at == '\'' ? "&#39;" : nullptr;
        int32_t length = *at >= 0x80 ? Utf8_Length(at) : 1;
        if (entity != nullptr) {
            size_t size = strlen(entity);
            memcpy(out, entity, size);
            out += size;
        } else if (*at < 0x20 || *at == 0x7F || length == 0) {
            static const char HEX[] = "0123456789ABCDEF";
            *out++ = '\\', *out++ = 'x', *out++ = HEX[*at >> 4], *out++ = HEX[*at & 15];
            length = 1;
        } else {
            memcpy(out, at, (size_t)length);
            out += length;
        }
        at += length;
    }
    text->used = out - text->buffer;
}

// Appends `tenths` / 10 with one decimal when it has one ("12", "12.5", "-0.5").
static void Put_Tenths(Text* text, int64_t tenths)
{
    Make_Room(text);
    // By hand: the plan puts millions of these, and printf would cost more than the rest.
    char digits[24];
    int32_t n = 0;
    uint64_t magnitude = tenths < 0 ? 0 - (uint64_t)tenths : (uint64_t)tenths;
    uint64_t whole = magnitude / 10;
    do {
        digits[n++] = (char)('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    char* out = text->buffer + text->used;
    if (tenths < 0)
        *out++ = '-';
    while (n > 0)
        *out++ = digits[--n];
    if (magnitude % 10 != 0)
        *out++ = '.', *out++ = (char)('0' + magnitude % 10);
    text->used = out - text->buffer;
}

// ---- words ---------------------------------------------------------------------------

namespace {

// The colour of take number k: ten that stay apart, then hues a golden angle apart.
void Take_Colour(int32_t k, char out[32])
{
    static const char* const PALETTE[] = {"#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#76b7b2",
                                          "#edc948", "#9c755f", "#ff9da7", "#bab0ac", "#17becf"};
    if (k < 10)
        snprintf(out, 32, "%s", PALETTE[k]);
    else
        snprintf(out, 32, "hsl(%d,45%%,55%%)", (int)(k * 137.508) % 360);
}

const char* Curve_Name(int32_t type)
{
    static const char* const NAMES[] = {"none", "equal-power", "linear", "cosine", "sine"};
    return type >= 0 && type <= 4 ? NAMES[type] : "unknown";
}

// h:mm:ss.fff of `frames` frames at `rate`.
void Frame_Clock(int64_t frames, int32_t rate, char out[CLOCK_BUFFER])
{
    Format_Clock(Frames_Milliseconds(frames, rate), 3, out);
}

// What the cut at edit point i of track t is, in words, into `words`, and the class
// that colours them. A failed crossfade says why, in the plan's words.
constexpr int32_t WORDS_BUFFER = WHY_BUFFER + 32;
const char* Cut_Words(const Job* job, int32_t t, int32_t i, const char** css, char words[WORDS_BUFFER])
{
    const Cut* cut = Cut_Of(job, t, i);
    *css = Fade_Fails(cut->fade) ? "bad" : cut->fade == FADE_MIXED || cut->fade == FADE_NONE ? "ok" : "off";
    if (Fade_Fails(cut->fade)) {
        char why[WHY_BUFFER];
        Fade_Failure_Words(job, t, i, why);
        snprintf(words, WORDS_BUFFER, "crossfade failed: %s", why);
        return words;
    }
    switch (cut->fade) {
    case FADE_MIXED:
        return cut->fade_frames < job->tracks[t].fade_frames ? "crossfade, cut short" : "crossfade";
    case FADE_NONE: return "hard cut: no crossfade set";
    case FADE_TOO_EARLY: return "no crossfade: too near the start";
    default: return "no segment starts here";
    }
}

// "10.0 ms equal-power " before the words of a cut the plan mixes; nothing otherwise.
void Put_Fade_Length(Text* text, const Job* job, int32_t t, int32_t i)
{
    const Cut* cut = Cut_Of(job, t, i);
    if (cut->fade == FADE_MIXED)
        Put(text, "%.1f ms %s ", cut->fade_frames * 1000.0 / job->tracks[t].format.sample_rate,
            Curve_Name(job->tracks[t].fade_type));
}

void Put_Format(Text* text, const Job* job, int32_t t)
{
    const Track* track = &job->tracks[t];
    char length[CLOCK_BUFFER];
    Frame_Clock(track->length, track->format.sample_rate, length);
    int32_t channels = track->format.channels;
    Put(text, "%g kHz · %d-bit%s · ", track->format.sample_rate / 1000.0, track->format.bits_per_sample,
        track->format.is_float ? " float" : "");
    if (channels <= 2)
        Put(text, "%s · %s", channels == 1 ? "mono" : "stereo", length);
    else
        Put(text, "%d ch · %s", channels, length);
}

// ---- the plan view ---------------------------------------------------------------------

constexpr int32_t AXIS_STEPS = 8;    // the time axis has at most this many steps: their times never touch at 800 px
constexpr int32_t LANES_TOP = 18;    // below the times of the axis
constexpr int32_t LANE_PITCH = 44;   // a line of text, the bar and the marks around it, a gap
constexpr int32_t LABEL_Y = 11;      // baseline of a lane's name, from the lane's top
constexpr int32_t BAR_Y = 15;        // top of the marks' reach; the bar begins MARK_REACH below
constexpr int32_t BAR_HEIGHT = 18;
constexpr int32_t MARK_REACH = 2;    // edit marks reach this far above and below the bar
constexpr const char* EDIT_LINE = " -2v22";  // an edit line's rest after its x: MARK_REACH and the bar between
static_assert(BAR_HEIGHT + 2 * MARK_REACH == 22 && MARK_REACH == 2, "EDIT_LINE spells the marks' reach");
// A failed crossfade's mark is at least this part of the axis wide: 3.8 px in a window
// 800 px wide, where the lanes have about 750.
constexpr int32_t FAIL_PART = 200;
// A tail pad is drawn at least this part of the axis wide.
constexpr int32_t TAIL_PART = 500;

// What a run of the fill layer is coloured by: a take number, or one of these.
constexpr int32_t KIND_LEAD = MAX_ENTRIES;
constexpr int32_t KIND_MIXED = MAX_ENTRIES + 1;
constexpr int32_t KINDS = MAX_ENTRIES + 2;

// A stretch of a lane in columns of the axis.
struct Span {
    double from;
    double to;
};

// A run without a title, waiting to be drawn with the others of its kind.
struct Run {
    float from;
    float to;
    int32_t kind;
};

// One lane as it is drawn: the plan's pieces in columns, the runs gathered so far.
struct Lane {
    Text* text;
    const Job* job;
    int32_t t;
    const Plan_Layout* layout;
    double per_frame;       // columns per frame
    bool* mixed_seen;
    // The fill run being gathered: pieces first_piece to last_piece (edit points; -1 the lead-in).
    Span run;
    int32_t first_piece;
    int32_t last_piece;
    int32_t run_count;      // pieces in it; 0: none
    // Runs drawn without titles, by kind (see Put_Untitled_Runs).
    Run runs[PLAN_COLUMNS + 2];
    int32_t run_total;
    int32_t kind_count[KINDS];
};

void Put_Columns(Text* text, double columns)
{
    Put_Tenths(text, llround(columns * 10));
}

// x="…" width="…" of a span.
void Put_Span(Text* text, Span span)
{
    int64_t from = llround(span.from * 10), to = llround(span.to * 10);
    Put_Literal(text, " x=\"");
    Put_Tenths(text, from);
    Put_Literal(text, "\" width=\"");
    Put_Tenths(text, to - from > 0 ? to - from : 1);
    Put_Literal(text, "\"");
}

// "M<from> 9h<width>", a horizontal stroke over the span along the bar's middle.
void Put_Stroke(Text* text, Span span)
{
    static_assert(BAR_HEIGHT / 2 == 9, "a stroke runs along the bar's middle");
    int64_t from = llround(span.from * 10), to = llround(span.to * 10);
    Put_Literal(text, "M");
    Put_Tenths(text, from);
    Put_Literal(text, " 9h");
    Put_Tenths(text, to - from > 0 ? to - from : 1);
}

Span Frames_Span(const Lane* lane, int64_t from, int64_t to)
{
    return Span{from * lane->per_frame, to * lane->per_frame};
}

// The frames of piece p of the lane (-1: the lead-in) and its kind.
void Piece(const Lane* lane, int32_t p, int64_t* from, int64_t* to, int32_t* kind)
{
    if (p < 0) {
        const Track* track = &lane->job->tracks[lane->t];
        *from = 0;
        *to = track->lead_in < track->length ? track->lead_in : track->length;
        *kind = KIND_LEAD;
        return;
    }
    const Cut* cut = Cut_Of(lane->job, lane->t, p);
    *from = cut->start;
    *to = (int64_t)cut->start + cut->frames;
    *kind = cut->take;
}

// The kind that holds more than half of the frames of pieces first to last, or KIND_MIXED.
int32_t Dominant_Kind(const Lane* lane, int32_t first, int32_t last)
{
    // A weighted majority vote, then a count to confirm it.
    int32_t candidate = KIND_MIXED;
    int64_t weight = 0, total = 0;
    for (int32_t p = first; p <= last; p++) {
        int64_t from, to;
        int32_t kind;
        Piece(lane, p, &from, &to, &kind);
        int64_t frames = to - from;
        total += frames;
        if (kind == candidate) {
            weight += frames;
        } else if (weight >= frames) {
            weight -= frames;
        } else {
            candidate = kind;
            weight = frames - weight;
        }
    }
    int64_t held = 0;
    for (int32_t p = first; p <= last; p++) {
        int64_t from, to;
        int32_t kind;
        Piece(lane, p, &from, &to, &kind);
        held += kind == candidate ? to - from : 0;
    }
    return 2 * held > total ? candidate : KIND_MIXED;
}

void Kind_Colour(int32_t kind, char out[32])
{
    if (kind == KIND_LEAD)
        snprintf(out, 32, "#d8d8d8");
    else if (kind == KIND_MIXED)
        snprintf(out, 32, "#8c8c99");
    else
        Take_Colour(kind, out);
}

// A piece drawn as itself, with its details for hovering.
void Put_Piece(Lane* lane, int32_t p)
{
    Text* text = lane->text;
    const Job* job = lane->job;
    int32_t rate = job->tracks[lane->t].format.sample_rate;
    int64_t from, to;
    int32_t kind;
    Piece(lane, p, &from, &to, &kind);
    char start[CLOCK_BUFFER], end[CLOCK_BUFFER], colour[32];
    Frame_Clock(to, rate, end);
    if (p < 0) {
        Put(text, "<rect class=\"lead\"");
        Put_Span(text, Frames_Span(lane, from, to));
        Put(text, " height=\"%d\"><title>lead-in silence to %s, %lld frames</title></rect>\n", BAR_HEIGHT, end,
            (long long)(to - from));
        return;
    }
    Frame_Clock(from, rate, start);
    Take_Colour(kind, colour);
    Put(text, "<rect class=\"seg\"");
    Put_Span(text, Frames_Span(lane, from, to));
    Put(text, " height=\"%d\" fill=\"%s\"><title>", BAR_HEIGHT, colour);
    Put_Escaped(text, Take_Suffix(job, p));
    Put(text, ": %s to %s, frame %lld on, %lld frames</title></rect>\n", start, end, (long long)from,
        (long long)(to - from));
}

// Draws the fill run gathered so far, if any: a lone piece with titles as itself; with
// titles, several as one rect saying what it holds; without, it waits in lane->runs.
void Flush_Run(Lane* lane)
{
    if (lane->run_count == 0)
        return;
    const Plan_Layout* layout = lane->layout;
    int32_t first = lane->first_piece, last = lane->last_piece;
    int32_t segments = lane->run_count - (first < 0 ? 1 : 0);
    lane->run_count = 0;
    if (layout->titles && first == last) {
        Put_Piece(lane, first);
        return;
    }
    int32_t kind = Dominant_Kind(lane, first, last);
    if (kind == KIND_MIXED)
        *lane->mixed_seen = true;
    if (!layout->titles) {
        // At most one run a column and one more: each but the last is at least a column wide.
        if (lane->run_total < PLAN_COLUMNS + 2) {
            lane->runs[lane->run_total++] = Run{(float)lane->run.from, (float)lane->run.to, kind};
            lane->kind_count[kind]++;
        }
        return;
    }
    Text* text = lane->text;
    const Job* job = lane->job;
    int32_t rate = job->tracks[lane->t].format.sample_rate;
    int64_t from, to, unused;
    int32_t unused_kind;
    Piece(lane, first, &from, &unused, &unused_kind);
    Piece(lane, last, &unused, &to, &unused_kind);
    char start[CLOCK_BUFFER], end[CLOCK_BUFFER], colour[32];
    Frame_Clock(from, rate, start);
    Frame_Clock(to, rate, end);
    Kind_Colour(kind, colour);
    Put(text, "<rect class=\"seg run\"");
    Put_Span(text, lane->run);
    Put(text, " height=\"%d\" fill=\"%s\"><title>%s to %s: %s%d segment%s, each under a column, ", BAR_HEIGHT, colour,
        start, end, first < 0 ? "lead-in and " : "", segments, segments == 1 ? "" : "s");
    if (kind == KIND_MIXED) {
        Put(text, "of several takes");
    } else if (kind == KIND_LEAD) {
        Put(text, "mostly lead-in silence");
    } else {
        Put(text, "mostly ");
        Put_Escaped(text, Take_Suffix(job, job->first_edit[kind]));
    }
    Put(text, "</title></rect>\n");
}

// The fill layer: the lead-in and every segment in its take's colour. A piece narrower
// than a column (any piece, without titles) joins a run, which is drawn once it is a
// column wide or a wide piece follows.
void Put_Fills(Lane* lane)
{
    const Job* job = lane->job;
    lane->run_count = 0;
    for (int32_t p = -1; p + 1 < job->edit_count; p++) {
        int64_t from, to;
        int32_t kind;
        Piece(lane, p, &from, &to, &kind);
        if (to <= from)
            continue;
        Span span = Frames_Span(lane, from, to);
        bool wide = span.to - span.from >= 1;
        if (wide && lane->layout->titles) {
            Flush_Run(lane);
            Put_Piece(lane, p);
            continue;
        }
        if (lane->run_count == 0) {
            lane->run = span;
            lane->first_piece = p;
        }
        lane->run.to = span.to;
        lane->last_piece = p;
        lane->run_count++;
        if (lane->run.to - lane->run.from >= 1)
            Flush_Run(lane);
    }
    Flush_Run(lane);
}

// The runs without titles, one path per kind: a run costs a few bytes.
void Put_Untitled_Runs(Lane* lane)
{
    if (lane->run_total == 0)
        return;
    Text* text = lane->text;
    // Each kind's runs in order, by a counting sort on the kinds.
    int32_t order[PLAN_COLUMNS + 2];
    int32_t start[KINDS];
    int32_t at = 0;
    for (int32_t k = 0; k < KINDS; k++) {
        start[k] = at;
        at += lane->kind_count[k];
    }
    for (int32_t r = 0; r < lane->run_total; r++)
        order[start[lane->runs[r].kind]++] = r;
    int32_t previous = -1;
    for (int32_t n = 0; n < lane->run_total; n++) {
        const Run* run = &lane->runs[order[n]];
        if (run->kind != previous) {
            char colour[32];
            Kind_Colour(run->kind, colour);
            Put(text, "%s<path class=\"run\" stroke=\"%s\" d=\"", previous >= 0 ? "\"/>\n" : "", colour);
            previous = run->kind;
        }
        Put_Stroke(text, Span{run->from, run->to});
    }
    Put(text, "\"/>\n");
    for (int32_t r = 0; r < lane->run_total; r++)
        lane->kind_count[lane->runs[r].kind] = 0;
    lane->run_total = 0;
}

// Marks (tail pads, edit marks, failed crossfades) gather into groups: a mark that
// begins less than a column after a group ends joins it.
struct Group {
    Span span;
    int32_t first;   // edit points of its first and last mark
    int32_t last;
    int32_t count;
    int64_t frames;  // tail pads: frames of silence
};

bool Joins(const Group* group, Span span)
{
    return group->count > 0 && span.from < group->span.to + 1;
}

void Add_To(Group* group, Span span, int32_t i)
{
    if (group->count == 0) {
        group->span = span;
        group->first = i;
        group->frames = 0;
    }
    group->span.from = span.from < group->span.from ? span.from : group->span.from;
    group->span.to = span.to > group->span.to ? span.to : group->span.to;
    group->last = i;
    group->count++;
}

// A span at least `least` columns wide: widened to the left from its end, or about its
// centre, within the axis.
Span At_Least(Span span, double least, bool from_end, int32_t columns)
{
    if (span.to - span.from >= least)
        return span;
    double centre = (span.from + span.to) / 2;
    span.from = from_end ? span.to - least : centre - least / 2;
    span.from = span.from < 0 ? 0 : span.from;
    span.to = span.from + least;
    if (span.to > columns) {
        span.to = columns;
        span.from = columns - least;
    }
    return span;
}

void Put_Tail_Group(Lane* lane, const Group* group, bool* path_open)
{
    Text* text = lane->text;
    if (!lane->layout->titles) {
        if (!*path_open)
            Put_Literal(text, "<path class=\"tails\" d=\"");
        *path_open = true;
        Put_Stroke(text, group->span);
        return;
    }
    Put(text, "<rect class=\"tail\"");
    Put_Span(text, group->span);
    Put(text, " height=\"%d\" fill=\"url(#hatch)\"><title>", BAR_HEIGHT);
    if (group->count == 1) {
        const Cut* cut = Cut_Of(lane->job, lane->t, group->first);
        char ends[CLOCK_BUFFER];
        Frame_Clock((int64_t)cut->start + cut->held, lane->job->tracks[lane->t].format.sample_rate, ends);
        Put(text, "tail pad: the take ends at %s; %lld frames of silence", ends, (long long)group->frames);
    } else {
        Put(text, "tail pads of edits %d to %d: %d takes end early; %lld frames of silence", group->first + 1,
            group->last + 1, group->count, (long long)group->frames);
    }
    Put(text, "</title></rect>\n");
}

// The tail pads, hatched, each at least TAIL_PART of the axis wide so that none is lost.
void Put_Tails(Lane* lane)
{
    const Job* job = lane->job;
    int32_t columns = lane->layout->columns;
    double least = columns / (double)TAIL_PART < 1 ? 1 : columns / (double)TAIL_PART;
    Group group{};
    bool path_open = false;
    for (int32_t i = 0; i + 1 < job->edit_count; i++) {
        const Cut* cut = Cut_Of(job, lane->t, i);
        if (cut->held >= cut->frames)
            continue;
        Span span = At_Least(Frames_Span(lane, (int64_t)cut->start + cut->held, (int64_t)cut->start + cut->frames),
                             least, true, columns);
        if (group.count > 0 && !Joins(&group, span)) {
            Put_Tail_Group(lane, &group, &path_open);
            group.count = 0;
        }
        Add_To(&group, span, i);
        group.frames += cut->frames - cut->held;
    }
    if (group.count > 0)
        Put_Tail_Group(lane, &group, &path_open);
    if (path_open)
        Put(lane->text, "\"/>\n");
}

// The edit mark of edit point i: its line and, where the plan mixes a crossfade, the
// crossfade's span.
Span Mark_Span(const Lane* lane, int32_t i, double* line)
{
    const Cut* cut = Cut_Of(lane->job, lane->t, i);
    *line = cut->start * lane->per_frame;
    if (cut->fade != FADE_MIXED || cut->fade_frames <= 0)
        return Span{*line, *line};
    return Frames_Span(lane, cut->fade_from, (int64_t)cut->fade_from + cut->fade_frames);
}

// Edit points i from 1 to the last but one that start a segment, in order.
bool Marked(const Job* job, int32_t t, int32_t i)
{
    return i >= 1 && i + 1 < job->edit_count && Cut_Of(job, t, i)->fade != FADE_NO_SEGMENT;
}

// The edit lines of the marked edit points first..last as path steps, one at most every
// `spacing` columns.
void Put_Edit_Lines(Lane* lane, int32_t first, int32_t last, double spacing)
{
    double drawn = -1;
    for (int32_t i = first; i <= last; i++) {
        double line;
        Mark_Span(lane, i, &line);
        if (!Marked(lane->job, lane->t, i) || (drawn >= 0 && line - drawn < spacing))
            continue;
        Put_Literal(lane->text, "M");
        Put_Columns(lane->text, line);
        Put_Literal(lane->text, EDIT_LINE);
        drawn = line;
    }
}

void Put_Mark_Group(Lane* lane, const Group* group)
{
    Text* text = lane->text;
    const Job* job = lane->job;
    Put(text, "<g class=\"cut\">");
    // The crossfades' spans, one a mark, and the edit lines, none within half a column
    // of the one before.
    for (int32_t i = group->first; i <= group->last; i++) {
        double line;
        Span span = Mark_Span(lane, i, &line);
        if (Marked(job, lane->t, i) && span.to > span.from) {
            Put(text, "<rect class=\"xf\"");
            Put_Span(text, span);
            Put(text, " y=\"-%d\" height=\"%d\"/>", MARK_REACH, BAR_HEIGHT + 2 * MARK_REACH);
        }
    }
    Put(text, "<path d=\"");
    Put_Edit_Lines(lane, group->first, group->last, 0.5);
    Put(text, "\"/><title>");
    if (group->count == 1) {
        const char* css;
        char words[WORDS_BUFFER];
        Put(text, "Edit %d: ", group->first + 1);
        Put_Fade_Length(text, job, lane->t, group->first);
        Put(text, "%s", Cut_Words(job, lane->t, group->first, &css, words));
    } else {
        int32_t counts[4] = {0, 0, 0, 0};  // crossfades, hard cuts, left out, failed
        for (int32_t i = group->first; i <= group->last; i++) {
            if (!Marked(job, lane->t, i))
                continue;
            int32_t fade = Cut_Of(job, lane->t, i)->fade;
            counts[fade == FADE_MIXED ? 0 : fade == FADE_NONE ? 1 : Fade_Fails(fade) ? 3 : 2]++;
        }
        static const char* const WHAT[] = {"crossfade", "hard cut", "crossfade left out", "failed crossfade"};
        Put(text, "Edits %d to %d, within a column of each other:", group->first + 1, group->last + 1);
        const char* comma = " ";
        for (int32_t k = 0; k < 4; k++) {
            if (counts[k] > 0)
                Put(text, "%s%d %s%s", comma, counts[k], WHAT[k], counts[k] == 1 ? "" : "s");
            comma = counts[k] > 0 ? ", " : comma;
        }
    }
    Put(text, "</title></g>\n");
}

// The edit marks. With titles, each group its own; without, every line of the lane in
// one path and every crossfade's span in another, a line at most every column.
void Put_Marks(Lane* lane)
{
    const Job* job = lane->job;
    Text* text = lane->text;
    if (!lane->layout->titles) {
        // The crossfades' spans less than a column apart as one stroke: at most one a column.
        Group spans{};
        bool any = false;
        for (int32_t i = 1; i + 1 < job->edit_count; i++) {
            double line;
            Span span = Mark_Span(lane, i, &line);
            if (!Marked(job, lane->t, i) || !(span.to > span.from))
                continue;
            if (!any)
                Put_Literal(text, "<g class=\"cut\"><path class=\"xf\" d=\"");
            any = true;
            if (spans.count > 0 && !Joins(&spans, span)) {
                Put_Stroke(text, spans.span);
                spans.count = 0;
            }
            Add_To(&spans, span, i);
        }
        if (spans.count > 0)
            Put_Stroke(text, spans.span);
        Put_Literal(text, any ? "\"/><path d=\"" : "<g class=\"cut\"><path d=\"");
        Put_Edit_Lines(lane, 1, job->edit_count - 2, 1);
        Put(text, "\"/></g>\n");
        return;
    }
    Group group{};
    for (int32_t i = 1; i + 1 < job->edit_count; i++) {
        if (!Marked(job, lane->t, i))
            continue;
        double line;
        Span span = Mark_Span(lane, i, &line);
        if (group.count > 0 && !Joins(&group, span)) {
            Put_Mark_Group(lane, &group);
            group.count = 0;
        }
        Add_To(&group, span, i);
    }
    if (group.count > 0)
        Put_Mark_Group(lane, &group);
}

void Put_Fail_Group(Lane* lane, const Group* group)
{
    Text* text = lane->text;
    char why[WHY_BUFFER];
    Fade_Failure_Words(lane->job, lane->t, group->first, why);
    Put(text, "<rect class=\"xf bad fail\"");
    Put_Span(text, group->span);
    Put(text, " y=\"-%d\" height=\"%d\"><title>", MARK_REACH, BAR_HEIGHT + 2 * MARK_REACH);
    if (group->count == 1)
        Put(text, "Edit %d: crossfade failed: %s</title></rect>\n", group->first + 1, why);
    else
        Put(text, "Edits %d to %d: %d crossfades failed; edit %d: %s</title></rect>\n", group->first + 1,
            group->last + 1, group->count, group->first + 1, why);
}

// The failed crossfades, over everything else of the lane: a red mark over the span the
// crossfade would have taken, at least FAIL_PART of the axis wide; marks that overlap
// merge.
void Put_Failures(Lane* lane)
{
    const Job* job = lane->job;
    int32_t columns = lane->layout->columns;
    double least = columns / (double)FAIL_PART < 1 ? 1 : columns / (double)FAIL_PART;
    int64_t fade = job->tracks[lane->t].fade_frames;
    Group group{};
    bool any = false;
    for (int32_t i = 1; i + 1 < job->edit_count; i++) {
        const Cut* cut = Cut_Of(job, lane->t, i);
        if (!Fade_Fails(cut->fade))
            continue;
        Span span = At_Least(Frames_Span(lane, cut->fade_from, cut->fade_from + fade), least, false, columns);
        if (!any)
            Put(lane->text, "<g class=\"fails\">");
        any = true;
        if (group.count > 0 && !(span.from < group.span.to)) {
            Put_Fail_Group(lane, &group);
            group.count = 0;
        }
        Add_To(&group, span, i);
    }
    if (group.count > 0)
        Put_Fail_Group(lane, &group);
    if (any)
        Put(lane->text, "</g>\n");
}

// The edits the edit checks flag: a short thick tick over the top of the bar at the
// edit's frame, at most one a column, all in one path (their figures are in the panels).
void Put_Flags(Lane* lane)
{
    const Job* job = lane->job;
    bool any = false;
    double drawn = -1;
    for (int32_t i = 1; i + 1 < job->edit_count; i++) {
        const Cut* cut = Cut_Of(job, lane->t, i);
        double at = cut->start * lane->per_frame;
        if (cut->checks == 0 || (drawn >= 0 && at - drawn < 1))
            continue;
        Put_Literal(lane->text, any ? "M" : "<path class=\"flag\" d=\"M");
        Put_Columns(lane->text, at);
        Put_Literal(lane->text, " -2v8");
        any = true;
        drawn = at;
    }
    if (any)
        Put_Literal(lane->text, "\"/>\n");
}

// The step of a time axis of `seconds`: the first of the usual steps that gives at most
// AXIS_STEPS steps.
double Tick_Step(double seconds)
{
    static const double STEPS[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                                   18000, 36000, 86400};
    for (double step : STEPS)
        if (seconds / step <= AXIS_STEPS)
            return step;
    return 86400 * ceil(seconds / 86400 / AXIS_STEPS);
}

// The legend: an HTML list that wraps at any width.
void Put_Legend(Text* text, const Job* job, bool mixed)
{
    Put(text, "<ul class=\"legend\">\n");
    // The last edit point only marks the end: its take has no segment.
    for (int32_t k = 0; k < job->take_count; k++) {
        if (job->first_edit[k] + 1 >= job->edit_count)
            continue;
        char colour[32];
        Take_Colour(k, colour);
        Put(text, "<li class=\"take\"><i style=\"background:%s\"></i>", colour);
        Put_Escaped(text, Take_Suffix(job, job->first_edit[k]));
        Put(text, "</li>\n");
    }
    Put(text, "<li class=\"key\"><i class=\"lead\"></i>lead-in silence</li>\n"
              "<li class=\"key\"><i class=\"tail\"></i>tail pad: the take has ended</li>\n"
              "<li class=\"key\"><i class=\"xf\"></i>crossfade</li>\n"
              "<li class=\"key\"><i class=\"bad\"></i>failed crossfade</li>\n");
    if (mixed)
        Put(text, "<li class=\"key\"><i class=\"mix\"></i>several takes, each under a column</li>\n");
    bool flagged = false;
    for (int32_t t = 0; t < job->track_count && !flagged; t++)
        for (int32_t i = 1; i + 1 < job->edit_count && !flagged; i++)
            flagged = Cut_Of(job, t, i)->checks != 0;
    if (flagged)
        Put(text, "<li class=\"key\"><i class=\"flag\"></i>%s</li>\n", FLAG_WORDS);
    Put(text, "</ul>\n");
}

// The legend and the plan view, as Put_Plan says; the draft of a layout stops once it
// passes `limit` bytes. Sets *mixed_seen when a run of several takes has no take holding
// most of it.
void Draw_Plan(Text* text, const Job* job, const Plan_Layout* layout, bool* mixed_seen, int64_t limit)
{
    double seconds = 0;
    for (int32_t t = 0; t < job->track_count; t++) {
        const Track* track = &job->tracks[t];
        double length = track->format.sample_rate > 0 ? track->length / (double)track->format.sample_rate : 0;
        seconds = length > seconds ? length : seconds;
    }
    double step = Tick_Step(seconds);
    int64_t steps = (int64_t)ceil(seconds / step - 1e-9);
    steps = steps < 1 ? 1 : steps;
    double axis = steps * step;  // the axis ends on a tick

    Put_Legend(text, job, layout->mixed);
    int32_t height = LANES_TOP + LANE_PITCH * job->track_count + 4;
    Put(text, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"plan\" width=\"100%%\" height=\"%d\">\n"
        "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
        "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\"/><path d=\"M1.5 0v6\" "
        "stroke=\"#777\" stroke-width=\"2\"/></pattern></defs>\n<g class=\"axis\">\n", height);
    // The times sit above the lanes: the first begins at the axis's start, the last ends
    // at its end, the others are centred on their ticks.
    for (int64_t k = 0; k <= steps; k++) {
        char clock[CLOCK_BUFFER];
        Format_Clock(llround(k * step * 1000), step < 1 ? 1 : 0, clock);
        double at = 100.0 * k / steps;
        Put(text, "<line x1=\"%.2f%%\" x2=\"%.2f%%\" y1=\"%d\" y2=\"%d\"/><text x=\"%.2f%%\" y=\"%d\"%s>%s</text>\n", at,
            at, LANES_TOP - 4, height, at, LANES_TOP - 6,
            k == 0 ? "" : k == steps ? " text-anchor=\"end\"" : " text-anchor=\"middle\"", clock);
    }
    Put(text, "</g>\n");

    Lane* lane = (Lane*)Block_Alloc((int64_t)sizeof(Lane));
    lane->text = text;
    lane->job = job;
    lane->layout = layout;
    lane->mixed_seen = mixed_seen;
    for (int32_t t = 0; t < job->track_count && Text_Bytes(text) <= limit; t++) {
        double rate = job->tracks[t].format.sample_rate > 0 ? job->tracks[t].format.sample_rate : 1;
        lane->t = t;
        lane->per_frame = layout->columns / (axis * rate);
        Put(text, "<g class=\"lane\" transform=\"translate(0,%d)\"><text class=\"on\" x=\"0\" y=\"%d\">",
            LANES_TOP + LANE_PITCH * t, LABEL_Y);
        Put_Escaped(text, Out_Name(job, t));
        Put(text, "<tspan class=\"fm\" dx=\"8\">");
        Put_Format(text, job, t);
        Put(text, "</tspan></text>\n<svg class=\"bar\" y=\"%d\" width=\"100%%\" height=\"%d\" viewBox=\"0 -%d %d %d\" "
            "preserveAspectRatio=\"none\">\n", BAR_Y, BAR_HEIGHT + 2 * MARK_REACH, MARK_REACH, layout->columns,
            BAR_HEIGHT + 2 * MARK_REACH);
        Put_Fills(lane);
        Put_Untitled_Runs(lane);
        Put_Tails(lane);
        Put_Marks(lane);
        Put_Failures(lane);
        Put_Flags(lane);
        Put(text, "</svg></g>\n");
    }
    free(lane);
    Put(text, "</svg>\n");
}

}  // namespace

Plan_Layout Choose_Plan(const Job* job, char* buffer)
{
    // Titles at full detail; then none, and ever fewer columns. The last always fits:
    // at 16 columns a lane has at most 17 runs, 9 tail groups, 17 lines and crossfade
    // spans and 17 failed marks (each under 300 bytes), with its name, at most 8 kB;
    // 1024 lanes and the legend of 1024 takes stay under 10 MB.
    static const Plan_Layout LADDER[] = {{PLAN_COLUMNS, true, true, 0},      {PLAN_COLUMNS, false, true, 0},
                                         {PLAN_COLUMNS / 2, false, true, 0}, {PLAN_COLUMNS / 4, false, true, 0},
                                         {PLAN_COLUMNS / 8, false, true, 0}, {PLAN_COLUMNS / 16, false, true, 0},
                                         {PLAN_COLUMNS / 32, false, true, 0}, {PLAN_COLUMNS / 64, false, true, 0}};
    constexpr int32_t RUNGS = (int32_t)(sizeof LADDER / sizeof LADDER[0]);
    Plan_Layout layout{};
    for (int32_t r = 0; r < RUNGS; r++) {
        layout = LADDER[r];
        Text draft{};
        draft.buffer = buffer;
        draft.counting = true;
        bool mixed = false;
        Draw_Plan(&draft, job, &layout, &mixed, REPORT_PLAN_BYTES);
        Flush(&draft);
        layout.bytes = Text_Bytes(&draft);
        layout.mixed = mixed;  // the legend names the mixed runs only where there are some
        if (layout.bytes <= REPORT_PLAN_BYTES)
            break;
    }
    return layout;
}

void Put_Plan(Text* text, const Job* job, const Plan_Layout* layout)
{
    bool mixed = false;
    Draw_Plan(text, job, layout, &mixed, INT64_MAX);
}

// ---- the panels ------------------------------------------------------------------------

namespace {

constexpr int32_t TRACES_TOP = 13;   // below the first waveform's label
constexpr int32_t TRACE_PITCH = 38;  // a waveform, a gap and the next one's label
constexpr int32_t TRACES_BOTTOM = TRACES_TOP + (REPORT_STRIPS - 1) * TRACE_PITCH + STRIP_HEIGHT;
constexpr int32_t PANEL_HEIGHT = TRACES_BOTTOM + 14;  // and a line for the window's times

// One waveform: the runs of columns that hold a sample at full scale as red bands
// behind it, then a vertical stroke per column from its highest to its lowest sample,
// each drawn on from where the one before it ended; its label, `name` and `note`, above it.
void Put_Strip(Text* text, const Strip* strip, int32_t s, const char* css, const char* stroke, const char* name,
               const char* note)
{
    static_assert(STRIP_HEIGHT < 100, "the figures of a waveform are written as at most two digits");
    Put(text, "<g class=\"strip %s\" transform=\"translate(0,%d)\">", css, TRACES_TOP + TRACE_PITCH * s);
    bool any = false;
    for (int32_t c = 0; c < REPORT_COLUMNS; c++) {
        if (!strip->full[c] || (c > 0 && strip->full[c - 1]))
            continue;
        int32_t run = 1;
        while (c + run < REPORT_COLUMNS && strip->full[c + run])
            run++;
        Put(text, any ? "M%d 0h%dv%dh-%dz" : "<path class=\"fs\" d=\"M%d 0h%dv%dh-%dz", c, run, STRIP_HEIGHT, run);
        any = true;
    }
    if (any)
        Put(text, "\"/>");
    Put(text, "<path class=\"w\" stroke=\"%s\" d=\"M0.5 %dv%d", stroke, strip->top[0], strip->bottom[0] - strip->top[0]);
    Make_Room(text);
    char* out = text->buffer + text->used;
    for (int32_t c = 1; c < REPORT_COLUMNS; c++) {
        // "m1 DYvH" or "m1-DYvH" by hand: printf would cost more than the rest of the report.
        int32_t dy = strip->top[c] - strip->bottom[c - 1];
        int32_t h = strip->bottom[c] - strip->top[c];
        *out++ = 'm', *out++ = '1', *out++ = dy < 0 ? '-' : ' ';
        dy = dy < 0 ? -dy : dy;
        if (dy >= 10)
            *out++ = (char)('0' + dy / 10);
        *out++ = (char)('0' + dy % 10), *out++ = 'v';
        if (h >= 10)
            *out++ = (char)('0' + h / 10);
        *out++ = (char)('0' + h % 10);
    }
    text->used = out - text->buffer;
    Put(text, "\"/><text class=\"sl\" x=\"3\" y=\"-4\">");
    Put_Escaped(text, name);
    Put(text, "%s</text></g>\n", note);
}

}  // namespace

void Put_Panel(Text* text, const Job* job, int32_t t, int32_t i, const Panel* panel)
{
    const Cut* cut = Cut_Of(job, t, i);
    int32_t rate = job->tracks[t].format.sample_rate;
    const char* css;
    char buffer[WORDS_BUFFER];
    const char* words = Cut_Words(job, t, i, &css, buffer);
    Put(text, "<div class=\"pn\"><p class=\"tn\">");
    Put_Escaped(text, Base_Name(job, t));
    Put(text, "</p><p class=\"%s\">", css);
    Put_Fade_Length(text, job, t, i);
    Put(text, "%s</p>", words);
    if (cut->checks & CHECK_CLICK)
        Put(text, "<p class=\"flag\">%s: may click at a hard cut, a step of %.1f dBFS</p>", FLAG_WORDS, cut->step_db);
    if (cut->checks & CHECK_LEVEL)
        Put(text, "<p class=\"flag\">%s: the takes jump %.1f dB in level (%.1f, then %.1f dBFS)</p>", FLAG_WORDS,
            std::fabs(cut->next_db - cut->previous_db), cut->previous_db, cut->next_db);
    if (panel->empty) {
        Put(text, "</div>\n");
        return;
    }
    Put(text, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"panel\" width=\"%d\" height=\"%d\">\n",
        REPORT_COLUMNS, PANEL_HEIGHT);
    double per_frame = REPORT_COLUMNS / (double)(panel->window_to - panel->window_from);
    if (cut->fade == FADE_MIXED && cut->fade_frames > 0)
        Put(text, "<rect class=\"xs\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"/>",
            (cut->fade_from - panel->window_from) * per_frame, TRACES_TOP - 2, cut->fade_frames * per_frame,
            TRACES_BOTTOM - TRACES_TOP + 4);
    char previous[32], next[32];
    int32_t before = Cut_Of(job, t, i)->previous;
    Take_Colour(job->take_of[before], previous);
    Take_Colour(job->take_of[i], next);
    const char* ends = ": its audio ends in the crossfade";
    Put_Strip(text, &panel->strips[0], 0, "prev", previous, Take_Suffix(job, before), panel->runs_out & 1 ? ends : "");
    Put_Strip(text, &panel->strips[1], 1, "next", next, Take_Suffix(job, i), panel->runs_out & 2 ? ends : "");
    Put_Strip(text, &panel->strips[2], 2, "built", "#333", "built", "");
    char from[CLOCK_BUFFER], to[CLOCK_BUFFER];
    Frame_Clock(panel->window_from, rate, from);
    Frame_Clock(panel->window_to, rate, to);
    // The edit's frame, dashed over each waveform and not over their labels.
    Put(text, "<path class=\"ep\" d=\"M%.1f %dv%dm0 %dv%dm0 %dv%d\"/><text class=\"tm\" x=\"3\" y=\"%d\">%s</text>"
        "<text class=\"tm\" x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text></svg></div>\n",
        (cut->start - panel->window_from) * per_frame, TRACES_TOP, STRIP_HEIGHT, TRACE_PITCH - STRIP_HEIGHT,
        STRIP_HEIGHT, TRACE_PITCH - STRIP_HEIGHT, STRIP_HEIGHT, PANEL_HEIGHT - 3, from, REPORT_COLUMNS - 3,
        PANEL_HEIGHT - 3, to);
}

const char REPORT_STYLE[] =
    "body{font:13px/1.4 system-ui,sans-serif;margin:16px;color:#222;background:#fff;overflow-wrap:anywhere}"
    "h1{font-size:18px;margin:0 0 4px}h2{font-size:15px;margin:20px 0 6px}h3{font-size:13px;margin:14px 0 4px}"
    "svg text{font:11px system-ui,sans-serif;fill:#333}"
    ".legend{display:flex;flex-wrap:wrap;gap:2px 16px;list-style:none;padding:0;margin:4px 0 8px}"
    ".legend li{display:flex;align-items:center;gap:4px}.legend i{flex:none;width:12px;height:12px}"
    ".legend .lead{background:#d8d8d8}.legend .tail{background:repeating-linear-gradient(45deg,#777 0 2px,#fff 2px 4px)}"
    ".legend .xf{background:rgba(0,0,0,.3)}.legend .bad{background:rgba(221,0,0,.6)}.legend .mix{background:#8c8c99}"
    "svg.plan{display:block}.plan .axis line{stroke:#e4e4e4}.plan .axis text{fill:#666}"
    ".plan .on{font-weight:600}.plan .fm{fill:#666;font-size:10px;font-weight:400}"
    ".seg,.tail{stroke-width:.5;vector-effect:non-scaling-stroke}.seg{stroke:#fff}.lead{fill:#d8d8d8}.tail{stroke:#777}"
    ".run,.tails{fill:none;stroke-width:18}.tails{stroke:url(#hatch)}"
    ".xf{fill:#000;fill-opacity:.3}.xf.bad{fill:#d00;fill-opacity:.6}"
    ".cut path{fill:none;stroke:#000;vector-effect:non-scaling-stroke}.cut path.xf{stroke-opacity:.3;stroke-width:22}"
    ".panels{display:flex;flex-wrap:wrap;gap:6px}.pn{width:200px;border:1px solid #ccc;background:#fff}"
    ".pn p{margin:2px 3px 0;font-size:11px;line-height:1.3}.pn svg{display:block}"
    ".xs{fill:#fc6;fill-opacity:.45}.w{fill:none;stroke-width:1}.fs{fill:#f00;fill-opacity:.35}"
    ".ep{stroke:#000;stroke-dasharray:2 2}.tm{font-size:9px;fill:#777}"
    ".sl{font-size:9px;fill:#444}"
    ".tn{font-weight:600}.ok,.off,.bad{font-size:10px}.ok{color:#333}.off{color:#b60}.bad{color:#c00;font-weight:600}"
    ".warn{color:#c00}.flag{stroke:#e67e00;stroke-width:4;vector-effect:non-scaling-stroke}"
    ".legend .flag{background:#e67e00}p.flag{color:#a65400;font-size:10px}";
