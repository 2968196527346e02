// Frames copied between WAV files at frame positions, silence written, and the read
// clamped at the end of a take's audio that every reader of audio uses.
#include <cstring>

#include "wav/wav.h"

// ---- frame copy and silence -------------------------------------------------------

int64_t Audio_Within(const Wav_File* file, int64_t byte_offset, int64_t bytes)
{
    int64_t audio = file->data_end - byte_offset;
    return audio < 0 ? 0 : audio > bytes ? bytes : audio;
}

int64_t Read_Audio(const Wav_File* file, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t audio = Audio_Within(file, byte_offset, bytes);
    int64_t got = audio > 0 ? Stream_Read_At(&file->stream, byte_offset, buffer, audio) : 0;
    if (got < bytes)
        memset(buffer + got, 0, (size_t)(bytes - got));
    return got;
}

int32_t INSERT_FILE(const Wav_File* dest, const Wav_File* source, int32_t dest_frame, int32_t frame_size,
                    int32_t frames, int32_t source_frame, uint8_t* buffer)
{
    // Whole frames per read, as many as the buffer holds.
    int64_t chunk = COPY_BYTES / frame_size * frame_size;
    int64_t total = (int64_t)frames * frame_size;
    int64_t from = source->data_offset + (int64_t)source_frame * frame_size;
    int64_t to = dest->data_offset + (int64_t)dest_frame * frame_size;
    int64_t held = 0;
    for (int64_t done = 0; done < total; done += chunk) {
        int64_t n = total - done < chunk ? total - done : chunk;
        held += Read_Audio(source, from + done, buffer, n);
        Stream_Write_At(&dest->stream, to + done, buffer, n);
    }
    return (int32_t)(held / frame_size);
}

void PAD_FILE(const Wav_File* dest, int32_t start_frame, int32_t frame_size, int32_t frames, const uint8_t* zeros)
{
    int64_t chunk = COPY_BYTES / frame_size * frame_size;
    int64_t total = (int64_t)frames * frame_size;
    int64_t to = dest->data_offset + (int64_t)start_frame * frame_size;
    for (int64_t done = 0; done < total; done += chunk) {
        int64_t n = total - done < chunk ? total - done : chunk;
        Stream_Write_At(&dest->stream, to + done, zeros, n);
    }
}
