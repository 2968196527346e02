#include "audio/audio.h"

// ---- header byte routines ----------------------------------------------------

int32_t Assem2(const uint8_t bytes[2])
{
    return bytes[0] + 256 * bytes[1];
}

int32_t Assem4(const uint8_t bytes[4])
{
    uint32_t value = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                     (uint32_t)bytes[3] << 24;
    return (int32_t)value;
}

void Decon2(uint32_t value, uint8_t bytes[2])
{
    bytes[0] = (uint8_t)(value & 0xFF);
    bytes[1] = (uint8_t)((value >> 8) & 0xFF);
}

void Decon4(int32_t value, uint8_t bytes[4])
{
    int32_t b3 = value / 16777216;
    int32_t b2 = (value - 16777216 * b3) / 65536;
    int32_t b1 = (value - 16777216 * b3 - 65536 * b2) / 256;
    bytes[3] = (uint8_t)b3;
    bytes[2] = (uint8_t)b2;
    bytes[1] = (uint8_t)b1;
    bytes[0] = (uint8_t)(value & 0xFF);
}

// ---- sample byte routines ----------------------------------------------------

void BITS16_TO_BYTES2(int32_t* low, int32_t* high, int32_t value)
{
    *high = value / 256;
    *low = value % 256;
}

void BITS24_TO_BYTES3(int32_t* low, int32_t* middle, int32_t* high, int32_t value)
{
    *high = value / 65536;
    *middle = (value % 65536) / 256;
    *low = value - 65536 * *high - 256 * *middle;
}

void TWOS_COMP16(int32_t* low, int32_t* high, int32_t sign)
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

void TWOS_COMP24(int32_t* low, int32_t* middle, int32_t* high, int32_t sign)
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
    if (bytes_per_sample != 2 && bytes_per_sample != 3)
        return;
    for (int32_t i = 0; i < frames; i++)
        samples[i] = Decode_Sample(bytes + i * bytes_per_sample, bytes_per_sample);
}

void CHAR_TO_NUM32_STEREO(const uint8_t* bytes, int32_t* left, int32_t* right,
                          int32_t bytes_per_sample, int32_t frames)
{
    if (bytes_per_sample != 2 && bytes_per_sample != 3)
        return;
    for (int32_t i = 0; i < frames; i++) {
        const uint8_t* frame = bytes + 2 * i * bytes_per_sample;
        left[i] = Decode_Sample(frame, bytes_per_sample);
        right[i] = Decode_Sample(frame + bytes_per_sample, bytes_per_sample);
    }
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

void NUM16STER_TO_CHAR(int32_t* left, int32_t* right, uint8_t* bytes, int32_t frames)
{
    for (int32_t i = 0; i < frames; i++) {
        bytes = Encode16(&left[i], bytes);
        bytes = Encode16(&right[i], bytes);
    }
}

void NUM24STER_TO_CHAR(int32_t* left, int32_t* right, uint8_t* bytes, int32_t frames)
{
    for (int32_t i = 0; i < frames; i++) {
        bytes = Encode24(&left[i], bytes);
        bytes = Encode24(&right[i], bytes);
    }
}
