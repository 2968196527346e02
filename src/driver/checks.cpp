// The edit checks: what a careful editor listens for at every edit, on every track at
// once, from the frames around each edit point that the plan already knows. A flag
// never refuses a job and never changes an output byte; it is said.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "driver/driver.h"
#include "text.h"
#include "wav/wav.h"

namespace {

// Decibels of a fraction of full scale; -inf for silence.
double Decibels(double fraction)
{
    return fraction > 0 ? 20.0 * std::log10(fraction) : -INFINITY;
}

// What the checks of one track work with. Nothing here ends the process: the checks may
// run beside the build, which alone may stop it; a take they cannot read is not checked,
// and the build refuses it when it comes to it.
struct Check_Work {
    Job* job;
    int32_t t;
    Open_Files* open;
    uint8_t* block;  // COPY_BYTES of frames
};

// The take of edit point i of the track, open; nullptr when it cannot be read.
const Stream* Take_Stream(Check_Work* w, int32_t i)
{
    char name[TAKE_NAME_BUFFER];
    if (snprintf(name, sizeof name, "%s%s.wav", Base_Name(w->job, w->t), Take_Suffix(w->job, i)) >= (int)sizeof name)
        return nullptr;
    return Open_File_Quietly(w->open, name, &Take_Of(w->job, w->t, i)->identity);
}

// Frames [frame, frame + frames) of edit point i's take into `buffer`: silence past the
// end of its audio. False when the take cannot be read.
bool Read_Take_Quietly(Check_Work* w, int32_t i, int64_t frame, int64_t frames, uint8_t* buffer)
{
    const Take_Info* info = Take_Of(w->job, w->t, i);
    int64_t fs = Frame_Size(&info->format), from = info->data_offset + frame * fs, bytes = frames * fs;
    Wav_File layout{Stream{-1, nullptr}, info->data_offset, info->data_end, info->file_bytes};
    int64_t audio = Audio_Within(&layout, from, bytes);
    const Stream* stream = audio > 0 ? Take_Stream(w, i) : nullptr;
    int64_t got = stream != nullptr ? Stream_Read_Quietly(stream, from, buffer, audio) : 0;
    if (got < 0 || (audio > 0 && stream == nullptr))
        return false;
    memset(buffer + got, 0, (size_t)(bytes - got));
    return true;
}

// Output frame `frame` of the track, as the build writes it (every step over the ones
// before it): the last crossfade mixed over it, else its segment's take, else silence.
// Its samples go to `out`, as fractions of full scale. False when a take cannot be read.
bool Output_Frame(Check_Work* w, int64_t frame, double* out)
{
    const Job* job = w->job;
    const Track* track = &job->tracks[w->t];
    const Wav_Format* f = &track->format;
    int32_t n = job->edit_count, fs = Frame_Size(f);
    // The segment that holds the frame: segments run from one edit point's frame to the
    // next, so it is the last one that starts at or before it.
    int32_t k = -1;
    for (int32_t lo = 0, hi = n - 1; lo <= hi;) {
        int32_t mid = (lo + hi) / 2;
        if (Cut_Of(job, w->t, mid)->start <= frame)
            k = mid, lo = mid + 1;
        else
            hi = mid - 1;
    }
    // A crossfade is written after the segments of its edit point and of those before:
    // the latest that covers the frame wins. Only one near the segment can.
    int32_t mixed = -1, half = track->fade_frames / 2;
    for (int32_t j = k < 1 ? 1 : k; j < n && Cut_Of(job, w->t, j)->start - half <= frame; j++) {
        const Cut* c = Cut_Of(job, w->t, j);
        if (c->fade == FADE_MIXED && frame < (int64_t)c->fade_from + c->fade_frames)
            mixed = j;
    }
    uint8_t raw[3][8 * MAX_CHANNELS];
    memset(raw[2], 0, (size_t)fs);
    if (mixed >= 0) {
        // The frame mixed as the build mixes it: its gains, its mixer.
        const Cut* c = Cut_Of(job, w->t, mixed);
        if (!Read_Take_Quietly(w, c->previous, frame, 1, raw[0]) || !Read_Take_Quietly(w, mixed, frame, 1, raw[1]))
            return false;
        double g_previous, g_next;
        int32_t samples[2 * MAX_CHANNELS];
        FADE_GAINS(track->fade_type, (int32_t)(frame - c->fade_from), track->fade_frames, 1, &g_previous, &g_next);
        MIX_BLOCK(raw[0], raw[1], raw[2], 1, &g_previous, &g_next, f->bytes_per_sample, f->channels, f->is_float,
                  samples);
    } else if (k >= 0) {
        const Cut* c = Cut_Of(job, w->t, k);
        if (frame < (int64_t)c->start + c->frames && frame < (int64_t)c->start + c->held &&
            !Read_Take_Quietly(w, k, frame, 1, raw[2]))
            return false;
    }
    for (int32_t c = 0; c < f->channels; c++)
        out[c] = Sample_At(raw[2] + c * f->bytes_per_sample, f->bytes_per_sample, f->is_float);
    return true;
}

// Sum of the squares of `count` samples at `at`, as fractions of full scale; the format
// chosen once per call, so that each loop sees a constant width.
double Sum_Of_Squares(const uint8_t* at, int64_t count, int32_t bytes, int32_t is_float)
{
    if (!is_float && bytes == 3) {
        // Four samples (twelve bytes, three 32-bit words) a step, each into a sum of its
        // own. A square is below 2^46, and a block holds at most COPY_BYTES / 3 samples:
        // no sum overflows.
        int64_t sums[4] = {0, 0, 0, 0}, s = 0;
        for (; s + 4 <= count; s += 4) {
            uint32_t w0 = (uint32_t)Assem4(at + 3 * s), w1 = (uint32_t)Assem4(at + 3 * s + 4),
                     w2 = (uint32_t)Assem4(at + 3 * s + 8);
            int64_t v[4] = {(int32_t)(w0 << 8) >> 8, (int32_t)((w0 >> 24 | w1 << 8) << 8) >> 8,
                            (int32_t)((w1 >> 16 | w2 << 16) << 8) >> 8, (int32_t)w2 >> 8};
            for (int32_t k = 0; k < 4; k++)
                sums[k] += v[k] * v[k];
        }
        int64_t sum = sums[0] + sums[1] + sums[2] + sums[3];
        for (; s < count; s++) {
            const uint8_t* b = at + 3 * s;
            int64_t v = (int32_t)((uint32_t)b[0] << 8 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 24) >> 8;
            sum += v * v;
        }
        return (double)sum / (8388608.0 * 8388608.0);
    }
    if (!is_float && bytes == 2) {
        int64_t sum = 0;
        for (int64_t s = 0; s < count; s++) {
            int64_t v = (int16_t)(at[2 * s] | at[2 * s + 1] << 8);
            sum += v * v;
        }
        return (double)sum / (32768.0 * 32768.0);
    }
    double sum = 0;
    for (int64_t s = 0; s < count; s++) {
        double v = Sample_At(at + s * bytes, bytes, is_float);
        sum += v * v;
    }
    return sum;
}

// The level (RMS over every channel) of edit point i's take over frames [from, from +
// frames), in dBFS; frames past the end of its audio are silence. NaN when the take
// cannot be read.
double Level(Check_Work* w, int32_t i, int64_t from, int64_t frames)
{
    const Wav_Format* f = &w->job->tracks[w->t].format;
    int64_t fs = Frame_Size(f), chunk = COPY_BYTES / fs;
    double sum = 0;
    for (int64_t done = 0; done < frames; done += chunk) {
        int64_t n = frames - done < chunk ? frames - done : chunk;
        if (!Read_Take_Quietly(w, i, from + done, n, w->block))
            return NAN;
        sum += Sum_Of_Squares(w->block, n * f->channels, f->bytes_per_sample, f->is_float);
    }
    return Decibels(std::sqrt(sum / ((double)frames * f->channels)));
}

void Check_Track(Check_Work* w)
{
    Job* job = w->job;
    const Track* track = &job->tracks[w->t];
    const Options* o = &job->options;
    int32_t channels = track->format.channels;
    int64_t least = ((int64_t)track->format.sample_rate * MATCH_WINDOW_MS + 999) / 1000;
    double before[MAX_CHANNELS], after[MAX_CHANNELS];
    for (int32_t i = 1; i + 1 < job->edit_count; i++) {
        Cut* cut = &job->cuts[(size_t)w->t * job->edit_count + i];
        if (cut->frames < 1)
            continue;
        // A hard cut (no crossfade mixed here, or one too short to write a frame): the step
        // from the frame before to the first after.
        bool hard = cut->fade != FADE_MIXED || cut->fade_frames == 0;
        if (hard && cut->start > 0 && Output_Frame(w, cut->start - 1, before) &&
            Output_Frame(w, cut->start, after)) {
            double step = 0;
            for (int32_t c = 0; c < channels; c++)
                step = std::fabs(after[c] - before[c]) > step ? std::fabs(after[c] - before[c]) : step;
            cut->step_db = (float)Decibels(step);
            if (Decibels(step) >= o->click_db)
                cut->checks |= CHECK_CLICK;
        }
        // Both takes over the same frames: the crossfade, and at least MATCH_WINDOW_MS. Only
        // a take that plays before the edit is compared (none does before the first segment).
        if (Cut_Of(job, w->t, cut->previous)->frames < 1)
            continue;
        int64_t span = cut->fade_frames > least ? cut->fade_frames : least;
        int64_t from = cut->start - span / 2 > 0 ? cut->start - span / 2 : 0;
        double previous = Level(w, cut->previous, from, span), next = Level(w, i, from, span);
        cut->previous_db = (float)previous;
        cut->next_db = (float)next;
        // (NaN, a take that cannot be read, is never above the floor.)
        if (previous > MATCH_FLOOR_DB && next > MATCH_FLOOR_DB && std::fabs(previous - next) >= o->match_db)
            cut->checks |= CHECK_LEVEL;
    }
}

// Appends `text` to `list` (of `capacity` bytes) unless `count` items are listed already;
// then only "..." once.
void List_Add(char* list, size_t capacity, int32_t* count, const char* text)
{
    const char* piece[2] = {*count == 0 ? "" : ", ", *count < 8 ? text : "..."};
    if (*count <= 8)
        for (const char* part : piece) {
            size_t used = strlen(list), length = strlen(part);
            length = length < capacity - 1 - used ? length : capacity - 1 - used;
            memcpy(list + used, part, length);
            list[used + length] = '\0';
        }
    (*count)++;
}

}  // namespace

