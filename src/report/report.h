// The HTML report (--report FILE): a plan view of every track's segments on one time
// axis and an edit view of small waveform panels, one per track for each edit point
// between the first and the last. It reads the job and its one plan (jobs/job.h) and
// never changes them; takes and outputs are read through the WAV layer (Read_Audio,
// Open_Files) and a dry run's output is mixed with the crossfade engine's own gains and
// mixer (Fade_Work, FADE_MIX), so the report shows what the build writes.
//
// Three parts: envelope.cpp reads the frames around a cut and folds them into min/max
// columns; draw.cpp turns the plan and the panels into HTML and SVG text; report.cpp
// chooses the edit rows, keeps the file within its size and writes it.
// Frames count from the start of a data area; sizes in bytes say so.
#pragma once

#include <cstdint>

#include "audio/audio.h"
#include "jobs/job.h"
#include "wav/wav.h"

// Each panel is REPORT_COLUMNS pixel columns wide; beyond REPORT_PANEL_LIMIT panels
// only as many whole edits as fit are shown, those with warnings (the built output at
// full scale, failed crossfades) chosen first.
constexpr int32_t REPORT_COLUMNS = 200;
constexpr int32_t REPORT_PANEL_LIMIT = 2000;
constexpr int32_t REPORT_MARGIN_MS = 20;  // at least this much is shown on each side of a cut
// The whole report stays within this many bytes, whatever the job: the plan view
// within REPORT_PLAN_BYTES of it, and edit rows that would pass the rest are left out.
constexpr int64_t REPORT_BYTES_LIMIT = 20000000;
constexpr int64_t REPORT_PLAN_BYTES = 12000000;

// The most bytes the report of `job` (planned) can take, for the checks made before
// the first write: at most REPORT_BYTES_LIMIT, and about the report's size for a small job.
int64_t Report_Bytes_At_Most(const Job* job);

// Writes the report named by job->options.report, if any, after Build_Tracks (the
// built waveforms are read back from the outputs) or after Print_Segments in a dry run
// (they are mixed in memory as the build mixes them; the report is then the only file
// written). A relative name lies in the folder the job runs in. The file is built as
// the outputs are, under a partial name in its folder (Partial_Begin), and renamed over
// its name when whole; a failure or signal removes the partial file. Its name, folder,
// room and limit were checked with the outputs' before the first write. Prints "Report
// written to FILE" unless quiet.
void Write_Report(const Job* job);

// ---- envelopes (envelope.cpp): the three waveforms of a panel ---------------------------

constexpr int32_t REPORT_STRIPS = 3;  // the previous take, the next take, the built output
constexpr int32_t STRIP_HEIGHT = 24;  // pixels of one waveform

// One waveform: per pixel column the rows of its highest and lowest sample (0: positive
// full scale, STRIP_HEIGHT: negative; bottom > top, so silence still draws a line) and
// whether a sample there lies at full scale.
struct Strip {
    uint8_t top[REPORT_COLUMNS];
    uint8_t bottom[REPORT_COLUMNS];
    uint8_t full[REPORT_COLUMNS];
};

// The panel of one track at one edit point: output frames [window_from, window_to), the
// crossfade (or the edit's frame) and a margin on each side.
struct Panel {
    Strip strips[REPORT_STRIPS];
    int32_t window_from;
    int32_t window_to;
    int32_t full;      // 1: the built output reaches full scale
    int32_t runs_out;  // bit 0: the previous take's audio ends inside the crossfade; bit 1: the next's
    int32_t empty;     // 1: no segment starts at the edit point; nothing is drawn
};

// The lowest and highest of some samples as fractions of full scale, and whether one
// of them lies at full scale.
struct Extremes {
    double low;
    double high;
    bool full;
};

// A window's samples per pixel column, gathered block by block in frame order. Column c
// shows frames [c N / C, (c + 1) N / C) of a window of N frames (at least the frame c N / C).
struct Envelope {
    Extremes columns[REPORT_COLUMNS];
    int64_t frames;  // N
    int32_t column;  // the first column not yet complete
};

