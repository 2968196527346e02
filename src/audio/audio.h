// Audio processing: the PCM sample codec, block mixing and the crossfade engine, over
// the little-endian helpers of bytes.h. Sample values are int32_t on the 24-bit scale:
// a 24-bit sample holds its value, a 16-bit sample its value times 256. Buffers and
// arrays belong to the caller; a frame count of zero or less touches nothing.
#pragma once

#include <cstdint>

#include "bytes.h"

constexpr int32_t BLOCK_FRAMES = 1024;  // audio is mixed in blocks of at most this many frames

// Decoder: `frames` samples of PCM bytes (2 or 3 bytes each, channels interleaved or
// not; any other width touches nothing) into samples on the 24-bit scale.
void CHAR_TO_NUM32(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample, int32_t frames);

// Encoders: samples (16-bit encoders take the 16-bit scale, not times 256) into
// little-endian two's complement bytes, wrapping values outside the width. They use
// the input arrays as working storage: each negative entry x is left holding -x - 1.
void NUM16MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames);
void NUM24MONO_TO_CHAR(int32_t* samples, uint8_t* bytes, int32_t frames);

// The sample at `at` as a fraction of full scale: an integer of 2, 3 or 4 bytes over
// 2^(bits - 1) (so in [-1, 1)), a float as it is.
inline double Sample_At(const uint8_t* at, int32_t bytes_per_sample, int32_t is_float)
{
    if (is_float)
        return Assem_Float(at, bytes_per_sample);
    return Assem_Signed(at, bytes_per_sample) / (double)(1u << (8 * bytes_per_sample - 1));
}

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

// Crossfade status: 0 written; 1 previous take at fault; 2 next take at fault;
// 4 the request cannot be mixed (a format the mixer does not handle, or an unknown
// crossfade type); XF_SHRUNK with 1 or 2: that take's file holds fewer bytes of audio
// than its layout says (it was cut short after it was probed), and what was mixed is
// not the crossfade.
constexpr int32_t XF_OK = 0;
constexpr int32_t XF_PREVIOUS = 1;
constexpr int32_t XF_NEXT = 2;
constexpr int32_t XF_FORMAT = 4;
constexpr int32_t XF_SHRUNK = 16;

// Working storage of the crossfades of one track, owned by the caller: raw and mixed
// frames, and the gains of the track's crossfade, computed once (they depend only on
// the frame's place in the crossfade, its length and its type).
struct Fade_Work {
    uint8_t* previous;      // raw frames of the previous take, `chunk_frames` frames
    uint8_t* next;          // raw frames of the next take, likewise
    uint8_t* mixed;         // mixed frames, likewise
    int32_t chunk_frames;   // frames moved per read and write
    double* g_previous;     // gains of frames [0, cached) of the crossfade
    double* g_next;
    int32_t* samples;       // decoded samples of one block of both takes (16- and 24-bit; else nullptr)
    int32_t cached;
    int32_t type;
    int32_t length;         // frames
};

// Allocates the work areas for crossfades of `length` frames of curve `type` in samples
// of `bytes_per_sample` bytes and `channels` channels, and computes the gains that fit
// the cache.
void Fade_Work_Start(Fade_Work* work, int32_t bytes_per_sample, int32_t channels, int32_t type, int32_t length);
void Fade_Work_End(Fade_Work* work);

struct Wav_File;
struct Wav_Format;

// What CROSSFADE will answer for a crossfade of `length` frames of curve `type` centred
// on `previous_frame` and `next_frame` of takes laid out as `previous` and `next` (only
// their data offsets and file sizes are looked at): XF_OK when it can be mixed, else
// the status naming what is at fault. The plan asks it before the build; CROSSFADE asks
// it again of the files it is given, as its guard.
int32_t CROSSFADE_CHECK(int32_t previous_frame, int32_t next_frame, int32_t length, int32_t type,
                        const Wav_File* previous, const Wav_File* next, const Wav_Format* format);

// Mixes frames [first, first + frames) of the work's crossfade (counted from its start)
// from raw frames of the previous and the next take into `mixed`, all in `format`, with
// the work's gains: the build and the report's dry run mix through here alike, so they
// agree to the bit. `frames` may be up to the work's chunk_frames.
void FADE_MIX(Fade_Work* work, int32_t first, int32_t frames, const uint8_t* previous, const uint8_t* next,
              uint8_t* mixed, const Wav_Format* format);

// Mixes `work->length` frames centred on the edit (starting length/2 frames before the
// given frame positions) from the previous take fading out into the next take fading
// in, with the work's curve (1 equal-power, 2 linear, 3 cosine, 4 sine), and writes
// them as frames 0 on of `temp`'s data area; with `out`, the first `out_frames` of them
// also over frames [out_frame, out_frame + out_frames) of `out`, from the same memory
// (the output whose crossfade it is; nullptr: the temp file only). Frames past the end
// of a take's audio are mixed as silence. What CROSSFADE_CHECK refuses is answered with
// its status and nothing is written; the caller says what failed. A read or write
// failure ends the process.
int32_t CROSSFADE(int32_t previous_frame, int32_t next_frame, const Wav_File* previous, const Wav_File* next,
                  const Wav_File* temp, const Wav_File* out, int32_t out_frame, int32_t out_frames,
                  const Wav_Format* format, Fade_Work* work);
