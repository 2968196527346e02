// Driver: checks a job, probes its takes, computes the edit plan and builds every
// output track. All tables live in one Job that main allocates (zeroed) and owns for
// the whole run. Track t and edit point i count from 0; frames count from the start of
// a data area. Every refusal is a ">> " line and exit status 1 before any output
// file is created.
#pragma once

#include <cstdint>

#include "jobs/jobs.h"
#include "wav/wav.h"

constexpr int32_t SUFFIX_BUFFER = 64;      // output suffix: at most 63 characters
constexpr int32_t TAKE_NAME_BUFFER = 256;  // base name + take suffix + ".wav": at most 255
constexpr const char* DEFAULT_SUFFIX = "_bld.wav";
constexpr const char* TEMP_FILE = "xfade_temp.wav";

// Where a take's audio lies, kept from the probe so that the build never searches for it.
struct Take_Place {
    int64_t data_offset;  // bytes
    int64_t data_end;     // bytes
    int64_t file_bytes;
};

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
    Take_Info takes[MAX_ENTRIES];

    // Per track: format (from the take of edit point 0) and plan, in frames.
    int32_t rate[MAX_ENTRIES];
    int32_t bits[MAX_ENTRIES];
    int32_t bytes[MAX_ENTRIES];
    int32_t channels[MAX_ENTRIES];
    int32_t is_float[MAX_ENTRIES];
    int32_t valid_bits[MAX_ENTRIES];
    uint32_t channel_mask[MAX_ENTRIES];
    Chunk_Span bext[MAX_ENTRIES];       // of the take of edit point 0
    Chunk_Span ixml[MAX_ENTRIES];
    int32_t longest[MAX_ENTRIES];
    int32_t length[MAX_ENTRIES];
    int32_t lead_in[MAX_ENTRIES];
    int32_t xf_frames[MAX_ENTRIES];

    // Per track and edit point, in frames.
    int32_t frames_of[MAX_ENTRIES][MAX_ENTRIES];  // frame count of the take edit point i names
    Take_Place place_of[MAX_ENTRIES][MAX_ENTRIES];  // where that take's audio lies
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
// The sample format of track t's output.
Wav_Format Track_Format(const Job* job, int32_t t);

// Sets the output suffix (the single argument when argc is 2, else "_bld.wav") and the
// temp crossfade file name; refuses a suffix over 63 characters.
void Settle_Names(Job* job, int argc, char** argv);

// After the readers: applies the all-tracks crossfade rule, forms the output names and
// refuses what cannot be built (edit times out of order or negative, too few edit
// points, crossfade types outside 0..4 or negative lengths, names too long, an output
// that would overwrite a file the job reads).
void Prepare_Job(Job* job);

// Probes every take of every track; sets frames_of, place_of, longest and each track's
// format; refuses takes of one track that disagree in rate, bit depth, sample kind
// (integer or float) or channels.
void Probe_Takes(Job* job);

// Computes the edit plan from the edit times, track rates and take frame counts:
// segment starts and lengths, tail pads, track lengths, lead-in pads, crossfade frames.
// Refuses a segment that starts after its take ends and frame figures beyond 32-bit range.
void Plan_Edits(Job* job);

// Prints "Crossfade Matrix:", the heading line and one row per track.
void Print_Matrix(const Job* job);

// Builds every output track from the plan, printing the progress rows.
void Build_Tracks(const Job* job);
