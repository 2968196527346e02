// Edit times read and worked with exactly: a time is kept as the digits the user wrote,
// and the frame it falls on is computed from those digits with integers, so that two
// neighbouring segments always meet and no float decides a frame.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "jobs/jobs.h"

const char* Decimal_End(const char* at)
{
    const char* start = at;
    if (*at == '+' || *at == '-')
        at++;
    size_t digits = strspn(at, "0123456789");
    at += digits;
    if (*at == '.') {
        size_t more = strspn(at + 1, "0123456789");
        digits += more;
        at += 1 + more;
    }
    if (digits == 0)
        return start;
    if ((*at == 'e' || *at == 'E')) {
        const char* exponent = at + 1 + (at[1] == '+' || at[1] == '-');
        size_t exponent_digits = strspn(exponent, "0123456789");
        if (exponent_digits > 0)
            at = exponent + exponent_digits;
    }
    return at;
}

// `text` begins with an infinity or not-a-number as strtod spells them.
static bool Is_Not_Finite(const char* text)
{
    if (*text == '+' || *text == '-')
        text++;
    return strncasecmp(text, "inf", 3) == 0 || strncasecmp(text, "nan", 3) == 0;
}

int32_t Read_Seconds(const char* token, Edit_Time* time)
{
    const char* at = token + strspn(token, " ");
    const char* end = Decimal_End(at);
    if (end == at || end[strspn(end, " \r")] != '\0')
        return Is_Not_Finite(at) ? TIME_NOT_FINITE : TIME_NOT_A_NUMBER;
    *time = Edit_Time{};
    bool negative = *at == '-';
    at += *at == '+' || *at == '-';
    // The significant digits, and the power of ten of the last one.
    char digits[2 * TIME_DECIMALS + 40];
    int32_t count = 0;
    int64_t power = 0;
    bool point = false;
    for (; at < end && *at != 'e' && *at != 'E'; at++) {
        if (*at == '.') {
            point = true;
            continue;
        }
        if (count == 0 && *at == '0') {  // a leading zero carries nothing
            power -= point ? 1 : 0;
            continue;
        }
        if (count == (int32_t)sizeof digits)
            return point ? TIME_TOO_PRECISE : TIME_TOO_LARGE;
        digits[count++] = *at;
        power -= point ? 1 : 0;
    }
    if (at < end) {  // an exponent: at most a few digits count; more is far out of range
        const char* exponent = at + 1;
        bool below = *exponent == '-';
        exponent += *exponent == '+' || *exponent == '-';
        int64_t value = 0;
        for (; exponent < end && value < 100000; exponent++)
            value = value * 10 + (*exponent - '0');
        power += below ? -value : value;
    }
    while (count > 0 && digits[count - 1] == '0') {  // trailing zeros: a power of ten each
        count--;
        power++;
    }
    if (count == 0)
        return TIME_OK;  // zero, whatever its sign
    // Digit k (from 0) stands for 10^(power + count - 1 - k).
    int64_t whole_digits = count + power;
    if (whole_digits > 12)
        return TIME_TOO_LARGE;
    if (-power > TIME_DECIMALS)
        return TIME_TOO_PRECISE;
    memset(time->fraction, '0', sizeof time->fraction);
    for (int64_t k = 0; k < whole_digits; k++)
        time->whole = time->whole * 10 + (k < count ? digits[k] - '0' : 0);
    for (int64_t k = whole_digits > 0 ? whole_digits : 0; k < count; k++)
        time->fraction[k - whole_digits] = digits[k];
    time->decimals = (int32_t)(-power > 0 ? -power : 0);
    time->negative = negative ? 1 : 0;
    return TIME_OK;
}

int32_t Compare_Times(const Edit_Time* a, const Edit_Time* b)
{
    if (a->negative != b->negative)
        return a->negative ? -1 : 1;
    int32_t sign = a->negative ? -1 : 1;  // between two negative times the larger magnitude is lower
    if (a->whole != b->whole)
        return a->whole < b->whole ? -sign : sign;
    int32_t decimals = a->decimals > b->decimals ? a->decimals : b->decimals;
    for (int32_t k = 0; k < decimals; k++) {
        char x = k < a->decimals ? a->fraction[k] : '0';
        char y = k < b->decimals ? b->fraction[k] : '0';
        if (x != y)
            return x < y ? -sign : sign;
    }
    return 0;
}

int64_t Time_Frame(const Edit_Time* time, int32_t rate)
{
    if (time->negative || rate <= 0)
        return 0;
    // floor(0.d1 d2 ... dn x rate) is the carry that multiplying the digits by the rate
    // leaves at the decimal point, worked from the last digit to the first.
    int64_t carry = 0;
    for (int32_t k = time->decimals - 1; k >= 0; k--)
        carry = ((int64_t)(time->fraction[k] - '0') * rate + carry) / 10;
    // 10^12 seconds at 2^31 frames a second pass 2^63: the product is taken in 128
    // bits, and what no int64_t holds is held at its largest value (no file has that frame).
    __int128 frame = (__int128)time->whole * rate + carry;
    return frame > INT64_MAX ? INT64_MAX : (int64_t)frame;
}

int64_t Time_Milliseconds(const Edit_Time* time)
{
    int64_t ms = time->whole * 1000;
    static const int64_t PLACE[3] = {100, 10, 1};
    for (int32_t k = 0; k < 3 && k < time->decimals; k++)
        ms += (time->fraction[k] - '0') * PLACE[k];
    if (time->decimals > 3 && time->fraction[3] >= '5')
        ms++;  // half a millisecond or more rounds away from zero
    return time->negative ? -ms : ms;
}

void Format_Seconds(const Edit_Time* time, char out[SECONDS_BUFFER])
{
    int n = snprintf(out, SECONDS_BUFFER, "%s%lld", time->negative ? "-" : "", (long long)time->whole);
    if (time->decimals > 0 && n > 0)
        (void)snprintf(out + n, (size_t)(SECONDS_BUFFER - n), ".%.*s", (int)time->decimals, time->fraction);
}
