// Text the tool shows its user: times as h:mm:ss.fff and names with their control
// bytes escaped. Every message, table and report writes times and names through these
// two, so that one rule holds everywhere.
#pragma once

#include <cstdint>

constexpr int32_t CLOCK_BUFFER = 32;  // room for any clock Format_Clock writes

// Writes `milliseconds` into `out` as h:mm:ss with `decimals` (0 to 3) decimals,
// rounded half away from zero, "-" before a time below zero that does not round to 0:
// 3723250 ms with 3 decimals is "1:02:03.250", with 0 decimals "1:02:03".
void Format_Clock(int64_t milliseconds, int32_t decimals, char out[CLOCK_BUFFER]);

// Milliseconds that `frames` frames last at `rate` frames per second, rounded half up.
int64_t Frames_Milliseconds(int64_t frames, int32_t rate);

// Bytes of the well-formed UTF-8 character at `at` (2 to 4) whose code point is printable
// text (not a C1 control, a surrogate, past U+10FFFF, U+FFFE or U+FFFF), or 0.
int32_t Utf8_Length(const unsigned char* at);

constexpr int32_t SHOWN_BYTES = 1024;

// A name as it may safely reach a terminal, NUL-terminated.
struct Shown {
    char text[SHOWN_BYTES];
};

// `name` with every byte that a terminal could take for a command shown as \xNN: the
// control characters (below 0x20 and 0x7F), C1 controls and bytes that are no UTF-8
// text. A CR left in a name by Windows line ends thus shows as \x0D. A name too long for
// SHOWN_BYTES ends in "...". Use it inside the call that prints: Show(name).text lives
// until the end of that statement.
Shown Show(const char* name);
