// Fuzzes the take probe on arbitrary bytes and, for takes it accepts, a frame copy,
// a pad and a crossfade of the take with itself.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "fail.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/tavlin-fuzz-probe-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen("take.wav", "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    Take_Info takes[1];
    try {
        GET_ATTRIBUTES(0, "take.wav", takes);
        const Take_Info& take = takes[0];
        Wav_Format format = take.format;
        // Keep the work per input small: big frames or counts add nothing new.
        if (format.channels > 8)
            return 0;
        int32_t count = take.frames < 3000 ? take.frames : 3000;
        int32_t frame_size = format.bytes_per_sample * format.channels;
        uint8_t* buffer = Block_Alloc(COPY_BYTES);
        Stream source = Stream_Open_Read("take.wav");
        Wav_File in{source, take.data_offset, take.data_end, take.file_bytes};
        Stream out_stream = Stream_Create("out.wav");
        Wav_File out{out_stream, WRITE_HEADER(&out_stream, &format, count, &source, &take.bext, take.bext.bytes ? 1 : 0),
                     INT64_MAX, 0};
        INSERT_FILE(&out, &in, 0, frame_size, count + 5, 0, buffer);
        memset(buffer, 0, COPY_BYTES);
        PAD_FILE(&out, count / 2, frame_size, 7, buffer);
        Stream fade_stream = Stream_Create("fade.wav");
        Wav_File fade{fade_stream, WRITE_HEADER(&fade_stream, &format, count, nullptr, nullptr, 0), INT64_MAX, 0};
        Fade_Work work;
        Fade_Work_Start(&work, frame_size, 1 + count % 4, count);
        (void)CROSSFADE(count / 2, count / 2, &in, &in, &fade, &format, &work);
        Fade_Work_End(&work);
        Stream_Close_Written(&fade.stream);
        Stream_Close_Written(&out.stream);
        Stream_Close_Unwritten(&in.stream);
        free(buffer);
    } catch (const Refusal&) {
        // A refused take is an answer, not a fault.
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen("take.wav", "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    int32_t channels[1], offset[1], rate[1], frames[1], bytes[1], bits[1];
    try {
        GET_ATTRIBUTES(0, "take.wav", channels, offset, rate, frames, bytes, bits);
        // Keep the work per input small: big frames or counts add nothing new.
        if (channels[0] > 8)
            return 0;
        int32_t count = frames[0] < 3000 ? frames[0] : 3000;
        MAKE_HEADER("out.wav", rate[0], bits[0], count, (uint16_t)channels[0]);
        INSERT_FILE("out.wav", "take.wav", 0, bytes[0], channels[0], count + 5, 0);
        PAD_FILE("out.wav", count / 2, bytes[0], channels[0], 7);
        MAKE_HEADER("fade.wav", rate[0], bits[0], count, (uint16_t)channels[0]);
        (void)CROSSFADE(count / 2, count / 2, count, 1 + count % 4, "take.wav", "take.wav", "fade.wav",
                        channels[0], bytes[0], 0);
    } catch (const Refusal&) {
        // A refused take is an answer, not a fault.
    }
    return 0;
}
