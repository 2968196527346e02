// The HTML report's entry points: which edit rows it shows (at most REPORT_PANEL_LIMIT
// panels, the edits with warnings first, and only rows that keep the file within
// REPORT_BYTES_LIMIT), and the file itself, written under a hidden partial name and
// published whole. Every waveform is read before the file is created, so a read that
// fails leaves nothing half written.
#include "report/report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"
#include "text.h"
#include "wav/wav.h"

namespace {

// Room kept for what follows the last row: the note on rows left out and the closing tags.
constexpr int64_t CLOSING_BYTES = 4096;
// The most the head (the style sheet, the title, the lines above the plan) takes.
constexpr int64_t HEAD_BYTES = 8192;
// The most the lines that open the edit view take: what a panel shows, how many edits are left out.
constexpr int64_t EDITS_INTRO_BYTES = 1000;
// The most a line of the warnings list or a row's heading takes, less the suffixes it names.
constexpr int64_t WARNING_BYTES = 260;
constexpr int64_t HEADING_BYTES = 400;
// The most one panel takes, less its names: its caption and words, the crossfade's span,
// three waveforms of a stroke per column (at most 8 characters) with their red bands (at
// most REPORT_COLUMNS / 2 + 1 of at most 20 characters), the edit line and the times.
constexpr int64_t PANEL_BYTES =
    1000 + WHY_BUFFER + 400 + REPORT_STRIPS * (300 + REPORT_COLUMNS * 8 + (REPORT_COLUMNS / 2 + 1) * 20);
// The takes shorter on some tracks than on others are listed up to this many, and a
// line of the list takes at most this much, less the names it holds.
constexpr int32_t SHORT_TAKES_LISTED = 20;
constexpr int64_t SHORT_TAKE_BYTES = 200;

// What the rows are chosen with; one, allocated by Write_Report.
struct Work {
    const Job* job;
    Panel_Reader reader;
    int32_t row_full[MAX_ENTRIES];    // per edit point: tracks whose panel reaches full scale
    int32_t row_failed[MAX_ENTRIES];  // per edit point: tracks whose crossfade fails
    int32_t row_flagged[MAX_ENTRIES]; // per edit point: tracks the edit checks flag
    int32_t slot_of[MAX_ENTRIES];     // per edit point: its row in the panel store; -1: left out
};

int32_t Edit_Rows(const Job* job)
{
    return job->edit_count > 2 ? job->edit_count - 2 : 0;
}

// Bytes of `name` escaped, at most.
int64_t Escaped_At_Most(const char* name)
{
    return 6 * (int64_t)strlen(name);
}

// The most one edit row takes: its heading, which names two takes, and a panel per
// track, each naming its track and two takes.
int64_t Row_Bytes_At_Most(const Job* job)
{
    int64_t suffixes = 0, bases = 0;
    for (int32_t i = 0; i < job->edit_count; i++) {
        int64_t bytes = Escaped_At_Most(Take_Suffix(job, i));
        suffixes = bytes > suffixes ? bytes : suffixes;
    }
    for (int32_t t = 0; t < job->track_count; t++)
        bases += Escaped_At_Most(Base_Name(job, t));
    return HEADING_BYTES + 2 * suffixes + job->track_count * (PANEL_BYTES + 2 * suffixes) + bases;
}

// Track by track, so that each track's files open once: with `tally`, counts every
// edit point's warnings (the built output at full scale, a failed crossfade) and
// computes the panels of the edit points that have a row in `store`; without it,
// computes only those panels.
void Compute_Panels(Work* work, Panel* store, bool tally)
{
    const Job* job = work->job;
    for (int32_t t = 0; t < job->track_count; t++) {
        for (int32_t i = 1; i + 1 < job->edit_count; i++) {
            int32_t slot = work->slot_of[i];
            bool failed = Fade_Fails(Cut_Of(job, t, i)->fade);
            if (tally)
                work->row_flagged[i] += Cut_Of(job, t, i)->checks != 0 ? 1 : 0;
            if (slot >= 0) {
                Panel* panel = &store[(int64_t)slot * job->track_count + t];
                Compute_Panel(&work->reader, t, i, panel);
                if (tally) {
                    work->row_full[i] += panel->full;
                    work->row_failed[i] += failed ? 1 : 0;
                }
            } else if (tally) {
                work->row_full[i] += Built_Reaches_Full_Scale(&work->reader, t, i) ? 1 : 0;
                work->row_failed[i] += failed ? 1 : 0;
            }
        }
    }
}

// After a build, standard output stands at the end of its last "edits: " row: a
// message begins two lines further down, as "Done" does.
const char* Line_Start(const Job* job)
{
    return job->options.dry_run || job->options.quiet ? "" : "\n\n";
}

void Put_Head(Text* text, const Job* job)
{
    int32_t tracks = job->track_count;
    Put(text, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
        "content=\"width=device-width, initial-scale=1\"><title>Tavlin report: %d track%s, %d edit points</title>\n"
        "<style>%s</style></head>\n<body>\n<h1>Tavlin report</h1>\n", tracks, tracks == 1 ? "" : "s",
        job->edit_count, REPORT_STYLE);
    if (!job->options.dry_run)
        Put(text, "<p class=\"run\">Built: the waveforms marked \"built\" are read back from the outputs.</p>\n");
    else
        Put(text, "<p class=\"run\">Dry run: nothing was built; the waveforms marked \"built\" are mixed in memory "
            "as a real run would write them.</p>\n");
    Put(text, "<h2>Plan</h2>\n<p>One lane per output. Hover over a segment for its take, times and frames, or "
        "over an edit mark for its crossfade.</p>\n");
}

// Whether edit point i has a warning: the output at full scale, a failed crossfade, a flag.
bool Warned(const Work* work, int32_t i)
{
    return work->row_full[i] + work->row_failed[i] + work->row_flagged[i] > 0;
}

void Put_Warning_Counts(Text* text, const Work* work, int32_t i)
{
    const int32_t counts[3] = {work->row_full[i], work->row_failed[i], work->row_flagged[i]};
    static const char* const WHAT[3] = {"output at full scale", "crossfade failed", FLAG_WORDS};
    const char* between = "";
    for (int32_t k = 0; k < 3; k++)
        if (counts[k] > 0) {
            Put(text, "%s%s on %d track%s", between, WHAT[k], counts[k], counts[k] == 1 ? "" : "s");
            between = "; ";
        }
}

// The takes the edit checks find shorter on some tracks than on others, listed up to
// SHORT_TAKES_LISTED.
void Put_Short_Takes(Text* text, const Job* job)
{
    int32_t count = 0;
    for (int32_t k = 0; k < job->take_count; k++)
        for (int32_t t = 0; t < job->track_count; t++) {
            int32_t longest;
            if (job->options.checks_off || !Take_Falls_Short(job, t, k, &longest))
                continue;
            if (count++ == 0)
                Put(text, "<p>Takes shorter on some tracks than on others (%s):</p>\n<ul class=\"warnings\">\n",
                    FLAG_WORDS);
            if (count > SHORT_TAKES_LISTED)
                continue;
            const Take_Info* mine = Take_Number(job, t, k);
            const Take_Info* most = Take_Number(job, longest, k);
            Put(text, "<li>");
            Put_Escaped(text, Take_Suffix(job, job->first_edit[k]));
            Put(text, " on ");
            Put_Escaped(text, Base_Name(job, t));
            Put(text, ": %.3f s, where ", mine->frames / (double)mine->format.sample_rate);
            Put_Escaped(text, Base_Name(job, longest));
            Put(text, " has %.3f s</li>\n", most->frames / (double)most->format.sample_rate);
        }
    if (count > SHORT_TAKES_LISTED)
        Put(text, "<li>and %d more</li>\n", count - SHORT_TAKES_LISTED);
    if (count > 0)
        Put(text, "</ul>\n");
}

// The row of edit point i: its heading and a panel per track.
void Put_Row(Text* text, const Work* work, const Panel* store, int32_t i)
{
    const Job* job = work->job;
    char at[CLOCK_BUFFER];
    int64_t ms = Time_Milliseconds(&job->edit_times[i]);
    Format_Clock(ms > 0 ? ms : 0, 3, at);
    Put(text, "<section class=\"edit\" id=\"edit%d\"><h3>Edit %d at %s: ", i + 1, i + 1, at);
    Put_Escaped(text, Take_Suffix(job, i - 1));
    Put(text, " → ");
    Put_Escaped(text, Take_Suffix(job, i));
    if (Warned(work, i)) {
        Put(text, " <span class=\"warn\">(");
        Put_Warning_Counts(text, work, i);
        Put(text, ")</span>");
    }
    Put(text, "</h3>\n<div class=\"panels\">\n");
    for (int32_t t = 0; t < job->track_count; t++)
        Put_Panel(text, job, t, i, &store[(int64_t)work->slot_of[i] * job->track_count + t]);
    Put(text, "</div></section>\n");
}

void Put_Edits(Text* text, const Work* work, const Panel* store)
{
    const Job* job = work->job;
    int32_t rows = Edit_Rows(job);
    if (rows == 0 || job->track_count == 0) {
        Put(text, "<p>No edit points lie between the first and the last: there is nothing to cut.</p>\n");
        return;
    }
    int32_t shown = 0, warned = 0;
    for (int32_t i = 1; i <= rows; i++) {
        shown += work->slot_of[i] >= 0 ? 1 : 0;
        warned += Warned(work, i) ? 1 : 0;
    }
    Put(text, "<p>Each panel shows one track around one edit point: the previous take, the next take and the "
        "output as built, over the crossfade (shaded) and at least %d ms on each side. Samples at full scale are "
        "marked red.</p>\n", REPORT_MARGIN_MS);
    if (shown < rows)
        Put(text, "<p class=\"warn\">%d of %d edits are left out: a report shows at most %d panels (%d edits of %d "
            "tracks), and the edits with warnings are chosen first.</p>\n", rows - shown, rows, REPORT_PANEL_LIMIT,
            shown, job->track_count);
    if (warned > 0) {
        Put(text, "<p>%d edit%s with warnings:</p>\n<ul class=\"warnings\">\n", warned, warned == 1 ? "" : "s");
        for (int32_t i = 1; i <= rows; i++) {
            if (!Warned(work, i))
                continue;
            if (work->slot_of[i] >= 0)
                Put(text, "<li><a href=\"#edit%d\">Edit %d</a>: ", i + 1, i + 1);
            else
                Put(text, "<li>Edit %d (left out): ", i + 1);
            Put_Warning_Counts(text, work, i);
            Put(text, "</li>\n");
        }
        Put(text, "</ul>\n");
    }
    // A row is written only when the file then stays within REPORT_BYTES_LIMIT with room
    // for the closing lines. Where the most a row can take might not fit, the row is
    // drafted first to learn what it takes.
    Text draft{};
    draft.buffer = (char*)Block_Alloc(TEXT_BUFFER);
    draft.counting = true;
    int64_t row_at_most = Row_Bytes_At_Most(job);
    int32_t cut_short = 0;
    for (int32_t i = 1; i <= rows; i++) {
        if (work->slot_of[i] < 0)
            continue;
        int64_t row = row_at_most;
        if (cut_short == 0 && Text_Bytes(text) + row + CLOSING_BYTES > REPORT_BYTES_LIMIT) {
            draft.used = draft.written = 0;
            Put_Row(&draft, work, store, i);
            row = Text_Bytes(&draft);
        }
        if (cut_short > 0 || Text_Bytes(text) + row + CLOSING_BYTES > REPORT_BYTES_LIMIT)
            cut_short++;
        else
            Put_Row(text, work, store, i);
    }
    free(draft.buffer);
    if (cut_short > 0)
        Put(text, "<p class=\"warn\">%d further edit%s left out to keep the report under %lld MB.</p>\n", cut_short,
            cut_short == 1 ? " is" : "s are", (long long)(REPORT_BYTES_LIMIT / 1000000));
}

}  // namespace