void Checks_Start(Edit_Checks* checks, Job* job)
{
    checks->job = job;
    checks->open = (Open_Files*)Block_Alloc((int64_t)sizeof(Open_Files));
    checks->block = Block_Alloc(COPY_BYTES);
    for (int32_t t = 0; t < job->track_count; t++)
        for (int32_t i = 0; i < job->edit_count; i++) {
            Cut* cut = &job->cuts[(size_t)t * job->edit_count + i];
            cut->checks = 0;
            cut->step_db = cut->previous_db = cut->next_db = NAN;
        }
}

void Check_Edits(Edit_Checks* checks)
{
    Job* job = checks->job;
    if (job->options.checks_off)
        return;
    Check_Work w{job, 0, checks->open, checks->block};
    for (int32_t t = 0; t < job->track_count; t++) {
        w.t = t;
        Check_Track(&w);
        Close_Files(w.open);
    }
}

void Checks_End(Edit_Checks* checks)
{
    free(checks->block);
    free(checks->open);
    *checks = Edit_Checks{};
}

void Print_Check_Summary(const Job* job)
{
    if (job->options.checks_off)
        return;
    // After a build standard output stands at the end of its last progress row: the
    // first line begins two lines further down, as "Done" does.
    const char* line_start = job->options.dry_run || job->options.quiet ? "" : "\n\n";
    const char* what[2] = {"may click at a hard cut", "jump in level between their takes"};
    const int32_t kind[2] = {CHECK_CLICK, CHECK_LEVEL};
    for (int32_t k = 0; k < 2; k++) {
        char edits[200] = "", tracks[400] = "";
        int32_t edit_count = 0, track_count = 0;
        for (int32_t i = 1; i + 1 < job->edit_count; i++) {
            bool flagged = false;
            for (int32_t t = 0; t < job->track_count && !flagged; t++)
                flagged = (Cut_Of(job, t, i)->checks & kind[k]) != 0;
            if (!flagged)
                continue;
            char number[16];
            snprintf(number, sizeof number, "%i", i + 1);
            List_Add(edits, sizeof edits, &edit_count, number);
        }
        for (int32_t t = 0; t < job->track_count; t++) {
            bool flagged = false;
            for (int32_t i = 1; i + 1 < job->edit_count && !flagged; i++)
                flagged = (Cut_Of(job, t, i)->checks & kind[k]) != 0;
            if (flagged)
                List_Add(tracks, sizeof tracks, &track_count, Show(Base_Name(job, t)).text);
        }
        if (edit_count > 0)
            printf("%s%i edit%s %s (edit%s %s on %s); -n lists %s\n", line_start, edit_count, edit_count == 1 ? "" : "s",
                   edit_count == 1 && k == 1 ? "jumps in level between its takes" : what[k],
                   edit_count == 1 ? "" : "s", edits, tracks, edit_count == 1 ? "it" : "them");
        if (edit_count > 0)
            line_start = "";
    }
    char takes[400] = "";
    int32_t take_count = 0;
    for (int32_t k = 0; k < job->take_count; k++)
        for (int32_t t = 0; t < job->track_count; t++) {
            int32_t longest;
            if (!Take_Falls_Short(job, t, k, &longest))
                continue;
            char entry[2 * SHOWN_BYTES + 8];
            snprintf(entry, sizeof entry, "%s on %s", Show(Take_Suffix(job, job->first_edit[k])).text,
                     Show(Base_Name(job, t)).text);
            List_Add(takes, sizeof takes, &take_count, entry);
        }
    if (take_count > 0)
        printf("%s%i take%s shorter on some tracks than on others (%s); -n lists %s\n", line_start, take_count,
               take_count == 1 ? " is" : "s are", takes, take_count == 1 ? "it" : "them");
}

