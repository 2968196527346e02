#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "fail.h"
#include "wav/wav.h"

// Gains kept for the whole crossfade up to this many frames (1 MiB); a longer
// crossfade computes the rest block by block.
constexpr int32_t GAIN_CACHE_FRAMES = 65536;

void Fade_Work_Start(Fade_Work* work, int32_t bytes_per_sample, int32_t channels, int32_t type, int32_t length)
{
    int32_t frame_size = bytes_per_sample * channels;
    int32_t chunk_frames = COPY_BYTES / frame_size > 0 ? COPY_BYTES / frame_size : 1;
    int32_t cached = length < GAIN_CACHE_FRAMES ? (length > 0 ? length : 0) : GAIN_CACHE_FRAMES;
    work->previous = Block_Alloc((int64_t)chunk_frames * frame_size);
    work->next = Block_Alloc((int64_t)chunk_frames * frame_size);
    work->mixed = Block_Alloc((int64_t)chunk_frames * frame_size);
    work->chunk_frames = chunk_frames;
    // Past the cached frames, one block of gains at a time is computed behind them.
    work->g_previous = (double*)Block_Alloc((int64_t)(cached + BLOCK_FRAMES) * (int64_t)sizeof(double));
    work->g_next = (double*)Block_Alloc((int64_t)(cached + BLOCK_FRAMES) * (int64_t)sizeof(double));
    // Decoded samples of both takes for one block, which only 16- and 24-bit mixing needs
    // (frame_size / 2 is at least the channel count there).
    work->samples = bytes_per_sample < 4 ? (int32_t*)Block_Alloc(2 * (int64_t)BLOCK_FRAMES * (frame_size / 2) *
                                                                 (int64_t)sizeof(int32_t))
                                         : nullptr;
    work->cached = cached;
    work->type = type;
    work->length = length;
    if (type >= 1 && type <= 4)
        FADE_GAINS(type, 0, length, cached, work->g_previous, work->g_next);
}

void Fade_Work_End(Fade_Work* work)
{
    free(work->previous);
    free(work->next);
    free(work->mixed);
    free(work->g_previous);
    free(work->g_next);
    free(work->samples);
    *work = Fade_Work{};
}

// Byte offsets where a crossfade of `length` frames centred on `frame` begins in `take`:
// half of it (truncated toward zero) before the frame.
static int64_t Fade_Start(const Wav_File* take, int32_t frame, int32_t length, const Wav_Format* format)
{
    return take->data_offset + Frame_Size(format) * ((int64_t)frame - length / 2);
}

int32_t CROSSFADE_CHECK(int32_t previous_frame, int32_t next_frame, int32_t length, int32_t type,
                        const Wav_File* previous, const Wav_File* next, const Wav_Format* format)
{
    // Only the starts are checked (both bounds inclusive); frames past a take's audio
    // are mixed as silence.
    int64_t start_previous = Fade_Start(previous, previous_frame, length, format);
    int64_t start_next = Fade_Start(next, next_frame, length, format);
    if (start_previous > previous->file_bytes || start_previous < previous->data_offset)
        return XF_PREVIOUS;
    if (start_next > next->file_bytes || start_next < next->data_offset)
        return XF_NEXT;
    if (length <= 0)
        return XF_OK;  // nothing to mix, whatever the format
    int32_t bytes_per_sample = format->bytes_per_sample;
    bool mixable = format->channels >= 1 && (format->is_float ? bytes_per_sample == 4 || bytes_per_sample == 8
                                                              : bytes_per_sample >= 2 && bytes_per_sample <= 4);
    if (!mixable || type < 1 || type > 4)
        return XF_FORMAT;
    return XF_OK;
}

int32_t CROSSFADE(int32_t previous_frame, int32_t next_frame, const Wav_File* previous, const Wav_File* next,
                  const Wav_File* temp, const Wav_File* out, int32_t out_frame, int32_t out_frames,
                  const Wav_Format* format, Fade_Work* work)
{
    int32_t length = work->length;
    int32_t status = CROSSFADE_CHECK(previous_frame, next_frame, length, work->type, previous, next, format);
    if (status != XF_OK || length <= 0)
        return status;
    int64_t frame_size = Frame_Size(format);
    int64_t start_previous = Fade_Start(previous, previous_frame, length, format);
    int64_t start_next = Fade_Start(next, next_frame, length, format);

    // 64 bits: the last step may pass 2^31 - 1 when the crossfade nearly reaches it.
    for (int64_t j0 = 0; j0 < length; j0 += work->chunk_frames) {
        int32_t n = (int32_t)(length - j0 < work->chunk_frames ? length - j0 : work->chunk_frames);
        int64_t n_bytes = n * frame_size;
        if (Read_Audio(previous, start_previous + j0 * frame_size, work->previous, n_bytes) <
            Audio_Within(previous, start_previous + j0 * frame_size, n_bytes))
            return XF_SHRUNK | XF_PREVIOUS;
        if (Read_Audio(next, start_next + j0 * frame_size, work->next, n_bytes) <
            Audio_Within(next, start_next + j0 * frame_size, n_bytes))
            return XF_SHRUNK | XF_NEXT;
        FADE_MIX(work, (int32_t)j0, n, work->previous, work->next, work->mixed, format);
        Stream_Write_At(&temp->stream, temp->data_offset + j0 * frame_size, work->mixed, n_bytes);
        int64_t over = out == nullptr ? 0 : out_frames - j0 < n ? out_frames - j0 : n;
        if (over > 0)
            Stream_Write_At(&out->stream, out->data_offset + (out_frame + j0) * frame_size, work->mixed, over * frame_size);
    }
    return XF_OK;
}

void FADE_MIX(Fade_Work* work, int32_t first, int32_t frames, const uint8_t* previous, const uint8_t* next,
              uint8_t* mixed, const Wav_Format* format)
{
    int64_t frame_size = Frame_Size(format);
    for (int32_t k0 = 0; k0 < frames; k0 += BLOCK_FRAMES) {
        int32_t m = frames - k0 < BLOCK_FRAMES ? frames - k0 : BLOCK_FRAMES;
        int32_t j = first + k0;
        const double* g_previous = work->g_previous + j;
        const double* g_next = work->g_next + j;
        if (j + m > work->cached) {
            // Past the cached gains: this block's, computed behind them.
            FADE_GAINS(work->type, j, work->length, m, work->g_previous + work->cached, work->g_next + work->cached);
            g_previous = work->g_previous + work->cached;
            g_next = work->g_next + work->cached;
        }
        int64_t at = k0 * frame_size;
        MIX_BLOCK(previous + at, next + at, mixed + at, m, g_previous, g_next, format->bytes_per_sample,
                  format->channels, format->is_float, work->samples);
    }
}
