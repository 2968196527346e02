#include <cmath>
#include <cstring>

#include "audio/audio.h"

// A quarter turn to ten decimals. The curves are defined with this constant, not with
// full-precision pi/2, and outputs must stay bit-identical, so it is kept as written.
constexpr double QUARTER_TURN = 1.570796327;

// ---- gains -------------------------------------------------------------------

// Gains of the previous take (fading out) and the next take (fading in) at fade
// fraction t. For types 2 to 4 the next take's gain is 1 minus the rounded gP.
static void Gains(int32_t type, double t, double* g_previous, double* g_next)
{
    double angle = t * QUARTER_TURN;
    switch (type) {
    case 1:  // equal power; glibc's sin and cos give the same bits as its sincos
        *g_previous = cos(angle);
        *g_next = sin(angle);
        return;
    case 2:
        *g_previous = 1.0 - t;
        break;
    case 3:
        *g_previous = cos(angle);
        break;
    default:  // 4
        *g_previous = 1.0 - sin(angle);
        break;
    }
    *g_next = 1.0 - *g_previous;
}

void FADE_GAINS(int32_t type, int32_t first, int32_t length, int32_t frames, double* g_previous, double* g_next)
{
    if (type < 1 || type > 4 || length <= 0)
        return;
    for (int32_t k = 0; k < frames; k++) {
        // t counts across blocks: frame j of the crossfade has t = j / length.
        double t = (double)((int64_t)first + k) / (double)length;
        Gains(type, t, &g_previous[k], &g_next[k]);
    }
}

// ---- mixing ------------------------------------------------------------------

// Calls mix_one(i, gP, gN) for sample i = k * channels + c of every frame k and channel
// c: one frame loop for every format, and every channel of a frame has its gains.
template <typename Mix_One>
static void Each_Sample(int32_t frames, int32_t channels, const double* g_previous, const double* g_next,
                        Mix_One mix_one)
{
    int64_t i = 0;
    for (int32_t k = 0; k < frames; k++) {
        double g_p = g_previous[k], g_n = g_next[k];
        for (int32_t c = 0; c < channels; c++, i++)
            mix_one(i, g_p, g_n);
    }
}

// m = N x gN + P x gP: each product rounded on its own, then the sum (the build keeps
// the compiler from fusing a product into the sum).
static double Mix(double next, double previous, double g_next, double g_previous)
{
    double product_next = next * g_next;
    double product_previous = previous * g_previous;
    return product_next + product_previous;
}

// m truncated toward zero and saturated at [low, high]: a loud mix past full scale stays
// at full scale instead of wrapping to the other sign. The bounds are tested in double,
// as converting a double outside int32_t's range is undefined.
static int32_t Truncate_Saturated(double m, double low, double high)
{
    if (m > high)
        return (int32_t)high;
    if (m < low)
        return (int32_t)low;
    return (int32_t)m;
}

void MIX_BLOCK(const uint8_t* previous, const uint8_t* next, uint8_t* mixed, int32_t frames,
               const double* g_previous, const double* g_next, int32_t bytes_per_sample, int32_t channels,
               int32_t is_float, int32_t* samples)
{
    if (frames <= 0 || channels <= 0)
        return;
    int32_t count = frames * channels;  // samples in the block
    if (!is_float && (bytes_per_sample == 2 || bytes_per_sample == 3)) {
        // The codec reads interleaved samples as one stream onto the 24-bit scale.
        int32_t* p = samples;
        int32_t* n = samples + count;
        CHAR_TO_NUM32(previous, p, bytes_per_sample, count);
        CHAR_TO_NUM32(next, n, bytes_per_sample, count);
        // The mixed values are saturated, so within the width: their two's complement low
        // bytes, stored directly, are what the codec's encoders write for them.
        if (bytes_per_sample == 2) {
            // Brought back from the 24-bit scale before truncation.
            Each_Sample(frames, channels, g_previous, g_next, [&](int64_t i, double g_p, double g_n) {
                int32_t m = Truncate_Saturated(Mix(n[i], p[i], g_n, g_p) * 0.00390625, -32768.0, 32767.0);
                mixed[2 * i] = (uint8_t)m;
                mixed[2 * i + 1] = (uint8_t)(m >> 8);
            });
        } else {
            Each_Sample(frames, channels, g_previous, g_next, [&](int64_t i, double g_p, double g_n) {
                int32_t m = Truncate_Saturated(Mix(n[i], p[i], g_n, g_p), -8388608.0, 8388607.0);
                mixed[3 * i] = (uint8_t)m;
                mixed[3 * i + 1] = (uint8_t)(m >> 8);
                mixed[3 * i + 2] = (uint8_t)(m >> 16);
            });
        }
    } else if (!is_float && bytes_per_sample == 4) {
        Each_Sample(frames, channels, g_previous, g_next, [&](int64_t i, double g_p, double g_n) {
            double m = Mix(Assem4(next + 4 * i), Assem4(previous + 4 * i), g_n, g_p);
            Decon4((uint32_t)Truncate_Saturated(m, -2147483648.0, 2147483647.0), mixed + 4 * i);
        });
    } else if (is_float && bytes_per_sample == 4) {
        // Rounded to the nearest float; a mix past the largest float becomes infinity.
        Each_Sample(frames, channels, g_previous, g_next, [&](int64_t i, double g_p, double g_n) {
            float m = (float)Mix(Assem_Float(next + 4 * i, 4), Assem_Float(previous + 4 * i, 4), g_n, g_p);
            uint32_t bits;
            memcpy(&bits, &m, 4);
            Decon4(bits, mixed + 4 * i);
        });
    } else if (is_float && bytes_per_sample == 8) {
        Each_Sample(frames, channels, g_previous, g_next, [&](int64_t i, double g_p, double g_n) {
            double m = Mix(Assem_Float(next + 8 * i, 8), Assem_Float(previous + 8 * i, 8), g_n, g_p);
            uint64_t bits;
            memcpy(&bits, &m, 8);
            Decon8(bits, mixed + 8 * i);
        });
    }
}
