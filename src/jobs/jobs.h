// Job files: the run-control file "tavlinrc.txt" (crossfade settings), "base.txt"
// (one track base name per line) and "points.txt" (one edit point per line: seconds,
// a TAB, a take suffix), all in the working directory. Each reader reads its whole
// file into a fixed local buffer and cuts it into lines and tokens in place; the caller
// owns every table that is filled. Reading is strict: a number field holds one number
// (leading spaces, then a decimal number, or an integer in base 10 for track numbers
// and types, then trailing spaces), lines end in LF or CR LF, a NUL byte is refused, a
// UTF-8 byte order mark at the start is skipped. Whatever is refused (limits included)
// is refused with a ">> " line naming the file, and the line and token where that
// helps, and exit status 1, before anything is written.
#pragma once

#include <cstdint>

constexpr int32_t NAME_SLOT = 128;        // bytes per name slot: at most 127 characters and a NUL
constexpr int32_t MAX_ENTRIES = 1024;     // tracks, edit points, per-track settings
constexpr int32_t RC_BUFFER = 1024;       // run-control file: at most 1023 bytes
constexpr int32_t LIST_BUFFER = 32768;    // base.txt, points.txt: at most 32767 bytes each

constexpr const char* RC_FILE = "tavlinrc.txt";
constexpr const char* BASE_FILE = "base.txt";
constexpr const char* POINTS_FILE = "points.txt";

// Reads the run-control file into the per-track types and lengths (index = track
// number - 1; milliseconds) and the all-tracks setting, writing only what the file
// names. Returns 0 when it was read; 1 when it does not exist, for the caller to write
// the commented template (Write_RC_Template) once the job has passed every check: a
// refused job leaves nothing behind. A file that is not a regular file (a FIFO, a
// folder) is refused without waiting on it.
// Entries are "xf_all", length, type or "xf_tr", track, length, type with TABs between
// the fields, all on one line; other text is ignored, but a line that begins with
// "xf_" and is not an entry is refused, as is an entry short of a value.
// The line each entry was read from goes to track_lines[track - 1] and *all_line.
int32_t Check_RC(int32_t track_types[], float track_lengths[], int32_t* all_type, float* all_length,
                 int32_t track_lines[], int32_t* all_line);
// Writes the commented run-control template where no tavlinrc.txt is (never over one
// that appeared); says in a ">> " line when it cannot.
void Write_RC_Template();

// Reads base.txt: base name k goes to slot k (at k * stride bytes into `names`) and the
// line it was read from to lines[k]; `count` receives the number of names. Blank lines
// (spaces and TABs only) do not count. Lines end in LF or CR LF in every job file; a CR
// elsewhere is refused with its line.
void ReadBaseFile(int32_t* count, char* names, int32_t stride, int32_t lines[]);

// An edit time exactly as the user wrote it, never rounded: [-]whole.fraction seconds.
constexpr int32_t TIME_DECIMALS = 64;             // decimals a time may have (trailing zeros aside)
constexpr int64_t TIME_WHOLE_LIMIT = 1000000000000;  // whole seconds a time stays below
struct Edit_Time {
    int64_t whole;                 // whole seconds, 0 or more
    char fraction[TIME_DECIMALS];  // the decimals, '0' to '9'; only the first `decimals` count
    int32_t decimals;              // without trailing zeros
    int32_t negative;              // 1: below zero (never for a time of 0)
    int32_t line;                  // the points.txt line it was read from (from 1)
};

// Reads points.txt: edit time i and take suffix i (slot i of `suffixes`), in file
// order; `count` receives the number of edit points. A line holds a time, a TAB and the
// suffix (the rest of the line, TABs and spaces included); blank lines do not
// count. A time is decimal seconds ("12.5", "-1", "1.5e3") or a timecode m:ss.fff or
// h:mm:ss.fff, read exactly; hexadecimal, infinities and times of 10^12 s or more, or
// with more than TIME_DECIMALS decimals, are refused with their line.
void ReadEditFile(int32_t* count, char* suffixes, int32_t stride, Edit_Time times[]);

// Reads a time in decimal seconds from `token` (leading spaces, the number, trailing
// spaces and CRs) into `time`; returns TIME_OK or why it cannot be read.
constexpr int32_t TIME_OK = 0;
constexpr int32_t TIME_NOT_A_NUMBER = 1;
constexpr int32_t TIME_NOT_FINITE = 2;   // "inf", "nan"
constexpr int32_t TIME_TOO_LARGE = 3;    // TIME_WHOLE_LIMIT seconds or more
constexpr int32_t TIME_TOO_PRECISE = 4;  // more than TIME_DECIMALS decimals
int32_t Read_Seconds(const char* token, Edit_Time* time);
// Where a decimal number beginning at `at` ends: a sign, digits with at most one point
// (one digit at least), and an exponent; `at` itself when none begins there.
// Hexadecimal, infinities and NaN are no decimal numbers.
const char* Decimal_End(const char* at);

// -1, 0 or 1 as time a is below, equal to or above time b; exact.
int32_t Compare_Times(const Edit_Time* a, const Edit_Time* b);
// floor(time x rate): the frame an edit time falls on at `rate` frames per second,
// worked out from the time's digits with integers only. A time below zero gives 0; a
// frame past INT64_MAX gives INT64_MAX.
int64_t Time_Frame(const Edit_Time* time, int32_t rate);
// The time in milliseconds, rounded half away from zero.
int64_t Time_Milliseconds(const Edit_Time* time);
// Writes the time as decimal seconds, as written but for leading and trailing zeros
// ("-0.5", "24.001", "3600").
constexpr int32_t SECONDS_BUFFER = 96;
void Format_Seconds(const Edit_Time* time, char out[SECONDS_BUFFER]);
