// Job files: the run-control file "tavlinrc.txt" (crossfade settings), "base.txt"
// (one track base name per line) and "points.txt" (one edit point per line: seconds,
// a TAB, a take suffix), all in the working directory. Each reader reads its whole
// file into a fixed local buffer and cuts it into lines and tokens in place; the caller
// owns every table that is filled. Reading is strict: a number field holds one number
// (leading spaces, then what strtod, or strtol in base 10 for track numbers and types,
// reads, then trailing spaces or a CR), a NUL byte is refused, a UTF-8 byte order mark
// at the start is skipped. Whatever is refused (limits included) is refused with a
// ">> " line naming the file, and the line and token where that helps, and exit
// status 1, before anything is written.
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
// names. Returns 0 when it was read; 1 when it did not exist and the commented
// template was written in its place (or could not be, which is said in a ">> " line).
// Entries are "xf_all", length, type or "xf_tr", track, length, type with TABs between
// the fields, all on one line; other text is ignored, but a line that begins with
// "xf_" and is not an entry is refused, as is an entry short of a value.
int32_t Check_RC(int32_t track_types[], float track_lengths[], int32_t* all_type, float* all_length);
// Writes the commented run-control template where no tavlinrc.txt is (never over one
// that appeared); says in a ">> " line when it cannot.
void Write_RC_Template();

// Reads base.txt: base name k goes to slot k (at k * stride bytes into `names`);
// `count` receives the number of names. Blank lines (spaces, TABs and CRs only) do not
// count; a CR stays in a name.
void ReadBaseFile(int32_t* count, char* names, int32_t stride);

// Reads points.txt: edit time i (seconds) and take suffix i (slot i of `suffixes`),
// in file order; `count` receives the number of edit points. A line holds a time, a TAB
// and the suffix (the rest of the line, TABs, spaces and a CR included); blank lines
// do not count. A time is a number of seconds or a timecode m:ss.fff or h:mm:ss.fff,
// which reads as exactly the float its number of seconds written out would give.
void ReadEditFile(int32_t* count, char* suffixes, int32_t stride, float times[]);

// Writes `seconds` into `out` as h:mm:ss.mmm, rounded to the millisecond, with a "-"
// before a negative time ("1:02:03.250"); a value of 1e15 or more, or not finite, is
// written as printf's %g writes it.
void Format_Time(double seconds, char out[32]);

// Tokenizer with strtok's rules but no hidden state: skips delimiters, returns the
// token (NUL-terminated in place) and moves *cursor past the one delimiter that ends
// it. Returns nullptr when no token is left.
char* Next_Token(char** cursor, const char* delimiters);
