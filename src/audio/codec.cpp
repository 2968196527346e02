#include "audio/audio.h"

// ---- sample byte routines ----------------------------------------------------

// Base-256 digits of a value >= 0 (truncating division, remainders keep the sign).
static void BITS16_TO_BYTES2(int32_t* low, int32_t* high, int32_t value)
{
    *high = value / 256;
    *low = value % 256;
}

static void BITS24_TO_BYTES3(int32_t* low, int32_t* middle, int32_t* high, int32_t value)
{
    *high = value / 65536;
    *middle = (value % 65536) / 256;
    *low = value - 65536 * *high - 256 * *middle;
}

// Turns the digits of m = -x - 1 into the digits of x when sign is -1 (each d becomes
// -d - 1, whose low 8 bits are the complement of d's); sign +1 leaves them as they are
// but for folding a low digit above 127 (and a middle one, 24-bit) into -128..127.
static void TWOS_COMP16(int32_t* low, int32_t* high, int32_t sign)
{
    if (*low > 127)
        *low -= 256;
    *high *= sign;
    *low *= sign;
    if (sign < 0) {
        *high -= 1;
        *low -= 1;
    }
}

static void TWOS_COMP24(int32_t* low, int32_t* middle, int32_t* high, int32_t sign)
{
    // The high digit is not folded: only its low 8 bits are ever written.
    if (*low > 127)
        *low -= 256;
    if (*middle > 127)
        *middle -= 256;
    *low *= sign;
    *middle *= sign;
    *high *= sign;
    if (sign < 0) {
        *low -= 1;
        *middle -= 1;
        *high -= 1;
    }
}

// ---- decoders ----------------------------------------------------------------

// One sample of `bytes_per_sample` bytes (2 or 3) on the 24-bit scale: a 16-bit
// sample is read as the upper two bytes of a 24-bit one whose low byte is zero.
static int32_t Decode_Sample(const uint8_t* at, int32_t bytes_per_sample)
{
    if (bytes_per_sample == 3)
        return at[0] + 256 * at[1] + 65536 * (int8_t)at[2];
    return 256 * (at[0] + 256 * (int8_t)at[1]);
}

void CHAR_TO_NUM32(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample, int32_t frames)
{
    // The width is chosen once, so that each loop sees a constant.
    if (bytes_per_sample == 3)
        for (int32_t i = 0; i < frames; i++)
            samples[i] = Decode_Sample(bytes + i * 3, 3);
    else if (bytes_per_sample == 2)
        for (int32_t i = 0; i < frames; i++)
            samples[i] = Decode_Sample(bytes + i * 2, 2);
}


// ---- encoders ----------------------------------------------------------------

// Splits a negative sample into the digits of its complement and flips them back, so
// the digits' low 8 bits are the two's complement bytes; the array entry keeps the
// complement (-x - 1), which callers may observe.
static int32_t Sign_Of(int32_t* sample)
{
    if (*sample >= 0)
        return 1;
    *sample = ~*sample;  // -x - 1, without overflow at the most negative value
    return -1;
}

static uint8_t* Encode16(int32_t* sample, uint8_t* out)
{
    int32_t sign = Sign_Of(sample);
    int32_t low, high;
    BITS16_TO_BYTES2(&low, &high, *sample);
    TWOS_COMP16(&low, &high, sign);
    out[0] = (uint8_t)(low & 0xFF);
    out[1] = (uint8_t)(high & 0xFF);
    return out + 2;
}

static uint8_t* Encode24(int32_t* sample, uint8_t* out)
{
    int32_t sign = Sign_Of(sample);
    int32_t low, middle, high;
    BITS24_TO_BYTES3(&low, &middle, &high, *sample);
    TWOS_COMP24(&low, &middle, &high, sign);
    out[0] = (uint8_t)(low & 0xFF);
    out[1] = (uint8_t)(middle & 0xFF);
    out[2] = (uint8_t)(high & 0xFF);
    return out + 3;
}

void NUM16MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames)
{
    for (int32_t i = 0; i < frames; i++)
        bytes = Encode16(&samples[i], bytes);
}

void NUM24MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames)
{
    for (int32_t i = 0; i < frames; i++)
        bytes = Encode24(&samples[i], bytes);
}
