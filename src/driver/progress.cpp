#include <unistd.h>

#include <cinttypes>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/driver.h"
#include "fail.h"
#include "text.h"

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
    return (int64_t)job->tracks[t].length * Frame_Size(&job->tracks[t].format);
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
                          job->track_count, Show(Base_Name(job, progress->track)).text, done / 1e6,
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

// Flushes standard output; a failure (a closed pipe, a full disk) ends the run through
// FAIL, which removes the partial output being built.
static void Flush_Output()
{
    // Standard output closed (a pipe whose reader has gone) or full: the run fails as any
    // failed write does, and the partial output goes with it.
    if (fflush(stdout) != 0)
        FAIL(">> Cannot write standard output (%s), exiting\n", strerror(errno));
}

// Standard output flushed at most this often while the progress row is not on a terminal.
static const int64_t FLUSH_NS = 100000000;

// The progress row reaches standard output after every edit number on a terminal, and
// elsewhere (a pipe, a file) at the first of each track and then at most ten times a
// second: with thousands of edits a flush per number would cost a system call each.
void Flush_Progress(Progress* progress, bool track_start)
{
    if (!progress->stdout_on_terminal && !track_start) {
        int64_t now = Now_Ns();
        if (now < progress->next_flush_ns)
            return;
        progress->next_flush_ns = now + FLUSH_NS;
    }
    Flush_Output();
}
