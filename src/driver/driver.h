// Driver: reads the command line, checks a job, probes its takes, computes the edit
// plan and builds every output track (or, in a dry run, shows what it would build).
// All tables live in one Job that main allocates (zeroed) and owns for the whole run.
// Track t and edit point i count from 0; frames count from the start of a data area.
// Every refusal is a ">> " line and exit status 1 before any output file is created;
// a command line that is not understood is one line on standard error and status 2.
// An output is built under a hidden partial name in its own folder and renamed over
// its name only when whole, so an output name holds the previous build or the new one,
// never a part of one.
#pragma once

#include <cstdint>

#include "jobs/job.h"
#include "wav/wav.h"

constexpr const char* PROGRAM_NAME = "tavlin2a";
constexpr const char* VERSION = "2.00";

// Reads the options and the one optional suffix from argv into `options` (zeroed
// first). Options come before the suffix; "--" ends them, so a suffix beginning with
// "-" goes after it. -h/--help and -V/--version print the usage or the version on
// standard output and end the process with status 0; an unknown option, a missing
// option value or a second suffix end it through FAIL_USAGE (status 2). Reads and
// writes no file.
void Parse_Options(int argc, char** argv, Options* options);

// Changes to job->options.directory when one was given; refuses a folder that cannot
// be entered.
void Enter_Directory(const Job* job);

// The chunks track t's output carries from the take of its first edit point (bext and
// iXML, with --keep-metadata), into `carried` (room for 2); returns how many.
int32_t Carried_Chunks(const Job* job, int32_t t, Chunk_Span carried[]);

// Prints the banner, unless quiet.
void Print_Banner(const Job* job);

// Sets the output suffix (job->options.suffix, or "_bld.wav" when none was given);
// refuses a suffix over 63 characters.
void Settle_Names(Job* job);

// Runs the three job-file readers in their order. A missing tavlinrc.txt is noted for
// Write_Template (in a folder that holds base.txt or points.txt); a dry run says that a
// real run would write the template instead.
void Read_Job_Files(Job* job);

// Writes the run-control template when Read_Job_Files found none, once every check has
// passed, so that a refused job leaves nothing behind; nothing in a dry run.
void Write_Template(const Job* job);

// Prints the plan line (track and edit point counts), unless quiet.
void Print_Plan_Line(const Job* job);

// After the readers: applies the all-tracks crossfade rule, forms the output names,
// numbers the distinct take suffixes and refuses what cannot be built (edit times out
// of order or negative, too few edit points, crossfade types outside 0..4 or negative
// lengths, names too long, an output that would overwrite a file the job reads).
void Prepare_Job(Job* job);

// Probes every take of every track once; fills job->takes and each track's format;
// refuses takes of one track that disagree in rate, bit depth, sample kind (integer or
// float) or channels, naming both takes and their values on a second line. A missing
// take whose name holds a CR or whose suffix ends in spaces is refused with a second
// line saying so.
void Probe_Takes(Job* job);

// The plan: from the exact edit times, the track rates and the takes, every track's
// length, lead-in and crossfade frames, and per track and edit point its Cut: the
// segment (each from its edit point's frame to the next one's, so that segments meet),
// its tail pad, and what becomes of the crossfade, by the crossfade engine's own check.
// Refuses a segment that starts after its take ends (a second line names the track and
// take and sets the take's length against the edit time) and frames beyond 32 bits.
void Plan_Edits(Job* job);

// The edit checks (unless --checks=off): at every edit point with a segment between the
// first and the last, on every track, the step between the output frames either side of
// a hard cut, and the levels (RMS) of the previous and the next take over the same
// frames around it (the crossfade, and at least MATCH_WINDOW_MS); into the cuts' check
// fields, flagged by the thresholds of the options. Checks_Start allocates what they work
// with and clears those fields; Check_Edits reads only the frames around the edits,
// writes nothing, allocates nothing and never ends the process (a take it cannot read
// goes unchecked), so that it may run on a thread beside the build.
struct Edit_Checks {
    Job* job;
    Open_Files* open;
    uint8_t* block;
};
void Checks_Start(Edit_Checks* checks, Job* job);
void Check_Edits(Edit_Checks* checks);
void Checks_End(Edit_Checks* checks);
// One line per kind of flag (clicks, level jumps, takes shorter on some tracks), naming
// the edits and tracks; nothing when nothing is flagged. Said even when quiet; after a
// build it stands after the last progress row.
void Print_Check_Summary(const Job* job);
// Dry run: a table of every flagged edit or take and track with its figure, unless quiet.
void Print_Check_Table(const Job* job);

// Prints the lines that say the crossfade into edit point i of track t fails, naming
// the track, the takes and the one at fault, and why (Fade_Failure_Words).
void Print_Fade_Failure(const Job* job, int32_t t, int32_t i);

// Releases the probe and plan tables.
void Free_Job(Job* job);

// Prints "Crossfade Matrix:", the heading line and one row per track, unless quiet.
void Print_Matrix(const Job* job);

