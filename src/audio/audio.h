// Audio processing: little-endian byte routines, the PCM sample codec, block mixing and
// the crossfade engine. Sample values are int32_t on the 24-bit scale: a 24-bit sample
// holds its value, a 16-bit sample its value times 256. Buffers and arrays belong to
// the caller; a frame count of zero or less touches nothing.
#pragma once

#include <cstdint>

// Header field routines (little-endian, independent of the host's byte order).
int32_t Assem2(const uint8_t bytes[2]);          // bytes[0] + 256*bytes[1], 0..65535
int32_t Assem4(const uint8_t bytes[4]);          // four bytes as a signed 32-bit value
void Decon2(uint32_t value, uint8_t bytes[2]);   // low 16 bits, least significant first
void Decon4(int32_t value, uint8_t bytes[4]);    // value >= 0, least significant byte first

// Base-256 digits of a value >= 0 (truncating division, remainders keep the sign).
void BITS16_TO_BYTES2(int32_t* low, int32_t* high, int32_t value);
void BITS24_TO_BYTES3(int32_t* low, int32_t* middle, int32_t* high, int32_t value);
// Turns the digits of m = -x - 1 into the digits of x when sign is -1 (each d becomes
// -d - 1, whose low 8 bits are the complement of d's); sign +1 leaves them as they are
// but for folding a low digit above 127 (and a middle one, 24-bit) into -128..127.
void TWOS_COMP16(int32_t* low, int32_t* high, int32_t sign);
void TWOS_COMP24(int32_t* low, int32_t* middle, int32_t* high, int32_t sign);

// Decoders: `frames` frames of PCM bytes (2 or 3 bytes per sample; any other width
// touches nothing) into samples on the 24-bit scale.
void CHAR_TO_NUM32(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample, int32_t frames);
void CHAR_TO_NUM32_STEREO(const uint8_t* bytes, int32_t* left, int32_t* right,
                          int32_t bytes_per_sample, int32_t frames);

// Encoders: samples (16-bit encoders take the 16-bit scale, not times 256) into
// little-endian two's complement bytes, wrapping values outside the width. They use
// the input arrays as working storage: each negative entry x is left holding -x - 1.
void NUM16MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames);
void NUM24MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames);
void NUM16STER_TO_CHAR(int32_t* left, int32_t* right, uint8_t* bytes, int32_t frames);
void NUM24STER_TO_CHAR(int32_t* left, int32_t* right, uint8_t* bytes, int32_t frames);

// Gains of frames [first, first + frames) of a crossfade of `length` frames with curve
// `type` (1 equal-power, 2 linear, 3 cosine, 4 sine), at fade fraction t = j / length:
// g_previous[k] and g_next[k] belong to frame j = first + k. They depend only on j,
// length and type, so gains computed once for a whole crossfade are the same bits as
// gains computed block by block. Another type, or a length of zero or less, touches nothing.
void FADE_GAINS(int32_t type, int32_t first, int32_t length, int32_t frames, double* g_previous,
                double* g_next);

// Mixes `frames` frames of interleaved little-endian PCM, previous x g_previous[k] + next
// x g_next[k] for every channel of frame k, into `mixed` in the same format: 16-, 24- or
// 32-bit integer (is_float 0) or 32- or 64-bit IEEE float (is_float 1); any other format,
// or a channel count below 1, touches nothing. Integers are truncated toward zero and
// saturated at the width's limits; floats are rounded to nearest and not clamped. 16- and
// 24-bit mixing uses `samples`, the caller's working storage of 2 x frames x channels
// entries (left undefined); other formats leave it alone (it may be nullptr). frames x
// channels must fit in int32_t.
void MIX_BLOCK(const uint8_t* previous, const uint8_t* next, uint8_t* mixed, int32_t frames,
               const double* g_previous, const double* g_next, int32_t bytes_per_sample, int32_t channels,
               int32_t is_float, int32_t* samples);

// Crossfade status: 0 appended; 1 previous take at fault; 2 next take at fault;
// 3 temp crossfade file cannot be opened; 4 the request cannot be mixed (a format
// MIX_BLOCK does not handle, or an unknown crossfade type).
constexpr int32_t XF_OK = 0;
constexpr int32_t XF_PREVIOUS = 1;
constexpr int32_t XF_NEXT = 2;
constexpr int32_t XF_TEMP = 3;
constexpr int32_t XF_FORMAT = 4;

// Mixes `length` frames centred on the edit (starting length/2 frames before the
// given frame positions) from the previous take fading out into the next take fading
// in, with curve `type` (FADE_GAINS), in the takes' format (MIX_BLOCK; is_float 1 for
// IEEE float samples), and appends them as PCM to the temp crossfade file, which holds
// its header already. Frames past the end of a take are mixed as silence. On a nonzero
// status nothing is appended. A write failure ends the process. Its block buffers are
// allocated and freed by each call.
int32_t CROSSFADE(int32_t previous_frame, int32_t next_frame, int32_t length, int32_t type,
                  const char* previous_path, const char* next_path, const char* temp_path,
                  int32_t channels, int32_t bytes_per_sample, int32_t is_float);
