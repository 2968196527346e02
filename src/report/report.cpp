// The HTML report: a plan view of every track's segments on one time axis, and an edit
// view of small waveform panels around each cut (the previous take, the next take and
// the built result). Every waveform is read before the report's file is created, so a
// read that fails leaves nothing half written; the text is then built in a fixed buffer
// and written under a hidden temporary name that is synced and renamed over the report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/report.h"

#include "audio/audio.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"

namespace {

constexpr int32_t COLUMNS = REPORT_COLUMNS;
constexpr int32_t STRIPS = 3;          // previous take, next take, built result
constexpr int32_t STRIP_HEIGHT = 24;   // pixels
constexpr int32_t STRIP_PITCH = 28;
constexpr int32_t STRIPS_TOP = 30;     // below the panel's two lines of text
constexpr int32_t PANEL_HEIGHT = STRIPS_TOP + STRIPS * STRIP_PITCH + 12;

constexpr int32_t LABEL_WIDTH = 240;   // plan: the column of output names and formats
constexpr int32_t AXIS_WIDTH = 960;    // plan: pixels of the time axis
constexpr int32_t PLAN_WIDTH = LABEL_WIDTH + AXIS_WIDTH + 32;  // room for the last tick's time
constexpr int32_t LANE_PITCH = 30;
constexpr int32_t BAR_TOP = 4;         // the segment bar within a lane
constexpr int32_t BAR_HEIGHT = 18;

constexpr int32_t TEXT_BUFFER = 1 << 18;
// Free room kept before each piece of text: the longest piece, an escaped path of
// PATH_BUFFER bytes at six bytes per character, fits.
constexpr int32_t TEXT_RESERVE = 1 << 15;
constexpr int32_t PATH_BUFFER = 4096;
constexpr int32_t OPEN_FILES = 8;
constexpr int32_t OUTPUT_KEY = -1;     // the output among a track's open files
constexpr int32_t GAIN_CACHE_FRAMES = 65536;

// The most text one panel takes: three waveforms of a stroke per column (at most 8
// characters each), red bands (at most COLUMNS / 2 + 1 of at most 20 characters) and
// a label, its name twice, escaped (at most 6 characters a byte), and the rest.
constexpr int64_t PANEL_BYTES_MAX =
    3 * (COLUMNS * 8 + (COLUMNS / 2 + 1) * 20 + 6 * NAME_SLOT + 200) + 2 * 6 * NAME_SLOT + 800;

// What happens at an edit point of a track: the plan's word for its crossfade.
constexpr int32_t CUT_CROSSFADE = FADE_MIXED;
constexpr int32_t CUT_HARD = FADE_NONE;
constexpr int32_t CUT_TOO_EARLY = FADE_TOO_EARLY;
constexpr int32_t CUT_NO_SEGMENT = FADE_NO_SEGMENT;

struct Shown_Cut {
    int32_t kind;
    int32_t from;    // first output frame the crossfade writes; the edit's frame when none does
    int32_t frames;  // frames the crossfade writes (clipped at the track's end); 0 when none
};

// One waveform of a panel: per pixel column, the rows of its highest and lowest sample
// (0: positive full scale, STRIP_HEIGHT: negative) and whether a sample is at full scale.
struct Strip {
    uint8_t top[COLUMNS];
    uint8_t bottom[COLUMNS];  // below the lowest sample: bottom > top
    uint8_t full[COLUMNS];
};

struct Panel {
    Strip strips[STRIPS];
    Shown_Cut cut;
    int32_t window_from;  // output frames shown: [window_from, window_to)
    int32_t window_to;
    int32_t full;         // 1: the built output reaches full scale
    int32_t runs_out;     // bit 0: the previous take's audio ends inside the crossfade; bit 1: the next's
};

// The files of one track that are open: takes by take number, the output by OUTPUT_KEY.
struct Open_Files {
    int32_t keys[OPEN_FILES];
    char names[OPEN_FILES][TAKE_NAME_BUFFER];
    Stream streams[OPEN_FILES];
    int32_t count;
    int32_t oldest;
};

// The lowest and highest of some samples as fractions of full scale, and whether one
// of them lies at full scale.
struct Extremes {
    double low;
    double high;
    bool full;
};

// The samples of a window per pixel column, gathered block by block in frame order.
// Column c shows the frames [c N / C, (c + 1) N / C) of a window of N frames (at least
// one: the frame c N / C, when N < C).
struct Envelope {
    Extremes columns[COLUMNS];
    int64_t frames;   // N
    int32_t column;   // the first column not yet complete
};

// Everything the panels are computed with; one, allocated by Write_Report.
struct Work {
    const Job* job;
    bool read_back;                   // a real run: the built waveform is the output's
    int32_t take_of[MAX_ENTRIES];     // per edit point: its take's number among the distinct suffixes
    int32_t first_edit[MAX_ENTRIES];  // per take number: the first edit point naming it
    int32_t take_count;
    uint8_t* previous;                // frames of the previous take, COPY_BYTES
    uint8_t* next;                    // frames of the next take, likewise
    uint8_t* built;                   // frames of the built output, likewise
    uint8_t* scratch_a;               // frames of other takes, likewise
    uint8_t* scratch_b;
    int32_t* samples;                 // MIX_BLOCK's working storage
    double* g_previous;               // crossfade gains: GAIN_CACHE_FRAMES cached, then a block
    double* g_next;
    int32_t gain_type;
    int32_t gain_length;
    int32_t gain_cached;
    int32_t track;                    // the track whose files are open; -1: none
    Envelope envelopes[STRIPS];
    Open_Files files;
    Take_Info output;                // where the open track's output holds its audio
    int32_t row_full[MAX_ENTRIES];    // per edit point: tracks whose panel reaches full scale
    int32_t row_failed[MAX_ENTRIES];  // per edit point: tracks whose crossfade fails
    int32_t slot_of[MAX_ENTRIES];     // per edit point: its row in the panel store; -1: left out
};

// ---- samples --------------------------------------------------------------------------

constexpr Extremes NO_SAMPLES = {2.0, -2.0, false};

// The integer sample of `bytes` bytes (2, 3 or 4) at `at`, sign-extended; little-endian
// whatever the host.
inline int32_t Integer_At(const uint8_t* at, int32_t bytes)
{
    uint32_t raw = 0;
    for (int32_t b = 0; b < bytes; b++)
        raw |= (uint32_t)at[b] << (8 * b);
    if (bytes == 4)
        return (int32_t)raw;
    uint32_t sign = 1u << (8 * bytes - 1);
    return (int32_t)(raw ^ sign) - (int32_t)sign;
}

// The float sample of `bytes` bytes (4 or 8) at `at`; little-endian whatever the host.
inline double Float_At(const uint8_t* at, int32_t bytes)
{
    uint64_t raw = 0;
    for (int32_t b = 0; b < bytes; b++)
        raw |= (uint64_t)at[b] << (8 * b);
    if (bytes == 8) {
        double value;
        memcpy(&value, &raw, 8);
        return value;
    }
    uint32_t narrow_raw = (uint32_t)raw;
    float narrow;
    memcpy(&narrow, &narrow_raw, 4);
    return narrow;
}

// An integer sample of `bytes` bytes as a fraction of full scale, in [-1, 1).
inline double Fraction(int32_t value, int32_t bytes)
{
    return value / (double)(1u << (8 * bytes - 1));
}

// Folds `samples` integer samples into *extremes. The loop keeps to integers; full
// scale is the width's lowest or highest value.
inline void Scan_Integers(const uint8_t* at, int64_t samples, int32_t bytes, Extremes* extremes)
{
    // Two samples a step, each into its own pair: the comparisons of one do not wait
    // for those of the other.
    int32_t low = INT32_MAX, high = INT32_MIN, low_2 = INT32_MAX, high_2 = INT32_MIN;
    int64_t s = 0;
    for (; s + 1 < samples; s += 2) {
        int32_t value = Integer_At(at + s * bytes, bytes);
        int32_t value_2 = Integer_At(at + (s + 1) * bytes, bytes);
        low = value < low ? value : low;
        high = value > high ? value : high;
        low_2 = value_2 < low_2 ? value_2 : low_2;
        high_2 = value_2 > high_2 ? value_2 : high_2;
    }
    if (s < samples) {
        int32_t value = Integer_At(at + s * bytes, bytes);
        low = value < low ? value : low;
        high = value > high ? value : high;
    }
    low = low_2 < low ? low_2 : low;
    high = high_2 > high ? high_2 : high;
    int64_t top = ((int64_t)1 << (8 * bytes - 1)) - 1;
    if (low == -top - 1 || high == top)
        extremes->full = true;
    if (Fraction(low, bytes) < extremes->low)
        extremes->low = Fraction(low, bytes);
    if (Fraction(high, bytes) > extremes->high)
        extremes->high = Fraction(high, bytes);
}

// Likewise for float samples: full scale is a magnitude of 1 or more, or no number;
// what is drawn is clamped to [-1, 1].
inline void Scan_Floats(const uint8_t* at, int64_t samples, int32_t bytes, Extremes* extremes)
{
    double low = 1.0, high = -1.0;
    bool full = false;
    for (int64_t s = 0; s < samples; s++) {
        double value = Float_At(at + s * bytes, bytes);
        full = full || !(value < 1.0 && value > -1.0);
        low = value < low ? value : low;
        high = value > high ? value : high;
    }
    extremes->full = extremes->full || full;
    low = low < -1.0 ? -1.0 : low;
    high = high > 1.0 ? 1.0 : high;
    extremes->low = low < extremes->low ? low : extremes->low;
    extremes->high = high > extremes->high ? high : extremes->high;
}

// Folds samples of the track's format into *extremes, the format chosen once: each call
// below sees constants, so that every format gets a loop of its own.
void Scan_Samples(const uint8_t* at, int64_t samples, int32_t bytes, int32_t is_float, Extremes* extremes)
{
    switch (bytes * 2 + (is_float ? 1 : 0)) {
    case 4: Scan_Integers(at, samples, 2, extremes); break;
    case 6: Scan_Integers(at, samples, 3, extremes); break;
    case 8: Scan_Integers(at, samples, 4, extremes); break;
    case 9: Scan_Floats(at, samples, 4, extremes); break;
    case 17: Scan_Floats(at, samples, 8, extremes); break;
    default: break;  // the probe admits no other format
    }
}

// Whether any of `samples` samples at `at` lies at full scale. An integer's extremes
// are the only values whose top byte is 0x7F or 0x80: those bytes are looked at first.
bool Any_Full_Scale(const uint8_t* at, int64_t samples, int32_t bytes, int32_t is_float)
{
    if (is_float) {
        Extremes extremes = NO_SAMPLES;
        Scan_Samples(at, samples, bytes, is_float, &extremes);
        return extremes.full;
    }
    int32_t top = (int32_t)(((int64_t)1 << (8 * bytes - 1)) - 1);
    for (int64_t s = 0; s < samples; s++) {
        if ((uint8_t)(at[s * bytes + bytes - 1] - 0x7F) > 1)
            continue;
        int32_t value = Integer_At(at + s * bytes, bytes);
        if (value == top || value == -top - 1)
            return true;
    }
    return false;
}

// Whether all of `samples` samples at `at` stay below 0.65 of full scale in magnitude:
// for integers, whether every top byte lies in [-83, 82] (a magnitude below 83 / 128).
bool All_Quiet(const uint8_t* at, int64_t samples, int32_t bytes, int32_t is_float)
{
    if (is_float) {
        for (int64_t s = 0; s < samples; s++) {
            double value = Float_At(at + s * bytes, bytes);
            if (!(value < 0.65 && value > -0.65))
                return false;
        }
        return true;
    }
    bool quiet = true;
    for (int64_t s = 0; s < samples; s++)
        quiet &= (uint8_t)(at[s * bytes + bytes - 1] + 83) < 166;
    return quiet;
}

// ---- reading and mixing ----------------------------------------------------------

int32_t Track_Frame_Size(const Job* job, int32_t t)
{
    return Frame_Size(&job->tracks[t].format);
}

// The cut at edit point i >= 1 of track t, as the plan has it: where a crossfade is
// mixed, its first output frame and frame count; otherwise the edit's frame.
Shown_Cut Cut_At(const Job* job, int32_t t, int32_t i)
{
    const Cut* cut = Cut_Of(job, t, i);
    if (cut->fade == FADE_MIXED)
        return Shown_Cut{cut->fade, cut->fade_from, cut->fade_frames};
    return Shown_Cut{cut->fade, cut->start, 0};
}

bool Failed(int32_t kind)
{
    return Fade_Fails(kind);
}

// The take numbers are the plan's.
void Number_Takes(Work* work)
{
    const Job* job = work->job;
    memcpy(work->take_of, job->take_of, sizeof work->take_of);
    memcpy(work->first_edit, job->first_edit, sizeof work->first_edit);
    work->take_count = job->take_count;
}

void Close_Files(Work* work)
{
    Open_Files* files = &work->files;
    for (int32_t k = 0; k < files->count; k++)
        Stream_Close_Unwritten(&files->streams[k]);
    files->count = 0;
    files->oldest = 0;
}

// Track t's take number `key` (or its output, OUTPUT_KEY), opened unless it is open;
// the oldest is closed when a further one is needed.
const Stream* File_Of(Work* work, int32_t t, int32_t key)
{
    Open_Files* files = &work->files;
    int32_t k = 0;
    while (k < files->count && files->keys[k] != key)
        k++;
    if (k < files->count)
        return &files->streams[k];
    if (files->count < OPEN_FILES) {
        k = files->count++;
    } else {
        k = files->oldest;
        files->oldest = (files->oldest + 1) % OPEN_FILES;
        Stream_Close_Unwritten(&files->streams[k]);
    }
    if (key == OUTPUT_KEY)
        snprintf(files->names[k], TAKE_NAME_BUFFER, "%s", Out_Name(work->job, t));
    else
        Take_Name(work->job, t, work->first_edit[key], files->names[k]);
    files->keys[k] = key;
    files->streams[k] = Stream_Open_Read(files->names[k]);
    return &files->streams[k];
}

// Makes track t the one whose files are open; after a build, finds where its output
// holds its audio.
void Open_Track(Work* work, int32_t t)
{
    if (work->track == t)
        return;
    Close_Files(work);
    work->track = t;
    if (work->read_back) {
        GET_ATTRIBUTES(0, Out_Name(work->job, t), &work->output);
    }
}

// Reads frames [frame, frame + frames) of the audio at `place` into `buffer`; what lies
// at or past the end of the audio is silence, as the build reads it.
void Read_Frames(const Stream* stream, const Take_Info* place, int32_t frame_size, int64_t frame, int32_t frames,
                 uint8_t* buffer)
{
    int64_t from = place->data_offset + frame * frame_size;
    int64_t bytes = (int64_t)frames * frame_size;
    int64_t audio = place->data_end - from;
    audio = audio < 0 ? 0 : audio > bytes ? bytes : audio;
    int64_t got = audio > 0 ? Stream_Read_At(stream, from, buffer, audio) : 0;
    memset(buffer + got, 0, (size_t)(bytes - got));
}

// Frames [frame, frame + frames) of the take of edit point k of track t, while the
// panel of edit point i is read from frame `block_at` on: the take of i - 1 or of i is
// in work->previous or work->next already; any other is read into `scratch`.
const uint8_t* Take_Frames(Work* work, int32_t t, int32_t i, int32_t k, int64_t frame, int32_t frames,
                           int64_t block_at, uint8_t* scratch)
{
    int64_t at = (frame - block_at) * Track_Frame_Size(work->job, t);
    if (work->take_of[k] == work->take_of[i - 1])
        return work->previous + at;
    if (work->take_of[k] == work->take_of[i])
        return work->next + at;
    Read_Frames(File_Of(work, t, work->take_of[k]), Take_Of(work->job, t, k), Track_Frame_Size(work->job, t), frame,
                frames, scratch);
    return scratch;
}

// Gains of crossfade frames [j, j + frames) of a crossfade of `length` frames and curve
// `type` (frames <= BLOCK_FRAMES): from the cache where it holds them, else computed
// behind it. Either way they are the bits the build mixes with.
void Gains_Of(Work* work, int32_t type, int32_t length, int32_t j, int32_t frames, const double** g_previous,
              const double** g_next)
{
    if (work->gain_type != type || work->gain_length != length) {
        work->gain_type = type;
        work->gain_length = length;
        work->gain_cached = length < GAIN_CACHE_FRAMES ? length : GAIN_CACHE_FRAMES;
        FADE_GAINS(type, 0, length, work->gain_cached, work->g_previous, work->g_next);
    }
    if (j + frames <= work->gain_cached) {
        *g_previous = work->g_previous + j;
        *g_next = work->g_next + j;
        return;
    }
    FADE_GAINS(type, j, length, frames, work->g_previous + work->gain_cached, work->g_next + work->gain_cached);
    *g_previous = work->g_previous + work->gain_cached;
    *g_next = work->g_next + work->gain_cached;
}

// Frames [block_at, block_at + frames) of track t's output as the build writes them,
// into work->built: per edit point in order, its segment copied from its take, its tail
// pad, and the crossfade over it, each over what came before. Frames no step writes are
// silence. work->previous and work->next hold the same frames of the takes of edit
// points i - 1 and i. With `full_scale_only` the frames need only reach full scale
// where the build's do: a crossfade none of whose mixes can is left silent.
void Mix_Built(Work* work, int32_t t, int32_t i, int64_t block_at, int32_t frames, bool full_scale_only)
{
    const Job* job = work->job;
    int32_t frame_size = Track_Frame_Size(job, t);
    int64_t block_end = block_at + frames;
    memset(work->built, 0, (size_t)frames * frame_size);
    for (int32_t k = 0; k < job->edit_count; k++) {
        const Cut* plan = Cut_Of(job, t, k);
        int32_t fade = job->tracks[t].fade_frames;
        int64_t start = plan->start;
        int32_t count = plan->frames;
        int32_t reach = count > fade ? count : fade;
        if (count < 1 || start + reach <= block_at || start - fade >= block_end)
            continue;  // neither its segment nor its crossfade reaches into the block
        int64_t from = start > block_at ? start : block_at;
        int64_t to = start + count < block_end ? start + count : block_end;
        if (from < to) {
            const uint8_t* take = Take_Frames(work, t, i, k, from, (int32_t)(to - from), block_at, work->scratch_a);
            memcpy(work->built + (from - block_at) * frame_size, take, (size_t)(to - from) * frame_size);
        }
        if (plan->held < plan->frames) {
            int64_t tail = start + plan->held;
            from = tail > block_at ? tail : block_at;
            to = start + count < block_end ? start + count : block_end;
            if (from < to)
                memset(work->built + (from - block_at) * frame_size, 0, (size_t)(to - from) * frame_size);
        }
        if (k == 0)
            continue;
        Shown_Cut cut = Cut_At(job, t, k);
        if (cut.kind != CUT_CROSSFADE)
            continue;
        from = cut.from > block_at ? cut.from : block_at;
        to = (int64_t)cut.from + cut.frames < block_end ? (int64_t)cut.from + cut.frames : block_end;
        for (int64_t f = from; f < to; f += BLOCK_FRAMES) {
            int32_t n = to - f < BLOCK_FRAMES ? (int32_t)(to - f) : BLOCK_FRAMES;
            const uint8_t* previous = Take_Frames(work, t, i, k - 1, f, n, block_at, work->scratch_a);
            const uint8_t* next = Take_Frames(work, t, i, k, f, n, block_at, work->scratch_b);
            int64_t samples = (int64_t)n * job->tracks[t].format.channels;
            if (full_scale_only) {
                // The gains of a frame add up to at most the square root of 2, so a mix
                // of takes that stay below 0.65 of full scale stays below 0.92: no
                // integer saturates and no float rounds to 1.
                if (All_Quiet(previous, samples, job->tracks[t].format.bytes_per_sample, job->tracks[t].format.is_float) &&
                    All_Quiet(next, samples, job->tracks[t].format.bytes_per_sample, job->tracks[t].format.is_float)) {
                    memset(work->built + (f - block_at) * frame_size, 0, (size_t)samples * job->tracks[t].format.bytes_per_sample);
                    continue;
                }
            }
            const double *g_previous, *g_next;
            Gains_Of(work, job->tracks[t].fade_type, job->tracks[t].fade_frames, (int32_t)(f - cut.from), n, &g_previous, &g_next);
            MIX_BLOCK(previous, next, work->built + (f - block_at) * frame_size, n, g_previous, g_next, job->tracks[t].format.bytes_per_sample,
                      job->tracks[t].format.channels, job->tracks[t].format.is_float, work->samples);
        }
    }
}

// ---- waveforms ---------------------------------------------------------------------

void Envelope_Start(Envelope* envelope, int64_t frames)
{
    for (Extremes& column : envelope->columns)
        column = NO_SAMPLES;  // every column receives a frame
    envelope->frames = frames;
    envelope->column = 0;
}

// Adds frames [first, first + frames) of the window (counted from its start) held at
// `at`; blocks come in frame order, and every channel folds into the one envelope.
void Envelope_Add(Envelope* envelope, const uint8_t* at, int64_t first, int32_t frames, const Job* job, int32_t t)
{
    int64_t n = envelope->frames;
    int64_t end = first + frames;
    int32_t channels = job->tracks[t].format.channels;
    int32_t frame_size = Track_Frame_Size(job, t);
    int32_t c = envelope->column;
    for (; c < COLUMNS; c++) {
        int64_t low = c * n / COLUMNS;
        int64_t high = (c + 1) * n / COLUMNS > low ? (c + 1) * n / COLUMNS : low + 1;
        if (low >= end)
            break;
        int64_t from = low > first ? low : first;
        int64_t to = high < end ? high : end;
        if (from < to)
            Scan_Samples(at + (from - first) * frame_size, (to - from) * channels, job->tracks[t].format.bytes_per_sample, job->tracks[t].format.is_float,
                         &envelope->columns[c]);
        if (high > end)
            break;  // the column goes on in the next block
    }
    envelope->column = c;
}

void Envelope_Finish(const Envelope* envelope, Strip* strip)
{
    for (int32_t c = 0; c < COLUMNS; c++) {
        const Extremes* column = &envelope->columns[c];
        double top = floor((1.0 - column->high) * STRIP_HEIGHT / 2);
        double bottom = ceil((1.0 - column->low) * STRIP_HEIGHT / 2);
        int32_t y0 = top < 0 ? 0 : top > STRIP_HEIGHT - 1 ? STRIP_HEIGHT - 1 : (int32_t)top;
        int32_t y1 = bottom > STRIP_HEIGHT ? STRIP_HEIGHT : (int32_t)bottom;
        strip->top[c] = (uint8_t)y0;
        strip->bottom[c] = (uint8_t)(y1 > y0 ? y1 : y0 + 1);  // silence still draws a line
        strip->full[c] = column->full ? 1 : 0;
    }
}

// The frames a panel of edit point i of track t shows: the crossfade (or the edit's
// frame) and a margin on each side of REPORT_MARGIN_MS or a quarter of the crossfade,
// whichever is longer, within the track.
void Panel_Window(const Job* job, int32_t t, const Shown_Cut* cut, int64_t* from, int64_t* to)
{
    int64_t span = cut->frames;
    int64_t margin = ((int64_t)job->tracks[t].format.sample_rate * REPORT_MARGIN_MS + 999) / 1000;
    if (span / 4 > margin)
        margin = span / 4;
    *from = cut->from - margin > 0 ? cut->from - margin : 0;
    *to = cut->from + span + margin < job->tracks[t].length ? cut->from + span + margin : job->tracks[t].length;
}

// Frames [at, at + frames) of the previous take, the next take and the built output
// around edit point i of track t, into work->previous, work->next and work->built
// (with `full_scale_only`, as Mix_Built gives them).
void Read_Block(Work* work, int32_t t, int32_t i, int64_t at, int32_t frames, bool full_scale_only)
{
    const Job* job = work->job;
    int32_t frame_size = Track_Frame_Size(job, t);
    Read_Frames(File_Of(work, t, work->take_of[i - 1]), Take_Of(job, t, i - 1), frame_size, at, frames,
                work->previous);
    Read_Frames(File_Of(work, t, work->take_of[i]), Take_Of(job, t, i), frame_size, at, frames, work->next);
    if (work->read_back)
        Read_Frames(File_Of(work, t, OUTPUT_KEY), &work->output, frame_size, at, frames, work->built);
    else
        Mix_Built(work, t, i, at, frames, full_scale_only);
}

// The panel of edit point i (1 <= i <= edit_count - 2) of track t.
void Compute_Panel(Work* work, int32_t t, int32_t i, Panel* panel)
{
    const Job* job = work->job;
    *panel = Panel{};
    panel->cut = Cut_At(job, t, i);
    if (panel->cut.kind == CUT_NO_SEGMENT)
        return;
    Open_Track(work, t);
    int64_t window_from, window_to;
    Panel_Window(job, t, &panel->cut, &window_from, &window_to);
    panel->window_from = (int32_t)window_from;
    panel->window_to = (int32_t)window_to;
    int64_t span_to = (int64_t)panel->cut.from + panel->cut.frames;
    if (panel->cut.kind == CUT_CROSSFADE && Take_Of(job, t, i - 1)->frames < span_to)
        panel->runs_out |= 1;
    if (panel->cut.kind == CUT_CROSSFADE && Take_Of(job, t, i)->frames < span_to)
        panel->runs_out |= 2;

    int32_t block_frames = COPY_BYTES / Track_Frame_Size(job, t);
    Envelope* envelopes = work->envelopes;
    for (int32_t s = 0; s < STRIPS; s++)
        Envelope_Start(&envelopes[s], window_to - window_from);
    for (int64_t at = window_from; at < window_to; at += block_frames) {
        int32_t n = window_to - at < block_frames ? (int32_t)(window_to - at) : block_frames;
        Read_Block(work, t, i, at, n, false);
        const uint8_t* sources[STRIPS] = {work->previous, work->next, work->built};
        for (int32_t s = 0; s < STRIPS; s++)
            Envelope_Add(&envelopes[s], sources[s], at - window_from, n, job, t);
    }
    for (int32_t s = 0; s < STRIPS; s++)
        Envelope_Finish(&envelopes[s], &panel->strips[s]);
    for (int32_t c = 0; c < COLUMNS; c++)
        panel->full |= panel->strips[STRIPS - 1].full[c];
}

// Whether the built output reaches full scale in the panel of edit point i of track t,
// without drawing it.
bool Built_Reaches_Full_Scale(Work* work, int32_t t, int32_t i, const Shown_Cut* cut)
{
    const Job* job = work->job;
    if (cut->kind == CUT_NO_SEGMENT)
        return false;
    Open_Track(work, t);
    int64_t window_from, window_to;
    Panel_Window(job, t, cut, &window_from, &window_to);
    int32_t block_frames = COPY_BYTES / Track_Frame_Size(job, t);
    for (int64_t at = window_from; at < window_to; at += block_frames) {
        int32_t n = window_to - at < block_frames ? (int32_t)(window_to - at) : block_frames;
        if (work->read_back)
            Read_Frames(File_Of(work, t, OUTPUT_KEY), &work->output, Track_Frame_Size(job, t), at, n, work->built);
        else
            Read_Block(work, t, i, at, n, true);
        if (Any_Full_Scale(work->built, (int64_t)n * job->tracks[t].format.channels, job->tracks[t].format.bytes_per_sample, job->tracks[t].format.is_float))
            return true;
    }
    return false;
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
            if (slot >= 0) {
                Panel* panel = &store[(int64_t)slot * job->track_count + t];
                Compute_Panel(work, t, i, panel);
                if (tally) {
                    work->row_full[i] += panel->full;
                    work->row_failed[i] += Failed(panel->cut.kind) ? 1 : 0;
                }
            } else if (tally) {
                Shown_Cut cut = Cut_At(job, t, i);
                work->row_full[i] += Built_Reaches_Full_Scale(work, t, i, &cut) ? 1 : 0;
                work->row_failed[i] += Failed(cut.kind) ? 1 : 0;
            }
        }
    }
    Close_Files(work);
    work->track = -1;
}

