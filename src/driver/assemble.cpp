#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "audio/audio.h"
#include "driver/driver.h"
#include "fail.h"
#include "wav/wav.h"

// Builds one output track: header, then per edit point the lead-in or crossfade, the
// segment, its tail pad and the crossfade copied over the edit.
static void Build_Track(const Job* job, int32_t t, Progress* progress)
{
    const char* out = Out_Name(job, t);
    const char* temp = job->temp_name;
    int32_t rate = job->rate[t], bits = job->bits[t], channels = job->channels[t];
    int32_t bytes = bits / 8;
    int32_t fade = job->xf_frames[t];
    bool quiet = job->options.quiet;

    if (!quiet)
        printf("\n\nBuilding to %s\n", out);
    MAKE_HEADER(out, rate, bits, job->length[t], (uint16_t)channels);
    if (!quiet)
        printf("edits: ");
    char take[TAKE_NAME_BUFFER];
    char previous[TAKE_NAME_BUFFER];
    int64_t written_to = 0;  // frames [0, written_to) of the data area exist in the file
    for (int32_t i = 0; i < job->edit_count; i++) {
        Progress_Hide(progress);
        if (!quiet)
            printf("%i ", i + 1);
        (void)fflush(stdout);  // progress only; a lost flush loses no audio
        Take_Name(job, t, i, take);
        previous[0] = '\0';
        if (i > 0)
            Take_Name(job, t, i - 1, previous);
        int32_t start = job->seg_start[t][i];
        int32_t count = job->seg_length[t][i];
        if (count < 1)
            continue;

        MAKE_HEADER(temp, rate, bits, fade, (uint16_t)channels);
        bool crossfade = false;
        int32_t insert_at = 0;
        if (i == 0) {
            if (job->lead_in[t] != 0)
                PAD_FILE(out, 0, bytes, channels, job->lead_in[t]);
        } else if (job->xf_type[t] != 0 && start > fade * 0.5) {
            insert_at = start - fade / 2;
            crossfade = true;
            int32_t status = CROSSFADE(start, start, fade, job->xf_type[t], previous, take, temp, channels, bytes);
            if (status != XF_OK) {
                puts("Crossfade failed.");
                const char* culprit = status == XF_PREVIOUS ? previous : status == XF_NEXT ? take : temp;
                if (status == XF_FORMAT)
                    culprit = "the format or the crossfade type";
                printf(">> Track %i (%s), edit %i: no crossfade from %s into %s (%s at fault); the takes meet "
                       "in a hard cut\n", t + 1, Base_Name(job, t), i + 1, previous, take, culprit);
                crossfade = false;  // the two segments meet in a hard cut instead
                (void)remove(temp); // holds a header only; a stale one is rewritten before the next use
            }
        }
        // The take must still hold every frame the plan found in it; fewer means it
        // changed under the build, and the silence copied in would pass for audio.
        int32_t planned = job->frames_of[t][i] - start < count ? job->frames_of[t][i] - start : count;
        if (INSERT_FILE(out, take, start, bytes, channels, count, start) < planned)
            FAIL(">> Take %s holds fewer frames than when the job was planned, exiting\n", take);
        if (job->tail_flag[t][i])
            PAD_FILE(out, job->tail_start[t][i], bytes, channels, job->tail_length[t][i]);
        if ((int64_t)start + count > written_to)
            written_to = (int64_t)start + count;
        if (crossfade) {
            // Never past the length the header declares: a short last segment would
            // otherwise leave mixed frames trailing behind the data area.
            int32_t frames = fade;
            if ((int64_t)insert_at + frames > job->length[t])
                frames = job->length[t] - insert_at;
            if (insert_at > 0)
                INSERT_FILE(out, temp, insert_at, bytes, channels, frames, 0);
            (void)remove(temp);  // a leftover temp file is rewritten before its next use
        }
        Progress_Update(progress, written_to * bytes * channels);
    }
    // Segments may end a frame short of the next one's start; when that happens at the
    // end, the header would declare a frame the file lacks. Silence completes it.
    if (written_to < job->length[t])
        PAD_FILE(out, (int32_t)written_to, bytes, channels, job->length[t] - (int32_t)written_to);
}