// What the panels of one track are read with. The track's takes (and after a build its
// output) stay open in `files`, the WAV layer's cache; `fade` is the track's crossfade
// work as the build starts it: its gains mix a dry run's crossfades, and its three
// buffers hold a block of the previous take, the next take and the built output.
struct Panel_Reader {
    const Job* job;
    bool read_back;        // after a build: the built waveform is read from the output
    int32_t track;         // the track whose files are open; -1: none
    Open_Files files;
    Fade_Work fade;
    Take_Info output;      // where the open track's output holds its audio, as its probe found it (read_back)
    uint8_t* scratch[2];   // COPY_BYTES each: frames of a take other than the two at the edit
    Envelope envelopes[REPORT_STRIPS];
};

// Allocates what `reader` needs (Block_Alloc; freed by Reader_End); no track is open.
void Reader_Start(Panel_Reader* reader, const Job* job, bool read_back);
// Closes the open track's files and frees its crossfade work and the buffers.
void Reader_End(Panel_Reader* reader);
// The panel of edit point i (1 <= i <= edit_count - 2) of track t, into `panel`. Opens
// track t's files first unless they are open; a take that is no longer the file the
// probe read ends the process with a line naming it.
void Compute_Panel(Panel_Reader* reader, int32_t t, int32_t i, Panel* panel);
// Whether the built output reaches full scale in the panel of edit point i of track t,
// without drawing it; in a dry run it mixes only what could reach full scale.
bool Built_Reaches_Full_Scale(Panel_Reader* reader, int32_t t, int32_t i);

// ---- text (draw.cpp): the report's bytes on their way to its file -----------------------

constexpr int32_t TEXT_BUFFER = 1 << 18;
// Free room kept before each piece of text: the longest piece, an escaped name of at
// most NAME_SLOT bytes at six bytes per byte, fits many times over.
constexpr int32_t TEXT_RESERVE = 1 << 14;

// The report's text, written to its partial file as the buffer fills; or, with
// `counting`, only counted (a draft that measures what a part would take).
struct Text {
    char* buffer;          // TEXT_BUFFER bytes, the caller's
    int64_t used;
    int64_t written;       // bytes already passed on (or counted)
    bool counting;
    Partial file;          // open for writing unless counting
    const char* report;    // the report's name, for the message when a write fails
    const char* line;      // what puts that message at the start of a line
};

// Appends formatted text; a write that fails ends the process (FAIL removes the partial file).
void Put(Text* text, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends `name` as HTML and XML text: the five markup characters as entities, control
// characters and bytes that are no UTF-8 text as \xNN.
void Put_Escaped(Text* text, const char* name);
// Passes the buffer on to the file (or the count).
void Flush(Text* text);
// Bytes put so far.
int64_t Text_Bytes(const Text* text);

// ---- drawing (draw.cpp) -----------------------------------------------------------------

// How the plan view is drawn: its lanes on a grid of `columns` columns across the time
// axis. What is narrower than a column merges with its neighbours into one run; with
// `titles`, every drawn segment, tail pad and edit mark carries its details for hovering
// (failed crossfades always do).
constexpr int32_t PLAN_COLUMNS = 1000;
struct Plan_Layout {
    int32_t columns;
    bool titles;
    bool mixed;     // some run holds several takes, none of them most of its frames
    int64_t bytes;  // what the legend and the plan view take in this layout
};

// The finest layout whose plan view (legend included) takes at most REPORT_PLAN_BYTES:
// titles at PLAN_COLUMNS columns, else none and columns halved until it fits.
// `buffer` is TEXT_BUFFER bytes of the caller's, for the drafts.
Plan_Layout Choose_Plan(const Job* job, char* buffer);
// The legend (an HTML list that wraps: a key per take in the order the edit points
// first name them, then the marks) and the plan view: an SVG as wide as the page, with
// a time axis and one lane per output, its name and format above its bar.
void Put_Plan(Text* text, const Job* job, const Plan_Layout* layout);
// The panel of edit point i of track t: its track name and its cut in words (a failed
// crossfade says why, in the plan's words) above an SVG of the three waveforms, each
// with its label above it, the crossfade's span shaded, the edit's frame dashed and the
// times the window spans.
void Put_Panel(Text* text, const Job* job, int32_t t, int32_t i, const Panel* panel);
// The legend's words for what the edit checks flag; the panels' lines begin with them.
constexpr const char* FLAG_WORDS = "flagged by the edit checks";
// The most the flag ticks of one lane take: a tick a column at most.
constexpr int64_t FLAG_TICK_BYTES = 16;

// The style sheet of the report.
extern const char REPORT_STYLE[];