void Print_Check_Table(const Job* job)
{
    if (job->options.checks_off || job->options.quiet)
        return;
    bool any = false;
    auto heading = [&]() {
        if (!any)
            puts("\nEdit checks (flagged only):\nwhere\ttrack\tcheck\tfigure");
        any = true;
    };
    for (int32_t i = 1; i + 1 < job->edit_count; i++)
        for (int32_t t = 0; t < job->track_count; t++) {
            const Cut* cut = Cut_Of(job, t, i);
            if (cut->checks & CHECK_CLICK) {
                heading();
                printf("edit %i\t%s\tclick at a hard cut\tstep of %.1f dBFS\n", i + 1, Show(Base_Name(job, t)).text,
                       cut->step_db);
            }
            if (cut->checks & CHECK_LEVEL) {
                heading();
                printf("edit %i\t%s\tlevel jump\t%.1f dB (%s %.1f dBFS, %s %.1f dBFS)\n", i + 1,
                       Show(Base_Name(job, t)).text, std::fabs(cut->next_db - cut->previous_db),
                       Show(Take_Suffix(job, cut->previous)).text, cut->previous_db, Show(Take_Suffix(job, i)).text,
                       cut->next_db);
            }
        }
    for (int32_t k = 0; k < job->take_count; k++)
        for (int32_t t = 0; t < job->track_count; t++) {
            int32_t longest;
            if (!Take_Falls_Short(job, t, k, &longest))
                continue;
            heading();
            const Take_Info* mine = Take_Number(job, t, k);
            const Take_Info* most = Take_Number(job, longest, k);
            printf("take %s\t%s\tlength\t%.3f s, where %s has %.3f s\n", Show(Take_Suffix(job, job->first_edit[k])).text,
                   Show(Base_Name(job, t)).text, mine->frames / (double)mine->format.sample_rate,
                   Show(Base_Name(job, longest)).text, most->frames / (double)most->format.sample_rate);
        }
}
