#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "fail.h"
#include "wav/wav.h"

// The engine finds each take's data area itself, looking this far for the tag.
constexpr int32_t CROSSFADE_TAG_LIMIT = 131072;

static int64_t File_Size(Stream* stream)
{
    if (fseek(stream->file, 0, SEEK_END) != 0)
        FAIL(">> Cannot seek in %s, exiting\n", stream->path);
    long size = ftell(stream->file);
    if (size < 0)
        FAIL(">> Cannot read %s, exiting\n", stream->path);
    stream->position = size;
    return size;
}

// Reads `bytes` bytes from `start` on; those at or past `data_end` become silence.
static void Read_Audio(Stream* take, int64_t start, int64_t data_end, uint8_t* raw, int32_t bytes)
{
    Stream_Seek(take, start);
    (void)Stream_Read(take, raw, bytes);  // zeros past the end of the file
    int64_t audio = data_end - start;
    if (audio < bytes)
        memset(raw + (audio > 0 ? audio : 0), 0, (size_t)(bytes - (audio > 0 ? audio : 0)));
}

static void Close_All(Stream* previous, Stream* next, Stream* temp)
{
    Stream_Close_Unwritten(previous);
    Stream_Close_Unwritten(next);
    Stream_Close_Unwritten(temp);
}

int32_t CROSSFADE(int32_t previous_frame, int32_t next_frame, int32_t length, int32_t type,
                  const char* previous_path, const char* next_path, const char* temp_path,
                  int32_t channels, int32_t bytes_per_sample, int32_t is_float)
{
    // All three are opened before any is tested, so the status names the first at fault.
    Stream previous = Stream_Try_Open(previous_path, "rb");
    Stream next = Stream_Try_Open(next_path, "rb");
    Stream temp = Stream_Try_Open(temp_path, "ab");
    int32_t status = previous.file == nullptr ? XF_PREVIOUS
                     : next.file == nullptr   ? XF_NEXT
                     : temp.file == nullptr   ? XF_TEMP
                                              : XF_OK;
    if (status != XF_OK) {
        Stream* opened[3] = {&previous, &next, &temp};
        for (Stream* s : opened)
            if (s->file != nullptr)
                Stream_Close_Unwritten(s);
        return status;
    }

    int64_t previous_size = File_Size(&previous);
    int64_t next_size = File_Size(&next);
    Stream* takes[2] = {&previous, &next};
    int64_t sizes[2] = {previous_size, next_size};
    int64_t offsets[2], data_ends[2];
    for (int k = 0; k < 2; k++) {
        int64_t tag = FIND_TAG(takes[k]->file, takes[k]->path, "data", 4, CROSSFADE_TAG_LIMIT);
        if (tag < 0) {
            puts("Data block not found error");
            Close_All(&previous, &next, &temp);
            return k == 0 ? XF_PREVIOUS : XF_NEXT;
        }
        takes[k]->position = -1;
        offsets[k] = tag + 8;
        // Where the audio ends: chunks after the data area (tags, markers) are no audio
        // and are mixed as silence, like the frames past the end of the file.
        uint8_t size_field[4];
        Stream_Seek(takes[k], tag + 4);
        (void)Stream_Read(takes[k], size_field, 4);
        int64_t end = offsets[k] + (uint32_t)Assem4(size_field);
        data_ends[k] = end < sizes[k] ? end : sizes[k];
    }

    // Only the starts are checked (both bounds inclusive); frames past a take's end
    // are mixed as silence.
    int64_t frame_size = (int64_t)channels * bytes_per_sample;
    int32_t half = length / 2;
    int64_t start_previous = offsets[0] + frame_size * ((int64_t)previous_frame - half);
    int64_t start_next = offsets[1] + frame_size * ((int64_t)next_frame - half);
    if (start_previous > previous_size || start_previous < offsets[0]) {
        puts("Invalid crossfade for destination file");
        Close_All(&previous, &next, &temp);
        return XF_PREVIOUS;
    }
    if (start_next > next_size || start_next < offsets[1]) {
        puts("Invalid crossfade for source file");
        Close_All(&previous, &next, &temp);
        return XF_NEXT;
    }
    if (length <= 0) {
        Close_All(&previous, &next, &temp);
        return XF_OK;  // nothing to mix, whatever the format
    }
    bool mixable = channels >= 1 && (is_float ? bytes_per_sample == 4 || bytes_per_sample == 8
                                              : bytes_per_sample >= 2 && bytes_per_sample <= 4);
    if (!mixable || type < 1 || type > 4) {
        if (!mixable)
            printf(">> Cannot crossfade %i-bit %saudio with %i channels\n", 8 * bytes_per_sample,
                   is_float ? "float " : "", channels);
        else
            printf(">> Unknown crossfade type %i\n", type);
        Close_All(&previous, &next, &temp);
        return XF_FORMAT;
    }

    // One block of each take, the mixed block and, for 16- and 24-bit audio, the
    // decoded samples of both takes: sized by the frame, whatever the length.
    uint8_t* raw_previous = Block_Alloc(BLOCK_FRAMES * frame_size);
    uint8_t* raw_next = Block_Alloc(BLOCK_FRAMES * frame_size);
    uint8_t* mixed_bytes = Block_Alloc(BLOCK_FRAMES * frame_size);
    int32_t* samples = nullptr;
    if (bytes_per_sample < 4)
        samples = (int32_t*)Block_Alloc(2 * (int64_t)BLOCK_FRAMES * channels * (int64_t)sizeof(int32_t));
    double g_previous[BLOCK_FRAMES], g_next[BLOCK_FRAMES];

    for (int32_t j0 = 0; j0 < length; j0 += BLOCK_FRAMES) {
        int32_t n = length - j0 < BLOCK_FRAMES ? length - j0 : BLOCK_FRAMES;
        int32_t n_bytes = (int32_t)(n * frame_size);
        Read_Audio(&previous, start_previous, data_ends[0], raw_previous, n_bytes);
        Read_Audio(&next, start_next, data_ends[1], raw_next, n_bytes);
        FADE_GAINS(type, j0, length, n, g_previous, g_next);
        MIX_BLOCK(raw_previous, raw_next, mixed_bytes, n, g_previous, g_next, bytes_per_sample, channels, is_float,
                  samples);
        start_previous += n_bytes;
        start_next += n_bytes;
        Stream_Write(&temp, mixed_bytes, n_bytes);
    }
    free(raw_previous);
    free(raw_next);
    free(mixed_bytes);
    free(samples);
    Stream_Close_Written(&temp);
    Stream_Close_Unwritten(&previous);
    Stream_Close_Unwritten(&next);
    return XF_OK;
}