void Build_Tracks(const Job* job)
{
    Progress progress;
    Progress_Start(&progress, job);
    for (int32_t t = 0; t < job->track_count; t++) {
        Progress_Track(&progress, t);
        Build_Track(job, t, &progress);
    }
    Progress_Finish(&progress);
}

void Print_Done(const Job* job)
{
    if (job->options.quiet)
        return;
    if (job->options.dry_run)
        printf("\n\nDry run: nothing was written.\n\n");
    else
        printf("\n\nDone\n\n");
}

// ---- progress display --------------------------------------------------------

static const int64_t REDRAW_NS = 250000000;  // four times a second

static int64_t Now_Ns()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;  // no clock: the display is drawn at every update and shows no rate
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int64_t Data_Bytes(const Job* job, int32_t t)
{
    return (int64_t)job->length[t] * job->bytes[t] * job->channels[t];
}

// Writes the display's text and escape sequences (`length` as snprintf returned it for
// a buffer of `capacity` bytes) to standard error in one call. A display that cannot
// be written is no loss: the build goes on.
static void Put(const char* text, int length, size_t capacity)
{
    if (length >= (int)capacity)
        length = (int)capacity - 1;
    if (length > 0)
        (void)!write(2, text, (size_t)length);
}

void Progress_Start(Progress* progress, const Job* job)
{
    *progress = Progress{};
    progress->job = job;
    progress->shown = !job->options.quiet && isatty(2);
    progress->stdout_on_terminal = isatty(1);
    for (int32_t t = 0; t < job->track_count; t++)
        progress->total_bytes += Data_Bytes(job, t);
    progress->start_ns = Now_Ns();
}

void Progress_Track(Progress* progress, int32_t t)
{
    Progress_Hide(progress);
    if (t > 0)
        progress->done_before_track += progress->track_bytes;
    progress->track = t;
    progress->track_bytes = Data_Bytes(progress->job, t);
    progress->next_draw_ns = 0;
}

void Progress_Draw(Progress* progress, int64_t bytes_done_in_track)
{
    int64_t now = Now_Ns();
    if (now < progress->next_draw_ns)
        return;
    progress->next_draw_ns = now + REDRAW_NS;
    if (bytes_done_in_track > progress->track_bytes)
        bytes_done_in_track = progress->track_bytes;
    int64_t done = progress->done_before_track + (bytes_done_in_track > 0 ? bytes_done_in_track : 0);
    const Job* job = progress->job;
    char line[256];
    int length = snprintf(line, sizeof line, "Track %i of %i %.24s: %.1f of %.1f MB", progress->track + 1,
                          job->track_count, Base_Name(job, progress->track), done / 1e6,
                          progress->total_bytes / 1e6);
    double seconds = (now - progress->start_ns) / 1e9;
    if (seconds >= 0.5 && done > 0 && length < (int)sizeof line) {
        double rate = done / seconds;
        int64_t left = (int64_t)((progress->total_bytes - done) / rate + 0.5);
        length += snprintf(line + length, sizeof line - (size_t)length,
                           ", %.1f MB/s, %" PRId64 ":%02" PRId64 ":%02" PRId64 " left", rate / 1e6, left / 3600,
                           left / 60 % 60, left % 60);
    }
    if (length >= (int)sizeof line)
        length = (int)sizeof line - 1;
    // Down a line (scrolling when at the bottom, column kept), save the cursor, draw
    // the line with wrapping off so that it never spills onto another, then back to
    // where the cursor was: standard output goes on where it left off.
    char screen[320];
    int written = snprintf(screen, sizeof screen, "\033D\0337\r\033[?7l%.*s\033[K\033[?7h\0338\033M", length, line);
    Put(screen, written, sizeof screen);
    progress->drawn = true;
}

// Erases the display line below the cursor.
static void Erase(Progress* progress)
{
    if (!progress->drawn)
        return;
    const char erase[] = "\0337\033D\r\033[K\0338";
    Put(erase, (int)sizeof erase - 1, sizeof erase);
    progress->drawn = false;
    progress->next_draw_ns = 0;
}

void Progress_Hide(Progress* progress)
{
    // Standard output elsewhere never writes over the display.
    if (progress->stdout_on_terminal)
        Erase(progress);
}

void Progress_Finish(Progress* progress)
{
    Erase(progress);
}
