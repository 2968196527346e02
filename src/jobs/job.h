// The job: what its files say, what its takes are, and the plan made of them. Plain
// tables, filled in this order by the job-file readers, the probe and the plan; the
// build, the dry run and the report only read them, so every cut, pad and crossfade is
// decided in one place. Track t and edit point i count from 0; frames count from the
// start of a data area.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/jobs.h"
#include "wav/wav.h"

constexpr int32_t SUFFIX_BUFFER = 64;      // output suffix: at most 63 characters
constexpr int32_t TAKE_NAME_BUFFER = 256;  // base name + take suffix + ".wav": at most 255
constexpr const char* DEFAULT_SUFFIX = "_bld.wav";
constexpr const char* TEMP_FILE = "xfade_temp.wav";

// What the command line asks for. Strings point into argv and live as long as the process.
struct Options {
    bool dry_run;           // -n: every check, then the plan shown; nothing is written
    bool quiet;             // -q: standard output carries only refusals, warnings and failures
    bool keep_metadata;     // -m: carry the bext and iXML chunks of each track's first take
    const char* directory;  // -C DIR: the folder to run in; nullptr: the working directory
    const char* suffix;     // the output suffix argument; nullptr: DEFAULT_SUFFIX
    const char* report;     // --report FILE: the HTML report to write; nullptr: none
    bool checks_off;        // --checks=off: no edit checks
    double click_db;        // --click-db: a step at a hard cut from this many dBFS may click
    double match_db;        // --match-db: takes this many dB apart at an edit jump in level
};

// What becomes of the crossfade into an edit point. The failures carry the status the
// crossfade engine answers for them.
constexpr int32_t FADE_MIXED = 0;           // mixed over fade_frames frames from fade_from on
constexpr int32_t FADE_PREVIOUS_FAILS = 1;  // the previous take's file ends before the crossfade starts
constexpr int32_t FADE_NEXT_FAILS = 2;      // likewise the next take's
constexpr int32_t FADE_UNMIXABLE = 4;       // the mixer cannot mix this format or crossfade type
constexpr int32_t FADE_NONE = 8;            // a hard cut: the first edit point, or no crossfade set
constexpr int32_t FADE_TOO_EARLY = 9;       // the edit lies within half a crossfade of frame 0: a hard cut
constexpr int32_t FADE_NO_SEGMENT = 10;     // no frames of the track start here

inline bool Fade_Fails(int32_t fade)
{
    return fade == FADE_PREVIOUS_FAILS || fade == FADE_NEXT_FAILS || fade == FADE_UNMIXABLE;
}

// The edit checks: what a careful editor listens for at an edit, flagged (never refused).
constexpr double DEFAULT_CLICK_DB = -30.0;  // a step at a hard cut from this many dBFS may click
constexpr double DEFAULT_MATCH_DB = 3.0;    // takes this many dB apart at an edit jump in level
constexpr double MATCH_FLOOR_DB = -50.0;    // ... when both are above this level there
constexpr int32_t MATCH_WINDOW_MS = 100;    // levels are measured over the crossfade, and at least this
constexpr int64_t LENGTH_SLACK_MS = 1;      // a take longer than this on another track is flagged
constexpr int32_t CHECK_CLICK = 1;          // bits of Cut::checks
constexpr int32_t CHECK_LEVEL = 2;

// One edit point of one track, as the build carries it out.
struct Cut {
    int32_t take;         // its take: the number of its take suffix (Job::take_of)
    int32_t start;        // the edit point's frame: the segment's first frame in the take and the output
    int32_t frames;       // frames of the segment, up to the next edit point or the track's end; 0: not built
    int32_t held;         // frames of the segment its take holds; the rest, from start + held on, is silence
    int32_t fade_from;    // output frame where the crossfade into this edit point begins
    int32_t fade_frames;  // frames the crossfade writes (clipped at the track's end); 0 unless mixed
    int32_t fade;         // FADE_*
    int32_t previous;     // the edit point whose take plays before this one's: the last one before it
                          // with frames (i - 1 unless that one is empty), which its crossfade fades from
    // What the edit checks found (edit points with a segment, between the first and the last).
    int32_t checks;       // CHECK_CLICK, CHECK_LEVEL
    float step_db;        // at a hard cut: the largest step between the frames either side, dBFS
    float previous_db;    // levels (RMS) of the previous and the next take around the edit, dBFS
    float next_db;
};

// One output track.
struct Track {
    Wav_Format format;    // of the take of the first edit point
    int32_t longest;      // frames of its longest take
    int32_t length;       // frames of the output: the last edit point's frame, clipped to the longest take
    int32_t lead_in;      // frames of silence before the first segment
    int32_t fade_type;    // crossfade type 0 to 4, after the all-tracks rule
    float fade_ms;        // crossfade length in milliseconds, likewise
    int32_t fade_frames;  // crossfade length in frames
};

