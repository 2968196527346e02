// Driver: checks a job, probes its takes, computes the edit plan and builds every
// output track. All tables live in one Job that main allocates (zeroed) and owns for
// the whole run. Track t and edit point i count from 0; frames count from the start of
// a data area. Every refusal is a ">> " line and exit status 1 before any output
// file is created. An output is built under a hidden partial name in its own folder
// and renamed over its name only when whole, so an output name holds the previous
// build or the new one, never a part of one.
#pragma once

#include <cstdint>

#include "jobs/jobs.h"

constexpr int32_t SUFFIX_BUFFER = 64;      // output suffix: at most 63 characters
constexpr int32_t TAKE_NAME_BUFFER = 256;  // base name + take suffix + ".wav": at most 255
constexpr const char* DEFAULT_SUFFIX = "_bld.wav";
constexpr const char* TEMP_FILE = "xfade_temp.wav";
// A partial output is "<output folder>/.tavlin-partial.<output file name>.<process id>".
constexpr const char* PARTIAL_PREFIX = ".tavlin-partial.";
constexpr int32_t PARTIAL_BUFFER = NAME_SLOT + 64;  // room for any partial name
// Largest data area a WAV header can declare here: its RIFF size (data + 36) must
// stay a positive signed 32-bit value.
constexpr int64_t MAX_DATA_BYTES = 2147483611;

struct Job {
    // Filled by the job-file readers.
    char base_names[MAX_ENTRIES * NAME_SLOT];
    char take_suffixes[MAX_ENTRIES * NAME_SLOT];
    float edit_times[MAX_ENTRIES];      // seconds
    int32_t xf_type[MAX_ENTRIES];       // per track, crossfade type 0..4
    float xf_length[MAX_ENTRIES];       // per track, milliseconds
    int32_t all_type;
    float all_length;                   // milliseconds
    int32_t track_count;
    int32_t edit_count;

    char out_suffix[SUFFIX_BUFFER];
    char temp_name[16];
    char out_names[MAX_ENTRIES * NAME_SLOT];

    // Probe results of the track being probed, indexed by edit point.
    int32_t take_channels[MAX_ENTRIES];
    int32_t take_offset[MAX_ENTRIES];   // bytes; not used by the plan
    int32_t take_rate[MAX_ENTRIES];
    int32_t take_frames[MAX_ENTRIES];
    int32_t take_bytes[MAX_ENTRIES];
    int32_t take_bits[MAX_ENTRIES];

    // Per track: format (from the take of edit point 0) and plan, in frames.
    int32_t rate[MAX_ENTRIES];
    int32_t bits[MAX_ENTRIES];
    int32_t bytes[MAX_ENTRIES];
    int32_t channels[MAX_ENTRIES];
    int32_t longest[MAX_ENTRIES];
    int32_t length[MAX_ENTRIES];
    int32_t lead_in[MAX_ENTRIES];
    int32_t xf_frames[MAX_ENTRIES];

    // Per track and edit point, in frames.
    int32_t frames_of[MAX_ENTRIES][MAX_ENTRIES];  // frame count of the take edit point i names
    int32_t seg_start[MAX_ENTRIES][MAX_ENTRIES];
    int32_t seg_length[MAX_ENTRIES][MAX_ENTRIES];
    int32_t tail_flag[MAX_ENTRIES][MAX_ENTRIES];
    int32_t tail_start[MAX_ENTRIES][MAX_ENTRIES];
    int32_t tail_length[MAX_ENTRIES][MAX_ENTRIES];
};

// Base name, take suffix and output name of track t / edit point i (NUL-terminated slots).
const char* Base_Name(const Job* job, int32_t t);
const char* Take_Suffix(const Job* job, int32_t i);
const char* Out_Name(const Job* job, int32_t t);
// Writes "<base name t><take suffix i>.wav" into `name` (TAKE_NAME_BUFFER bytes).
void Take_Name(const Job* job, int32_t t, int32_t i, char* name);

// Sets the output suffix (the single argument when argc is 2, else "_bld.wav") and the
// temp crossfade file name; refuses a suffix over 63 characters.
void Settle_Names(Job* job, int argc, char** argv);

// After the readers: applies the all-tracks crossfade rule, forms the output names and
// refuses what cannot be built (edit times out of order or negative, too few edit
// points, crossfade types outside 0..4 or negative lengths, names too long, an output
// that would overwrite a file the job reads).
void Prepare_Job(Job* job);

// Probes every take of every track; sets frames_of, longest and each track's format;
// refuses takes of one track that disagree in rate, bit depth or channels.
void Probe_Takes(Job* job);

// Computes the edit plan from the edit times, track rates and take frame counts:
// segment starts and lengths, tail pads, track lengths, lead-in pads, crossfade frames.
// Refuses a segment that starts after its take ends and figures beyond 32-bit range.
void Plan_Edits(Job* job);

// Prints "Crossfade Matrix:", the heading line and one row per track.
void Print_Matrix(const Job* job);

// Builds every output track from the plan, printing the progress rows; each under its
// partial name (Begin_Output), published when whole (Publish_Output).
void Build_Tracks(const Job* job);

// ---- safety (safety.cpp): the checks only look, so a run that writes nothing may call them

// Takes an exclusive lock on the working folder (flock on the folder itself: no file is
// left behind) for the rest of the process; the descriptor stays open on purpose and
// the exit releases it. Refuses at once when another run holds the lock.
void Lock_Folder();

// Before any take is opened (a FIFO would block the probe), with the output names
// formed: refuses a take that is not a regular file, and an output or the temp
// crossfade file that is the same file (device and inode, links followed) as a job
// file or a take. Only looks; a take that cannot be looked at is left to the probe.
void Check_Inputs(const Job* job);

// After planning, before the first write: refuses an output folder that is missing or
// not writable; an output or temp crossfade file name that holds something other than
// a regular file or a link; two outputs, or an output and the temp file, that are the
// same file or the same name in the same folder; an output or temp file larger than
// the file-size limit; a file system without room for what the build adds at its peak
// (outputs published so far less the ones they replace, the output being built, one
// crossfade). Only looks.
void Check_Before_Writing(const Job* job);

// Removes partial outputs that a run ended by SIGKILL or a crash left in the folders of
// this job's outputs, unless their process is still running. After Lock_Folder.
void Remove_Stale_Partials(const Job* job);

// Creates track t's partial output in the output's folder, exclusively, holding the
// track's header; writes its path into `partial` (PARTIAL_BUFFER bytes). From here on
// FAIL and the caught signals remove it, until Publish_Output.
void Begin_Output(const Job* job, int32_t t, char* partial);

// Flushes the whole partial output to disk and renames it over `out` (a link there is
// replaced, not followed), then syncs the folder; FAIL no longer removes it.
void Publish_Output(const char* partial, const char* out);
