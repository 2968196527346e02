// The waveforms of the report's panels: frames around a cut read through the WAV layer
// (or, in a dry run, the built output mixed with the crossfade engine's own gains and
// mixer), folded into min/max columns.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "bytes.h"
#include "fail.h"
#include "report/report.h"
#include "text.h"
#include "wav/wav.h"

namespace {

constexpr Extremes NO_SAMPLES = {2.0, -2.0, false};

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
        int32_t value = Assem_Signed(at + s * bytes, bytes);
        int32_t value_2 = Assem_Signed(at + (s + 1) * bytes, bytes);
        low = value < low ? value : low;
        high = value > high ? value : high;
        low_2 = value_2 < low_2 ? value_2 : low_2;
        high_2 = value_2 > high_2 ? value_2 : high_2;
    }
    if (s < samples) {
        int32_t value = Assem_Signed(at + s * bytes, bytes);
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
        double value = Assem_Float(at + s * bytes, bytes);
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

// Whether all of `samples` samples at `at` stay below 0.65 of full scale in magnitude:
// for integers, whether every top byte lies in [-83, 82] (a magnitude below 83 / 128).
bool All_Quiet(const uint8_t* at, int64_t samples, int32_t bytes, int32_t is_float)
{
    if (is_float) {
        for (int64_t s = 0; s < samples; s++) {
            double value = Assem_Float(at + s * bytes, bytes);
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

// ---- reading -------------------------------------------------------------------------

const Wav_Format* Format_Of(const Panel_Reader* reader, int32_t t)
{
    return &reader->job->tracks[t].format;
}

// Makes track t the one whose files are open and whose crossfade work is started;
// after a build, finds where its output holds its audio.
void Open_Track(Panel_Reader* reader, int32_t t)
{
    if (reader->track == t)
        return;
    const Job* job = reader->job;
    if (reader->track >= 0) {
        Close_Files(&reader->files);
        Fade_Work_End(&reader->fade);
    }
    reader->track = t;
    const Track* track = &job->tracks[t];
    Fade_Work_Start(&reader->fade, track->format.bytes_per_sample, track->format.channels, track->fade_type,
                    track->fade_frames);
    if (reader->read_back) {
        // The output read back must be the one this run published: a name changed since
        // (the file replaced, a folder on its path swapped) would show another file.
        const char* name = Out_Name(job, t);
        GET_ATTRIBUTES(0, name, &reader->output);
        if (!Same_Identity(&reader->output.identity, &job->outputs[t].built))
            FAIL(">> Output %s is no longer the file this run built: it was replaced or changed after the build; "
                 "the report is not written, exiting\n", Show(name).text);
    }
}

// Reads frames [frame, frame + frames) of the take of edit point k of track t into
// `buffer`; what lies past its audio is silence, as the build reads it. The take is
// opened (or found open) for this read alone: a later open may close it.
void Read_Take(Panel_Reader* reader, int32_t t, int32_t k, int64_t frame, int32_t frames, uint8_t* buffer)
{
    const Take_Info* info = Take_Of(reader->job, t, k);
    char name[TAKE_NAME_BUFFER];
    Take_Name(reader->job, t, k, name);
    Wav_File take{*Open_File(&reader->files, name, &info->identity), info->data_offset, info->data_end,
                  info->file_bytes};
    int64_t frame_size = Frame_Size(Format_Of(reader, t));
    Read_Audio(&take, take.data_offset + frame * frame_size, buffer, (int64_t)frames * frame_size);
}

// Likewise frames of track t's built output (after a build).
void Read_Output(Panel_Reader* reader, int32_t t, int64_t frame, int32_t frames, uint8_t* buffer)
{
    const Take_Info* info = &reader->output;
    Wav_File output{*Open_File(&reader->files, Out_Name(reader->job, t), &info->identity), info->data_offset,
                    info->data_end, info->file_bytes};
    int64_t frame_size = Frame_Size(Format_Of(reader, t));
    Read_Audio(&output, output.data_offset + frame * frame_size, buffer, (int64_t)frames * frame_size);
}

// Frames [frame, frame + frames) of the take of edit point k of track t, while the
// panel of edit point i is read from frame `block_at` on: the take that plays before i
// or the take of i is in the crossfade work's previous or next buffer already; any other
// is read into `scratch`.
const uint8_t* Take_Frames(Panel_Reader* reader, int32_t t, int32_t i, int32_t k, int64_t frame, int32_t frames,
                           int64_t block_at, uint8_t* scratch)
{
    const Job* job = reader->job;
    int64_t at = (frame - block_at) * Frame_Size(Format_Of(reader, t));
    if (job->take_of[k] == job->take_of[Cut_Of(job, t, i)->previous])
        return reader->fade.previous + at;
    if (job->take_of[k] == job->take_of[i])
        return reader->fade.next + at;
    Read_Take(reader, t, k, frame, frames, scratch);
    return scratch;
}

// Frames [block_at, block_at + frames) of track t's output as the build writes them,
// into the crossfade work's mixed buffer: per edit point in order, its segment copied
// from its take, its tail pad, and the crossfade the plan mixes over it, each over what
// came before. Frames no step writes are silence. The work's previous and next buffers
// hold the same frames of the take that plays before edit point i and of i's. With `full_scale_only`
// the frames need only reach full scale where the build's do: a crossfade none of whose
// mixes can is left silent.
void Mix_Built(Panel_Reader* reader, int32_t t, int32_t i, int64_t block_at, int32_t frames, bool full_scale_only)
{
    const Job* job = reader->job;
    const Wav_Format* format = Format_Of(reader, t);
    int32_t frame_size = Frame_Size(format);
    uint8_t* built = reader->fade.mixed;
    int64_t block_end = block_at + frames;
    memset(built, 0, (size_t)frames * frame_size);
    for (int32_t k = 0; k + 1 < job->edit_count; k++) {
        const Cut* cut = Cut_Of(job, t, k);
        int64_t start = cut->start, end = (int64_t)cut->start + cut->frames;
        int64_t from = start > block_at ? start : block_at;
        int64_t to = end < block_end ? end : block_end;
        if (from < to) {
            const uint8_t* take = Take_Frames(reader, t, i, k, from, (int32_t)(to - from), block_at, reader->scratch[0]);
            memcpy(built + (from - block_at) * frame_size, take, (size_t)(to - from) * frame_size);
        }
        int64_t tail = start + cut->held;
        from = tail > block_at ? tail : block_at;
        if (from < to)
            memset(built + (from - block_at) * frame_size, 0, (size_t)(to - from) * frame_size);
        if (k == 0 || cut->fade != FADE_MIXED)
            continue;
        int64_t fade_end = (int64_t)cut->fade_from + cut->fade_frames;
        from = cut->fade_from > block_at ? cut->fade_from : block_at;
        to = fade_end < block_end ? fade_end : block_end;
        if (from >= to)
            continue;
        int32_t n = (int32_t)(to - from);
        const uint8_t* previous = Take_Frames(reader, t, i, cut->previous, from, n, block_at, reader->scratch[0]);
        const uint8_t* next = Take_Frames(reader, t, i, k, from, n, block_at, reader->scratch[1]);
        int64_t samples = (int64_t)n * format->channels;
        // The gains of a frame add up to at most the square root of 2, so a mix of takes
        // that stay below 0.65 of full scale stays below 0.92: no integer saturates and
        // no float rounds to 1.
        if (full_scale_only && All_Quiet(previous, samples, format->bytes_per_sample, format->is_float) &&
            All_Quiet(next, samples, format->bytes_per_sample, format->is_float)) {
            memset(built + (from - block_at) * frame_size, 0, (size_t)n * frame_size);
            continue;
        }
        FADE_MIX(&reader->fade, (int32_t)(from - cut->fade_from), n, previous, next,
                 built + (from - block_at) * frame_size, format);
    }
}

// Frames [at, at + frames) of the previous take, the next take and the built output
// around edit point i of track t, into the crossfade work's previous, next and mixed
// buffers (with `full_scale_only`, as Mix_Built gives them).
void Read_Block(Panel_Reader* reader, int32_t t, int32_t i, int64_t at, int32_t frames, bool full_scale_only)
{
    Read_Take(reader, t, Cut_Of(reader->job, t, i)->previous, at, frames, reader->fade.previous);
    Read_Take(reader, t, i, at, frames, reader->fade.next);
    if (reader->read_back)
        Read_Output(reader, t, at, frames, reader->fade.mixed);
    else
        Mix_Built(reader, t, i, at, frames, full_scale_only);
}

}  // namespace

void Reader_Start(Panel_Reader* reader, const Job* job, bool read_back)
{
    *reader = Panel_Reader{};
    reader->job = job;
    reader->read_back = read_back;
    reader->track = -1;
    reader->scratch[0] = Block_Alloc(COPY_BYTES);
    reader->scratch[1] = Block_Alloc(COPY_BYTES);
}

void Reader_End(Panel_Reader* reader)
{
    if (reader->track >= 0) {
        Close_Files(&reader->files);
        Fade_Work_End(&reader->fade);
    }
    free(reader->scratch[0]);
    free(reader->scratch[1]);
    *reader = Panel_Reader{};
    reader->track = -1;
}

// Starts an envelope of a window of `frames` frames.
static void Envelope_Start(Envelope* envelope, int64_t frames)
{
    for (Extremes& column : envelope->columns)
        column = NO_SAMPLES;  // every column receives a frame
    envelope->frames = frames;
    envelope->column = 0;
}

// Adds frames [first, first + frames) of the window (counted from its start), held at
// `at` in `format`; blocks come in frame order, and every channel folds into the one envelope.
static void Envelope_Add(Envelope* envelope, const uint8_t* at, int64_t first, int32_t frames, const Wav_Format* format)
{
    int64_t n = envelope->frames;
    int64_t end = first + frames;
    int32_t frame_size = Frame_Size(format);
    int32_t c = envelope->column;
    for (; c < REPORT_COLUMNS; c++) {
        int64_t low = c * n / REPORT_COLUMNS;
        int64_t high = (c + 1) * n / REPORT_COLUMNS > low ? (c + 1) * n / REPORT_COLUMNS : low + 1;
        if (low >= end)
            break;
        int64_t from = low > first ? low : first;
        int64_t to = high < end ? high : end;
        if (from < to)
            Scan_Samples(at + (from - first) * frame_size, (to - from) * format->channels, format->bytes_per_sample,
                         format->is_float, &envelope->columns[c]);
        if (high > end)
            break;  // the column goes on in the next block
    }
    envelope->column = c;
}

// The envelope's rows per column, into `strip`.
static void Envelope_Finish(const Envelope* envelope, Strip* strip)
{
    for (int32_t c = 0; c < REPORT_COLUMNS; c++) {
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

// Whether any of `samples` samples of `bytes` bytes at `at` lies at full scale: an
// integer at its width's lowest or highest value, a float of magnitude 1 or more (or no number).
static bool Any_Full_Scale(const uint8_t* at, int64_t samples, int32_t bytes, int32_t is_float)
{
    if (is_float) {
        Extremes extremes = NO_SAMPLES;
        Scan_Samples(at, samples, bytes, is_float, &extremes);
        return extremes.full;
    }
    // An integer's extremes are the only values whose top byte is 0x7F or 0x80: those
    // bytes are looked at first.
    int32_t top = (int32_t)(((int64_t)1 << (8 * bytes - 1)) - 1);
    for (int64_t s = 0; s < samples; s++) {
        if ((uint8_t)(at[s * bytes + bytes - 1] - 0x7F) > 1)
            continue;
        int32_t value = Assem_Signed(at + s * bytes, bytes);
        if (value == top || value == -top - 1)
            return true;
    }
    return false;
}

// The output frames a panel of edit point i of track t shows: the crossfade the plan
// mixes there (or the edit's frame) and REPORT_MARGIN_MS or a quarter of the crossfade,
// whichever is longer, on each side, within the track.
static void Panel_Window(const Job* job, int32_t t, int32_t i, int64_t* from, int64_t* to)
{
    const Cut* cut = Cut_Of(job, t, i);
    int64_t first = cut->fade == FADE_MIXED ? cut->fade_from : cut->start;
    int64_t span = cut->fade == FADE_MIXED ? cut->fade_frames : 0;
    int64_t margin = ((int64_t)job->tracks[t].format.sample_rate * REPORT_MARGIN_MS + 999) / 1000;
    if (span / 4 > margin)
        margin = span / 4;
    int64_t length = job->tracks[t].length;
    *from = first - margin > 0 ? first - margin : 0;
    *to = first + span + margin < length ? first + span + margin : length;
}

void Compute_Panel(Panel_Reader* reader, int32_t t, int32_t i, Panel* panel)
{
    const Job* job = reader->job;
    const Cut* cut = Cut_Of(job, t, i);
    *panel = Panel{};
    if (cut->fade == FADE_NO_SEGMENT) {
        panel->empty = 1;
        return;
    }
    Open_Track(reader, t);
    int64_t window_from, window_to;
    Panel_Window(job, t, i, &window_from, &window_to);
    panel->window_from = (int32_t)window_from;
    panel->window_to = (int32_t)window_to;
    int64_t fade_end = (int64_t)cut->fade_from + cut->fade_frames;
    if (cut->fade == FADE_MIXED && Take_Of(job, t, cut->previous)->frames < fade_end)
        panel->runs_out |= 1;
    if (cut->fade == FADE_MIXED && Take_Of(job, t, i)->frames < fade_end)
        panel->runs_out |= 2;

    const Wav_Format* format = Format_Of(reader, t);
    int32_t block_frames = reader->fade.chunk_frames;
    Envelope* envelopes = reader->envelopes;
    for (int32_t s = 0; s < REPORT_STRIPS; s++)
        Envelope_Start(&envelopes[s], window_to - window_from);
    for (int64_t at = window_from; at < window_to; at += block_frames) {
        int32_t n = window_to - at < block_frames ? (int32_t)(window_to - at) : block_frames;
        Read_Block(reader, t, i, at, n, false);
        const uint8_t* sources[REPORT_STRIPS] = {reader->fade.previous, reader->fade.next, reader->fade.mixed};
        for (int32_t s = 0; s < REPORT_STRIPS; s++)
            Envelope_Add(&envelopes[s], sources[s], at - window_from, n, format);
    }
    for (int32_t s = 0; s < REPORT_STRIPS; s++)
        Envelope_Finish(&envelopes[s], &panel->strips[s]);
    for (int32_t c = 0; c < REPORT_COLUMNS; c++)
        panel->full |= panel->strips[REPORT_STRIPS - 1].full[c];
}

bool Built_Reaches_Full_Scale(Panel_Reader* reader, int32_t t, int32_t i)
{
    const Job* job = reader->job;
    if (Cut_Of(job, t, i)->fade == FADE_NO_SEGMENT)
        return false;
    Open_Track(reader, t);
    const Wav_Format* format = Format_Of(reader, t);
    int64_t window_from, window_to;
    Panel_Window(job, t, i, &window_from, &window_to);
    int32_t block_frames = reader->fade.chunk_frames;
    for (int64_t at = window_from; at < window_to; at += block_frames) {
        int32_t n = window_to - at < block_frames ? (int32_t)(window_to - at) : block_frames;
        if (reader->read_back)
            Read_Output(reader, t, at, n, reader->fade.mixed);
        else
            Read_Block(reader, t, i, at, n, true);
        if (Any_Full_Scale(reader->fade.mixed, (int64_t)n * format->channels, format->bytes_per_sample,
                           format->is_float))
            return true;
    }
    return false;
}