// A file the run writes: the folder it lies in, opened once before the checks, and its
// name there. The checks, the creation of its partial file, the rename, removals and
// syncs all go through the folder's descriptor, so a folder path that is swapped for
// another after the checks changes nothing.
struct Place {
    int32_t folder;    // index into Job::folders
    const char* name;  // the file's name in its folder (points into `path`)
    const char* path;  // the path as the user gave it, for messages
    File_Identity built;  // an output as the build published it (the report reads it back)
};

// Folders the run writes into: the working folder (0, which also holds the run's lock
// and xfade_temp.wav), every output's and the report's.
constexpr int32_t MAX_FOLDERS = MAX_ENTRIES + 2;
struct Folder {
    int fd;              // -1: it could not be opened; `error` says why
    int error;
    const char* path;    // its path: the first `length` characters of a file's path ("." when empty)
    int32_t length;
};

struct Job {
    Options options;
    bool template_due;  // tavlinrc.txt is missing: a real run writes the template

    // Filled by the job-file readers.
    char base_names[MAX_ENTRIES * NAME_SLOT];
    int32_t base_lines[MAX_ENTRIES];    // the base.txt line of each
    char take_suffixes[MAX_ENTRIES * NAME_SLOT];
    Edit_Time edit_times[MAX_ENTRIES];  // each with its points.txt line
    int32_t xf_type[MAX_ENTRIES];       // per track, crossfade type
    float xf_length[MAX_ENTRIES];       // per track, milliseconds
    int32_t xf_line[MAX_ENTRIES];       // per track, the tavlinrc.txt line that set it; 0: none
    int32_t all_type;
    float all_length;                   // milliseconds
    int32_t all_line;                   // the tavlinrc.txt line of the xf_all entry; 0: none
    int32_t track_count;
    int32_t edit_count;

    char out_suffix[SUFFIX_BUFFER];
    char out_names[MAX_ENTRIES * NAME_SLOT];

    // The distinct take suffixes, numbered in the order the edit points first name them.
    int32_t take_of[MAX_ENTRIES];     // per edit point: its take's number
    int32_t first_edit[MAX_ENTRIES];  // per take number: the first edit point naming it
    int32_t take_count;

    Folder folders[MAX_FOLDERS];
    int32_t folder_count;
    Place outputs[MAX_ENTRIES];
    Place temp;    // xfade_temp.wav, in the working folder
    Place report;  // --report's file; its name is nullptr when there is none

    Track tracks[MAX_ENTRIES];
    Take_Info* takes;  // what the probe found: track_count x take_count, Take_Of() finds one
    Cut* cuts;         // the plan: track_count x edit_count, Cut_Of() finds one
};

// Base name, take suffix and output name of track t / edit point i (NUL-terminated slots).
inline const char* Base_Name(const Job* job, int32_t t) { return job->base_names + (size_t)t * NAME_SLOT; }
inline const char* Take_Suffix(const Job* job, int32_t i) { return job->take_suffixes + (size_t)i * NAME_SLOT; }
inline const char* Out_Name(const Job* job, int32_t t) { return job->out_names + (size_t)t * NAME_SLOT; }
// The probe of take number k of track t.
inline const Take_Info* Take_Number(const Job* job, int32_t t, int32_t k)
{
    return &job->takes[(size_t)t * job->take_count + k];
}
// The probe of the take edit point i of track t names.
inline const Take_Info* Take_Of(const Job* job, int32_t t, int32_t i) { return Take_Number(job, t, job->take_of[i]); }
// What the build does at edit point i of track t.
inline const Cut* Cut_Of(const Job* job, int32_t t, int32_t i) { return &job->cuts[(size_t)t * job->edit_count + i]; }

// Writes "<base name t><take suffix i>.wav" into `name` (TAKE_NAME_BUFFER bytes); refuses
// a name that does not fit.
void Take_Name(const Job* job, int32_t t, int32_t i, char* name);

// Why the crossfade into edit point i of track t fails, in the plan's words for a line or
// a panel ("previous take ended 0:00:04.200 before the crossfade"), into `out`; "" when
// it does not fail.
constexpr int32_t WHY_BUFFER = 160;
void Fade_Failure_Words(const Job* job, int32_t t, int32_t i, char out[WHY_BUFFER]);

// Whether take number k lasts longer on another track than on track t by more than
// LENGTH_SLACK_MS; *longest receives the track on which it lasts longest.
bool Take_Falls_Short(const Job* job, int32_t t, int32_t k, int32_t* longest);