// ---- text ----------------------------------------------------------------------------

// The report's text on its way to its partial file.
struct Text {
    char* buffer;          // TEXT_BUFFER bytes
    int64_t used;
    int64_t written;       // bytes already in the file
    Partial file;
    const char* report;    // the name the report gets
    const char* line;      // what puts a message at the start of a line
};

// After a build, standard output stands at the end of its last "edits: " row: a
// message begins two lines further down, as "Done" does.
const char* Line_Start(const Job* job)
{
    return job->options.dry_run || job->options.quiet ? "" : "\n\n";
}

// Ends the process: the report cannot be written. FAIL removes its partial file.
[[noreturn]] void Abandon(Text* text, int error)
{
    FAIL("%s>> Cannot write the report %s (%s), exiting\n", text->line, Show(text->report).text, strerror(error));
}

void Flush(Text* text)
{
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

void Make_Room(Text* text)
{
    if (TEXT_BUFFER - text->used < TEXT_RESERVE)
        Flush(text);
}

__attribute__((format(printf, 2, 3))) void Put(Text* text, const char* format, ...)
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

// Bytes of a well-formed UTF-8 character at `at` that XML admits, or 0.
int32_t Utf8_Length(const unsigned char* at)
{
    unsigned char c = at[0];
    int32_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    for (int32_t k = 1; k < length; k++)
        if ((at[k] & 0xC0) != 0x80)
            return 0;
    // No overlong forms, surrogates, code points past U+10FFFF, nor U+FFFE and U+FFFF.
    if ((c == 0xE0 && at[1] < 0xA0) || (c == 0xED && at[1] > 0x9F) || (c == 0xF0 && at[1] < 0x90) ||
        (c == 0xF4 && at[1] > 0x8F) || (c == 0xEF && at[1] == 0xBF && at[2] >= 0xBE))
        return 0;
    return length;
}

// Puts `name` as HTML and XML text: the five markup characters as entities, control
// characters and bytes that are no UTF-8 as \xNN.
void Put_Escaped(Text* text, const char* name)
{
    Make_Room(text);
    char* out = text->buffer + text->used;
    const unsigned char* at = (const unsigned char*)name;
    for (size_t n = 0; *at != '\0' && n < PATH_BUFFER; n++) {
        const char* entity = *at == '&' ? "&amp;" : *at == '<' ? "&lt;" : *at == '>' ? "&gt;"
                             : *at == '"' ? "&quot;" : *at == '\'' ? "&#39;" : nullptr;
        int32_t length = *at >= 0x80 ? Utf8_Length(at) : 1;
        if (entity != nullptr) {
            out += sprintf(out, "%s", entity);
        } else if (*at < 0x20 || *at == 0x7F || length == 0) {
            out += sprintf(out, "\\x%02X", (unsigned)*at);
            length = 1;
        } else {
            memcpy(out, at, (size_t)length);
            out += length;
        }
        at += length;
    }
    text->used = out - text->buffer;
}

// Writes `seconds` as h:mm:ss with `decimals` (0 to 3) decimals into `out` (32 bytes).
void Clock(double seconds, int32_t decimals, char* out)
{
    static const int64_t UNIT[] = {1, 10, 100, 1000};
    int64_t unit = UNIT[decimals];
    int64_t ticks = seconds > 0 && seconds < 1e9 ? llround(seconds * unit) : 0;
    int64_t whole = ticks / unit;
    int n = snprintf(out, 32, "%lld:%02lld:%02lld", (long long)(whole / 3600), (long long)(whole / 60 % 60),
                     (long long)(whole % 60));
    if (decimals > 0) {
        out[n++] = '.';
        for (int64_t digit = unit / 10; digit > 0; digit /= 10)
            out[n++] = (char)('0' + ticks % unit / digit % 10);
        out[n] = '\0';
    }
}

// The colour of take number k: ten that stay apart, then hues a golden angle apart.
void Take_Colour(int32_t k, char* out)
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

// What the cut at edit point i of track t is, in words, into `words`, and the class
// that colours them. A failed crossfade says why, in the plan's words.
constexpr int32_t WORDS_BUFFER = WHY_BUFFER + 32;
const char* Cut_Words(const Job* job, int32_t t, int32_t i, const Shown_Cut* cut, const char** css,
                      char words[WORDS_BUFFER])
{
    *css = Failed(cut->kind) ? "bad" : cut->kind == CUT_CROSSFADE || cut->kind == CUT_HARD ? "ok" : "off";
    if (Failed(cut->kind)) {
        char why[WHY_BUFFER];
        Fade_Failure_Words(job, t, i, why);
        snprintf(words, WORDS_BUFFER, "crossfade failed: %s", why);
        return words;
    }
    switch (cut->kind) {
    case CUT_CROSSFADE:
        return cut->frames < job->tracks[t].fade_frames ? "crossfade, cut short" : "crossfade";
    case CUT_HARD: return "hard cut: no crossfade set";
    case CUT_TOO_EARLY: return "no crossfade: too near the start";
    default: return "no segment starts here";
    }
}

// ---- the plan view -------------------------------------------------------------------

// The tick step of a time axis of `seconds`: the first of the usual steps that gives
// at most 12 ticks.
double Tick_Step(double seconds)
{
    static const double STEPS[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                                   18000, 36000, 86400};
    for (double step : STEPS)
        if (seconds / step <= 12)
            return step;
    return 86400 * ceil(seconds / 86400 / 12);
}

void Put_Format(Text* text, const Job* job, int32_t t)
{
    char length[32];
    Clock(job->tracks[t].format.sample_rate > 0 ? job->tracks[t].length / (double)job->tracks[t].format.sample_rate : 0, 3, length);
    int32_t channels = job->tracks[t].format.channels;
    Put(text, "%g kHz · %d-bit%s · ", job->tracks[t].format.sample_rate / 1000.0, job->tracks[t].format.bits_per_sample, job->tracks[t].format.is_float ? " float" : "");
    if (channels <= 2)
        Put(text, "%s · %s", channels == 1 ? "mono" : "stereo", length);
    else
        Put(text, "%d ch · %s", channels, length);
}

// The legend, flowing in lines across the plan: a key per take (in the order the edit
// points first name them), then what the marks mean. Puts it only when `draw` is set;
// returns its lines.
int32_t Legend(Text* text, const Work* work, bool draw)
{
    static const char* const MARKS[][2] = {{"lead", "lead-in silence"},
                                           {"tail", "tail pad: the take has ended"},
                                           {"xf", "crossfade"},
                                           {"xf bad", "failed crossfade"}};
    const Job* job = work->job;
    int32_t keys = job->edit_count > 1 ? job->edit_count - 1 : 0;  // the last edit point only marks the end
    int32_t line = 0, seen = 0;
    double x = 0;
    for (int32_t k = 0; k < keys + 4; k++) {
        if (k < keys && work->take_of[k] != seen)
            continue;  // named before: one key per take
        const char* words = k < keys ? Take_Suffix(job, k) : MARKS[k - keys][1];
        double width = 24 + 6.5 * (double)strlen(words);
        if (x > 0 && x + width > PLAN_WIDTH) {
            line++;
            x = 0;
        }
        int32_t y = 4 + 18 * line;
        if (draw && k < keys) {
            char colour[32];
            Take_Colour(seen, colour);
            Put(text, "<g class=\"take\"><rect x=\"%.1f\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>", x, y,
                colour);
        } else if (draw) {
            const char* css = MARKS[k - keys][0];
            Put(text, "<g class=\"key\"><rect class=\"%s\" x=\"%.1f\" y=\"%d\" width=\"12\" height=\"12\"%s/>", css, x,
                y, strcmp(css, "tail") == 0 ? " fill=\"url(#hatch)\"" : "");
        }
        if (draw) {
            Put(text, "<text x=\"%.1f\" y=\"%d\">", x + 16, y + 10);
            Put_Escaped(text, words);
            Put(text, "</text></g>\n");
        }
        seen += k < keys ? 1 : 0;
        x += width;
    }
    return line + 1;
}

void Put_Plan(Text* text, const Work* work)
{
    const Job* job = work->job;
    double seconds = 0;
    for (int32_t t = 0; t < job->track_count; t++)
        if (job->tracks[t].format.sample_rate > 0 && job->tracks[t].length / (double)job->tracks[t].format.sample_rate > seconds)
            seconds = job->tracks[t].length / (double)job->tracks[t].format.sample_rate;
    double step = Tick_Step(seconds);
    if (seconds < step)
        seconds = step;
    double scale = AXIS_WIDTH / seconds;  // pixels per second

    int32_t legend_lines = Legend(text, work, false);
    int32_t height = 18 * legend_lines + 28 + LANE_PITCH * job->track_count + 4;
    Put(text,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"plan\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
        "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
        "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\"/><path d=\"M1.5 0v6\" "
        "stroke=\"#777\" stroke-width=\"2\"/></pattern><clipPath id=\"names\"><rect y=\"%d\" width=\"%d\" "
        "height=\"%d\"/></clipPath></defs>\n<g class=\"legend\">\n",
        PLAN_WIDTH, height, PLAN_WIDTH, height, -BAR_TOP, LABEL_WIDTH - 8, LANE_PITCH);
    Legend(text, work, true);
    Put(text, "</g>\n");

    int32_t axis_top = 18 * legend_lines + 8;
    int32_t lanes_top = axis_top + 20;  // as `height` counts them
    int32_t lanes_bottom = lanes_top + LANE_PITCH * job->track_count;
    int32_t decimals = step < 1 ? 1 : 0;
    Put(text, "<g class=\"axis\">\n");
    for (int64_t k = 0; k * step <= seconds * (1 + 1e-9); k++) {
        char clock[32];
        Clock(k * step, decimals, clock);
        double at = LABEL_WIDTH + k * step * scale;
        Put(text, "<path d=\"M%.1f %dv%d\"/><text x=\"%.1f\" y=\"%d\">%s</text>\n", at, axis_top + 4,
            lanes_bottom - axis_top - 4, at, axis_top, clock);
    }
    Put(text, "</g>\n");

    for (int32_t t = 0; t < job->track_count; t++) {
        double rate = job->tracks[t].format.sample_rate > 0 ? job->tracks[t].format.sample_rate : 1;
        double per_frame = scale / rate;
        char from[32], to[32];
        // A lane's origin is the top of its bar: most of its elements need no y.
        Put(text, "<g class=\"lane\" transform=\"translate(0,%d)\">\n<g clip-path=\"url(#names)\"><text class=\"on\" "
            "x=\"0\" y=\"%d\">", lanes_top + LANE_PITCH * t + BAR_TOP, 12 - BAR_TOP);
        Put_Escaped(text, Out_Name(job, t));
        Put(text, "</text><text class=\"fm\" x=\"0\" y=\"%d\">", 25 - BAR_TOP);
        Put_Format(text, job, t);
        Put(text, "</text></g>\n");
        int32_t lead_in = job->tracks[t].lead_in < job->tracks[t].length ? job->tracks[t].lead_in : job->tracks[t].length;
        if (lead_in > 0) {
            Clock(lead_in / rate, 3, to);
            Put(text, "<rect class=\"lead\" x=\"%d\" width=\"%.1f\" height=\"%d\"><title>lead-in silence to %s, "
                "%d frames</title></rect>\n", LABEL_WIDTH, lead_in * per_frame, BAR_HEIGHT, to, lead_in);
        }
        for (int32_t i = 0; i + 1 < job->edit_count; i++) {
            const Cut* plan = Cut_Of(job, t, i);
            int32_t start = plan->start, count = plan->frames;
            if (count < 1)
                continue;
            char colour[32];
            Take_Colour(work->take_of[i], colour);
            Clock(start / rate, 3, from);
            Clock(((int64_t)start + count) / rate, 3, to);
            Put(text, "<rect class=\"seg\" x=\"%.1f\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>",
                LABEL_WIDTH + start * per_frame, count * per_frame, BAR_HEIGHT, colour);
            Put_Escaped(text, Take_Suffix(job, i));
            Put(text, ": %s to %s, frame %d on, %d frames</title></rect>\n", from, to, start, count);
            if (plan->held < plan->frames) {
                int32_t tail = start + plan->held, pad = plan->frames - plan->held;
                Clock(tail / rate, 3, from);
                Put(text, "<rect class=\"tail\" x=\"%.1f\" width=\"%.1f\" height=\"%d\" fill=\"url(#hatch)\">"
                    "<title>tail pad: the take ends at %s; %d frames of silence</title></rect>\n",
                    LABEL_WIDTH + tail * per_frame, pad * per_frame, BAR_HEIGHT, from, pad);
            }
        }
        for (int32_t i = 1; i + 1 < job->edit_count; i++) {
            Shown_Cut cut = Cut_At(job, t, i);
            if (cut.kind == CUT_NO_SEGMENT)
                continue;
            const char* css;
            char buffer[WORDS_BUFFER];
            const char* words = Cut_Words(job, t, i, &cut, &css, buffer);
            double at = LABEL_WIDTH + Cut_Of(job, t, i)->start * per_frame;
            Put(text, "<g class=\"cut\">");
            int32_t fade = job->tracks[t].fade_frames;
            if (cut.kind == CUT_CROSSFADE && cut.frames > 0)
                Put(text, "<rect class=\"xf\" x=\"%.1f\" y=\"-2\" width=\"%.1f\" height=\"%d\"/>",
                    LABEL_WIDTH + cut.from * per_frame, cut.frames * per_frame, BAR_HEIGHT + 4);
            else if (Failed(cut.kind) && fade > 0)
                Put(text, "<rect class=\"xf bad\" x=\"%.1f\" y=\"-2\" width=\"%.1f\" height=\"%d\"/>",
                    at - fade / 2 * per_frame, fade * per_frame, BAR_HEIGHT + 4);
            Put(text, "<path d=\"M%.1f -2v%d\"/><title>Edit %d: ", at, BAR_HEIGHT + 4, i + 1);
            if (cut.kind == CUT_CROSSFADE)
                Put(text, "%.1f ms %s ", cut.frames * 1000 / rate, Curve_Name(job->tracks[t].fade_type));
            Put(text, "%s</title></g>\n", words);
        }
        Put(text, "</g>\n");
    }
    Put(text, "</svg>\n");
}

// ---- the edit view -------------------------------------------------------------------

// One waveform: the runs of columns that hold a sample at full scale as red bands
// behind it, then a vertical stroke per column from its highest to its lowest sample,
// each drawn on from where the one before it ended, and its label: `name`, and `note`
// when there is one.
void Put_Strip(Text* text, const Strip* strip, int32_t s, const char* css, const char* stroke, const char* name,
               const char* note)
{
    static_assert(STRIP_HEIGHT < 100, "the figures of a waveform are written as at most two digits");
    Put(text, "<g class=\"strip %s\" transform=\"translate(0,%d)\">", css, STRIPS_TOP + STRIP_PITCH * s);
    bool any = false;
    for (int32_t c = 0; c < COLUMNS; c++) {
        if (!strip->full[c] || (c > 0 && strip->full[c - 1]))
            continue;
        int32_t run = 1;
        while (c + run < COLUMNS && strip->full[c + run])
            run++;
        Put(text, any ? "M%d 0h%dv%dh-%dz" : "<path class=\"fs\" d=\"M%d 0h%dv%dh-%dz", c, run, STRIP_HEIGHT, run);
        any = true;
    }
    if (any)
        Put(text, "\"/>");
    Put(text, "<path class=\"w\" stroke=\"%s\" d=\"M0.5 %dv%d", stroke, strip->top[0], strip->bottom[0] - strip->top[0]);
    Make_Room(text);
    char* out = text->buffer + text->used;
    for (int32_t c = 1; c < COLUMNS; c++) {
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
    Put(text, "\"/><text class=\"sl\" x=\"3\" y=\"8\">");
    Put_Escaped(text, name);
    Put(text, "%s</text></g>\n", note);
}

// A panel: the track's name and its cut in words, the crossfade's span shaded, the
// three waveforms, the edit's frame dashed, and the times the window spans.
void Put_Panel(Text* text, const Work* work, int32_t t, int32_t i, const Panel* panel)
{
    const Job* job = work->job;
    double rate = job->tracks[t].format.sample_rate > 0 ? job->tracks[t].format.sample_rate : 1;
    const char* css;
    char buffer[WORDS_BUFFER];
    const char* words = Cut_Words(job, t, i, &panel->cut, &css, buffer);
    Put(text, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"panel\" width=\"%d\" height=\"%d\"><text class=\"tn\" "
        "x=\"3\" y=\"11\">", COLUMNS, PANEL_HEIGHT);
    Put_Escaped(text, Base_Name(job, t));
    Put(text, "</text><text class=\"%s\" x=\"3\" y=\"24\">", css);
    if (panel->cut.kind == CUT_CROSSFADE)
        Put(text, "%.1f ms %s ", panel->cut.frames * 1000 / rate, Curve_Name(job->tracks[t].fade_type));
    Put(text, "%s</text>\n", words);
    if (panel->cut.kind == CUT_NO_SEGMENT) {
        Put(text, "</svg>\n");
        return;
    }
    double per_frame = COLUMNS / (double)(panel->window_to - panel->window_from);
    if (panel->cut.kind == CUT_CROSSFADE && panel->cut.frames > 0)
        Put(text, "<rect class=\"xs\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"/>",
            (panel->cut.from - panel->window_from) * per_frame, STRIPS_TOP - 2, panel->cut.frames * per_frame,
            STRIPS * STRIP_PITCH);
    char previous[32], next[32];
    Take_Colour(work->take_of[i - 1], previous);
    Take_Colour(work->take_of[i], next);
    const char* ends = ": its audio ends in the crossfade";
    Put_Strip(text, &panel->strips[0], 0, "prev", previous, Take_Suffix(job, i - 1), panel->runs_out & 1 ? ends : "");
    Put_Strip(text, &panel->strips[1], 1, "next", next, Take_Suffix(job, i), panel->runs_out & 2 ? ends : "");
    Put_Strip(text, &panel->strips[2], 2, "built", "#333", "built", "");
    char from[32], to[32];
    Clock(panel->window_from / rate, 3, from);
    Clock(panel->window_to / rate, 3, to);
    Put(text, "<path class=\"ep\" d=\"M%.1f %dv%d\"/><text class=\"tm\" x=\"3\" y=\"%d\">%s</text><text class=\"tm\" "
        "x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text></svg>\n",
        (Cut_Of(job, t, i)->start - panel->window_from) * per_frame, STRIPS_TOP - 2, STRIPS * STRIP_PITCH, PANEL_HEIGHT - 2,
        from, COLUMNS - 3, PANEL_HEIGHT - 2, to);
}

void Put_Warning_Counts(Text* text, const Work* work, int32_t i)
{
    int32_t full = work->row_full[i], failed = work->row_failed[i];
    if (full > 0)
        Put(text, "output at full scale on %d track%s", full, full == 1 ? "" : "s");
    if (full > 0 && failed > 0)
        Put(text, "; ");
    if (failed > 0)
        Put(text, "crossfade failed on %d track%s", failed, failed == 1 ? "" : "s");
}

void Put_Edits(Text* text, const Work* work, const Panel* store)
{
    const Job* job = work->job;
    int32_t rows = job->edit_count > 2 ? job->edit_count - 2 : 0;
    if (rows == 0 || job->track_count == 0) {
        Put(text, "<p>No edit points lie between the first and the last: there is nothing to cut.</p>\n");
        return;
    }
    int32_t shown = 0, warned = 0;
    for (int32_t i = 1; i <= rows; i++) {
        shown += work->slot_of[i] >= 0 ? 1 : 0;
        warned += work->row_full[i] + work->row_failed[i] > 0 ? 1 : 0;
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
            if (work->row_full[i] + work->row_failed[i] == 0)
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
    int32_t cut_short = 0;
    for (int32_t i = 1; i <= rows; i++) {
        if (work->slot_of[i] < 0)
            continue;
        // Room for a whole row at the most a panel can take, and for the closing lines.
        if (cut_short > 0 || Text_Bytes(text) + job->track_count * PANEL_BYTES_MAX + 4096 > REPORT_BYTES_LIMIT) {
            cut_short++;
            continue;
        }
        char at[32];
        Clock(Time_Milliseconds(&job->edit_times[i]) / 1000.0, 3, at);
        Put(text, "<section class=\"edit\" id=\"edit%d\"><h3>Edit %d at %s: ", i + 1, i + 1, at);
        Put_Escaped(text, Take_Suffix(job, i - 1));
        Put(text, " → ");
        Put_Escaped(text, Take_Suffix(job, i));
        if (work->row_full[i] + work->row_failed[i] > 0) {
            Put(text, " <span class=\"warn\">(");
            Put_Warning_Counts(text, work, i);
            Put(text, ")</span>");
        }
        Put(text, "</h3>\n<div class=\"panels\">\n");
        for (int32_t t = 0; t < job->track_count; t++)
            Put_Panel(text, work, t, i, &store[(int64_t)work->slot_of[i] * job->track_count + t]);
        Put(text, "</div></section>\n");
    }
    if (cut_short > 0)
        Put(text, "<p class=\"warn\">%d further edit%s left out to keep the report under %lld MB.</p>\n", cut_short,
            cut_short == 1 ? " is" : "s are", (long long)(REPORT_BYTES_LIMIT / 1000000));
}

const char STYLE[] =
    "body{font:13px/1.4 system-ui,sans-serif;margin:16px;color:#222;background:#fff}"
    "h1{font-size:18px;margin:0 0 4px}h2{font-size:15px;margin:20px 0 6px}h3{font-size:13px;margin:14px 0 4px}"
    "svg text{font:11px system-ui,sans-serif;fill:#333}"
    ".plan .axis path{stroke:#e4e4e4}.plan .axis text{text-anchor:middle;fill:#666}"
    ".plan .on{font-weight:600}.plan .fm{fill:#666;font-size:10px}"
    ".seg{stroke:#fff;stroke-width:.5}.lead{fill:#d8d8d8}.tail{stroke:#777;stroke-width:.5}"
    ".xf{fill:#000;fill-opacity:.3}.xf.bad{fill:#d00;fill-opacity:.6}.cut path{stroke:#000}"
    ".panels{display:flex;flex-wrap:wrap;gap:6px}.panel{border:1px solid #ccc;background:#fff}"
    ".xs{fill:#fc6;fill-opacity:.45}.w{fill:none;stroke-width:1}.fs{fill:#f00;fill-opacity:.35}"
    ".ep{stroke:#000;stroke-dasharray:2 2}.tm{font-size:9px;fill:#777}"
    ".sl{font-size:9px;fill:#444;paint-order:stroke;stroke:#fff;stroke-width:3px}"
    ".tn{font-weight:600}.ok,.off,.bad{font-size:10px}.ok{fill:#333}.off{fill:#b60}.bad{fill:#c00;font-weight:600}.warn{color:#c00}";

// The most one lane of the plan view can take: its name and format, the lead-in, and
// per edit point a segment, a tail pad and an edit mark with their words.
constexpr int64_t LANE_BYTES_MAX = 2000 + 6 * NAME_SLOT;
constexpr int64_t EDIT_IN_LANE_BYTES_MAX = 1400 + 6 * NAME_SLOT;

}  // namespace

void Write_Report(const Job* job)
{
    const char* report = job->options.report;
    if (report == nullptr)
        return;

    Work* work = (Work*)Block_Alloc((int64_t)sizeof(Work));
    work->job = job;
    work->read_back = !job->options.dry_run;
    work->track = -1;
    Number_Takes(work);
    work->previous = Block_Alloc(COPY_BYTES);
    work->next = Block_Alloc(COPY_BYTES);
    work->built = Block_Alloc(COPY_BYTES);
    work->scratch_a = Block_Alloc(COPY_BYTES);
    work->scratch_b = Block_Alloc(COPY_BYTES);
    // MIX_BLOCK needs two samples of 4 bytes for each sample of a block; samples are 2
    // bytes or more, and a block is at most COPY_BYTES.
    work->samples = (int32_t*)Block_Alloc(4 * (int64_t)COPY_BYTES);
    work->g_previous = (double*)Block_Alloc((GAIN_CACHE_FRAMES + BLOCK_FRAMES) * (int64_t)sizeof(double));
    work->g_next = (double*)Block_Alloc((GAIN_CACHE_FRAMES + BLOCK_FRAMES) * (int64_t)sizeof(double));

    // Every panel is computed once when all fit; otherwise once to find the edits with
    // warnings, and the edits shown once more.
    int32_t tracks = job->track_count;
    int32_t rows = job->edit_count > 2 ? job->edit_count - 2 : 0;
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
                if ((work->row_full[i] + work->row_failed[i] > 0) == (warned == 1))
                    work->slot_of[i] = slot++;
        Compute_Panels(work, store, false);
    }

    Text text{};
    text.buffer = (char*)Block_Alloc(TEXT_BUFFER);
    text.line = Line_Start(job);
    text.report = report;
    Partial_Begin(job->folders[job->report.folder].fd, job->report.name, report, &text.file);
    Put(&text, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tavlin report: %d track%s, "
        "%d edit points</title>\n<style>%s</style></head>\n<body>\n<h1>Tavlin report</h1>\n", tracks,
        tracks == 1 ? "" : "s", job->edit_count, STYLE);
    if (work->read_back)
        Put(&text, "<p class=\"run\">Built: the waveforms marked \"built\" are read back from the outputs.</p>\n");
    else
        Put(&text, "<p class=\"run\">Dry run: nothing was built; the waveforms marked \"built\" are mixed in memory "
            "as a real run would write them.</p>\n");
    Put(&text, "<h2>Plan</h2>\n<p>One lane per output. Hover over a segment for its take, times and frames, or "
        "over an edit mark for its crossfade.</p>\n");
    Put_Plan(&text, work);
    Put(&text, "<h2>Edits</h2>\n");
    Put_Edits(&text, work, store);
    Put(&text, "</body></html>\n");
    Flush(&text);
    Partial_Publish(&text.file);

    free(text.buffer);
    free(store);
    free(work->g_next);
    free(work->g_previous);
    free(work->samples);
    free(work->scratch_b);
    free(work->scratch_a);
    free(work->built);
    free(work->next);
    free(work->previous);
    free(work);
    if (!job->options.quiet)
        printf("\n\nReport written to %s", Show(report).text);
}

int64_t Report_Bytes_At_Most(const Job* job)
{
    // The head and style, the legend and the axis, every lane, and the edit view: the
    // panels shown, each row's heading and warning, up to REPORT_BYTES_LIMIT, past which
    // rows are left out.
    int64_t tracks = job->track_count, rows = job->edit_count > 2 ? job->edit_count - 2 : 0;
    int64_t plan = 16384 + (int64_t)job->take_count * (400 + 6 * NAME_SLOT) +
                   tracks * (LANE_BYTES_MAX + (int64_t)job->edit_count * EDIT_IN_LANE_BYTES_MAX);
    int64_t panels = rows * tracks <= REPORT_PANEL_LIMIT ? rows * tracks
                     : tracks > 0                        ? REPORT_PANEL_LIMIT / tracks * tracks
                                                         : 0;
    int64_t edits = panels * PANEL_BYTES_MAX + rows * (600 + 12 * NAME_SLOT);
    return plan + (edits < REPORT_BYTES_LIMIT ? edits : REPORT_BYTES_LIMIT);
}
