// Job files: the run-control file "tavlinrc.txt" (crossfade settings), "base.txt"
// (one track base name per line) and "points.txt" (one edit point per line: seconds,
// a TAB, a take suffix), all in the working directory. Each reader reads its whole
// file into a fixed local buffer and cuts it into tokens in place; the caller owns
// every table that is filled. Limits are refused with a ">> " line and exit status 1.
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
int32_t Check_RC(int32_t track_types[], float track_lengths[], int32_t* all_type, float* all_length);

// Reads base.txt: base name k goes to slot k (at k * stride bytes into `names`);
// `count` receives the number of names. Blank lines do not count; a CR stays in a name.
void ReadBaseFile(int32_t* count, char* names, int32_t stride);

// Reads points.txt: edit time i (seconds) and take suffix i (slot i of `suffixes`),
// in file order; `count` receives the number of edit points.
void ReadEditFile(int32_t* count, char* suffixes, int32_t stride, float times[]);

// Tokenizer with strtok's rules but no hidden state: skips delimiters, returns the
// token (NUL-terminated in place) and moves *cursor past the one delimiter that ends
// it. Returns nullptr when no token is left.
char* Next_Token(char** cursor, const char* delimiters);