void Write_Report(const Job* job)
{
    const char* report = job->options.report;
    if (report == nullptr)
        return;

    Work* work = (Work*)Block_Alloc((int64_t)sizeof(Work));
    work->job = job;
    Reader_Start(&work->reader, job, !job->options.dry_run);

    // Every panel is computed once when all fit; otherwise once to find the edits with
    // warnings, and the edits shown once more.
    int32_t tracks = job->track_count;
    int32_t rows = Edit_Rows(job);
    bool all = (int64_t)rows * tracks <= REPORT_PANEL_LIMIT;
    int32_t kept_rows = all ? rows : REPORT_PANEL_LIMIT / tracks;
    Panel* store = (Panel*)Block_Alloc(((int64_t)kept_rows * tracks + 1) * (int64_t)sizeof(Panel));
    for (int32_t i = 0; i < MAX_ENTRIES; i++)
        work->slot_of[i] = all && i >= 1 && i <= rows ? i - 1 : -1;
    Compute_Panels(work, store, true);
    if (!all) {
        int32_t slot = 0;
        for (int32_t warned = 1; warned >= 0; warned--)
            for (int32_t i = 1; i <= rows && slot < kept_rows; i++)
                if (Warned(work, i) == (warned == 1))
                    work->slot_of[i] = slot++;
        Compute_Panels(work, store, false);
    }
    Reader_End(&work->reader);

    Text text{};
    text.buffer = (char*)Block_Alloc(TEXT_BUFFER);
    text.line = Line_Start(job);
    text.report = report;
    Plan_Layout layout = Choose_Plan(job, text.buffer);
    Partial_Begin(job->folders[job->report.folder].fd, job->report.name, report, &text.file);
    Put_Head(&text, job);
    Put_Plan(&text, job, &layout);
    Put_Short_Takes(&text, job);
    Put(&text, "<h2>Edits</h2>\n");
    Put_Edits(&text, work, store);
    Put(&text, "</body></html>\n");
    Flush(&text);
    (void)Partial_Publish(&text.file, true);  // nothing reads the report back

    free(text.buffer);
    free(store);
    free(work);
    if (!job->options.quiet)
        printf("\n\nReport written to %s", Show(report).text);
}

