#include "text.h"

#include <cstdio>
#include <cstring>

void Format_Clock(int64_t milliseconds, int32_t decimals, char out[CLOCK_BUFFER])
{
    static const int64_t UNIT[] = {1000, 100, 10, 1};  // milliseconds per last digit
    decimals = decimals < 0 ? 0 : decimals > 3 ? 3 : decimals;
    int64_t unit = UNIT[decimals];
    bool negative = milliseconds < 0;
    // The magnitude, rounded half away from zero; beyond a few centuries of hours no
    // edit list goes, and the clamp keeps the arithmetic in range.
    uint64_t magnitude = negative ? 0 - (uint64_t)milliseconds : (uint64_t)milliseconds;
    if (magnitude > (uint64_t)1 << 62)
        magnitude = (uint64_t)1 << 62;
    uint64_t ticks = (magnitude + (uint64_t)unit / 2) / (uint64_t)unit;
    uint64_t whole = ticks * (uint64_t)unit / 1000;
    int n = snprintf(out, CLOCK_BUFFER, "%s%llu:%02llu:%02llu", negative && ticks != 0 ? "-" : "",
                     (unsigned long long)(whole / 3600), (unsigned long long)(whole / 60 % 60),
                     (unsigned long long)(whole % 60));
    if (decimals > 0 && n > 0 && n + 1 + decimals < CLOCK_BUFFER) {
        uint64_t part = ticks % (1000 / (uint64_t)unit);
        (void)snprintf(out + n, (size_t)(CLOCK_BUFFER - n), ".%0*llu", decimals, (unsigned long long)part);
    }
}

int64_t Frames_Milliseconds(int64_t frames, int32_t rate)
{
    if (rate <= 0)
        return 0;
    // 128 bits: frames x 2000 passes 2^63 only for frame counts no file holds, but the
    // product costs nothing to keep exact.
    __int128 doubled = (__int128)frames * 2000 + rate;
    __int128 result = doubled / (2 * (__int128)rate);
    if (doubled < 0 && doubled % (2 * (__int128)rate) != 0)
        result -= 1;  // floor for a negative count
    return (int64_t)result;
}

int32_t Utf8_Length(const unsigned char* at)
{
    unsigned char c = at[0];
    int32_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    for (int32_t k = 1; k < length; k++)
        if ((at[k] & 0xC0) != 0x80)
            return 0;
    // No overlong forms, surrogates, code points past U+10FFFF, U+FFFE and U+FFFF, nor
    // the C1 controls U+0080 to U+009F, which some terminals obey as commands.
    if ((c == 0xE0 && at[1] < 0xA0) || (c == 0xED && at[1] > 0x9F) || (c == 0xF0 && at[1] < 0x90) ||
        (c == 0xF4 && at[1] > 0x8F) || (c == 0xEF && at[1] == 0xBF && at[2] >= 0xBE) || (c == 0xC2 && at[1] < 0xA0))
        return 0;
    return length;
}

Shown Show(const char* name)
{
    Shown shown;
    size_t at = 0;
    const unsigned char* c = (const unsigned char*)(name != nullptr ? name : "");
    // Room for the longest piece (\xNN or a 4-byte character) and "..." behind it.
    while (*c != '\0' && at + 8 < sizeof shown.text) {
        int32_t length = *c < 0x80 ? 1 : Utf8_Length(c);
        if (*c < 0x20 || *c == 0x7F || length == 0) {
            at += (size_t)snprintf(shown.text + at, 5, "\\x%02X", (unsigned)*c);
            c++;
        } else {
            memcpy(shown.text + at, c, (size_t)length);
            at += (size_t)length;
            c += length;
        }
    }
    if (*c != '\0') {
        memcpy(shown.text + at, "...", 3);
        at += 3;
    }
    shown.text[at] = '\0';
    return shown;
}