// Dry run: prints per track a table of its segments (edit number, start and end time
// as h:mm:ss.mmm, take file, first frame, frame count, tail pad and crossfade frames,
// all as the build would write them), unless quiet, and the lines of every crossfade
// that will fail, also when quiet. Writes no file.
void Print_Segments(const Job* job);

// Builds every output track from the plan, each under its partial name (Begin_Output)
// and published when whole (Publish_Output), printing the progress rows (unless quiet)
// and, while standard error is a terminal, the progress display. A crossfade that
// fails is reported with "Crossfade failed." and a line naming the track, the edit
// point and the file at fault; the takes then meet in a hard cut. Each output's identity
// as published goes to job->outputs[t].built.
void Build_Tracks(Job* job);

// Prints the closing line: "Done" after a build, after a dry run a note that nothing (or
// only the report) was written; nothing when quiet.
void Print_Done(const Job* job);

// ---- progress (progress.cpp) -------------------------------------------------------

// Progress display for long builds: one line on standard error, below the cursor's
// line, while standard error is a terminal (and the run is not quiet). It shows the
// track being built, data bytes written of the total, the rate and the time left, is
// redrawn at most a few times a second and never touches standard output.
struct Progress {
    bool shown;                 // standard error is a terminal and the run is not quiet
    bool drawn;                 // the display stands on the screen now
    bool stdout_on_terminal;    // standard output writes onto the same screen
    const Job* job;
    int32_t track;              // track being built
    int64_t total_bytes;        // data bytes of every output
    int64_t done_before_track;  // data bytes of the tracks already built
    int64_t track_bytes;        // data bytes of the track being built
    int64_t start_ns;           // CLOCK_MONOTONIC when the build began
    int64_t next_draw_ns;       // the display is not redrawn before this time
    int64_t next_flush_ns;      // standard output (not a terminal) is not flushed before this time
};

// Begins a build of every track of `job`; decides whether the display is shown.
void Progress_Start(Progress* progress, const Job* job);
// Track t begins: the tracks before it count as written.
void Progress_Track(Progress* progress, int32_t t);
// Redraws the display when it is due. `bytes_done_in_track`: bytes of the track's data
// area written so far. Costs one test when the display is not shown.
void Progress_Draw(Progress* progress, int64_t bytes_done_in_track);
inline void Progress_Update(Progress* progress, int64_t bytes_done_in_track)
{
    if (progress->shown)
        Progress_Draw(progress, bytes_done_in_track);
}
// Erases the display before standard output writes onto the same screen; the next
// update redraws it.
void Progress_Hide(Progress* progress);
// Erases the display for good at the end of the build.
void Progress_Finish(Progress* progress);
// Flushes the progress rows on standard output: after every edit on a terminal,
// elsewhere at the first of a track (`track_start`) and then at most ten times a second.
// A flush that fails (a closed pipe, a full disk) ends the run through FAIL, which
// removes the partial output being built.
void Flush_Progress(Progress* progress, bool track_start);


// ---- safety (safety.cpp): the checks only look, so a run that writes nothing may call them

// Takes an exclusive lock on the working folder (flock on the folder itself: no file is
// left behind) for the rest of the process; its descriptor stays open on purpose (the
// exit releases it) and becomes job->folders[0]. Refuses at once when another run holds
// the lock. Raises the limit on open files to the hard limit, for jobs of many folders.
void Lock_Folder(Job* job);

// Opens, once, every folder the run will write into (each output's, the report's) and
// places each output, xfade_temp.wav and the report in theirs. Directory descriptors held
// for the whole run are what keeps a folder path swapped after the checks from moving
// a single write: every later check, creation, rename and removal goes through them. A
// folder that cannot be opened is kept with its error for Check_Before_Writing to report.
void Open_Folders(Job* job);

// Before any take is opened, with the output names formed and placed: refuses a take
// that is not a regular file, and an output or the temp crossfade file that is the same
// file (device and inode, links followed) as a job file or a take. Only looks; a take
// that cannot be looked at is left to the probe.
void Check_Inputs(const Job* job);

// After planning, before the first write: refuses an output or report folder that is
// missing or not writable; an output, temp crossfade or report name that holds
// something other than a regular file or a link; two outputs, or an output and the temp
// file, that are the same file or the same name in the same folder, and a report that
// would replace one of them; a report name too long for its partial file; a file
// larger than the file-size limit (the report: the most it can take); a file system
// without room for what the run adds at its peak (outputs published so far less the
// ones they replace, the output being built, one crossfade, then the report). Only looks.
void Check_Before_Writing(const Job* job);

// Removes partial files that a run ended by SIGKILL or a crash left: only those of this
// job's outputs and report, in their folders, and only those no process holds locked.
void Remove_Stale_Partials(const Job* job);

// Creates track t's partial output in the output's folder (Partial_Begin).
void Begin_Output(const Job* job, int32_t t, Partial* partial);