int64_t Report_Bytes_At_Most(const Job* job)
{
    // The head, the legend and the plan view as they will be drawn, the warnings list,
    // the panels shown with their rows' headings, and the closing lines; never past
    // REPORT_BYTES_LIMIT, past which rows are left out.
    char* buffer = (char*)Block_Alloc(TEXT_BUFFER);
    Plan_Layout layout = Choose_Plan(job, buffer);
    free(buffer);
    int64_t tracks = job->track_count, rows = Edit_Rows(job);
    int64_t kept_rows = rows * tracks <= REPORT_PANEL_LIMIT ? rows : tracks > 0 ? REPORT_PANEL_LIMIT / tracks : 0;
    int64_t row = Row_Bytes_At_Most(job);
    // The edit checks run after this is asked: their ticks and the list of short takes
    // are counted at the most they can take.
    int64_t columns = job->edit_count < layout.columns ? job->edit_count : layout.columns;
    int64_t flags = tracks * (64 + columns * FLAG_TICK_BYTES) +
                    SHORT_TAKES_LISTED * (SHORT_TAKE_BYTES + 3 * 6 * NAME_SLOT) + 2 * SHORT_TAKE_BYTES;
    int64_t bytes = HEAD_BYTES + layout.bytes + flags + EDITS_INTRO_BYTES + rows * WARNING_BYTES + kept_rows * row +
                    CLOSING_BYTES;
    return bytes < REPORT_BYTES_LIMIT ? bytes : REPORT_BYTES_LIMIT;
}
