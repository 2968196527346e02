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
        Wav_File in{Stream_Open_Read("take.wav"), take.data_offset, take.data_end, take.file_bytes};
        // The output carries the take's chunks, as with --keep-metadata.
        Chunk_Span carried[2] = {take.bext, take.ixml};
        Stream out_stream = Stream_Create("out.wav");
        Wav_File out{out_stream, WRITE_HEADER(&out_stream, &format, count, &in.stream, carried, 2), INT64_MAX, 0};
        INSERT_FILE(&out, &in, 0, frame_size, count + 5, 0, buffer);
        memset(buffer, 0, COPY_BYTES);
        PAD_FILE(&out, count / 2, frame_size, 7, buffer);
        Stream fade_stream = Stream_Create("fade.wav");
        Wav_File fade{fade_stream, WRITE_HEADER(&fade_stream, &format, count, nullptr, nullptr, 0), INT64_MAX, 0};
        Fade_Work work;
        Fade_Work_Start(&work, format.bytes_per_sample, format.channels, 1 + count % 4, count);
        (void)CROSSFADE(count / 2, count / 2, &in, &in, &fade, &format, &work);
        Fade_Work_End(&work);
        Stream_Close_Written(&fade.stream);
        Stream_Close_Written(&out.stream);
        Stream_Close_Unwritten(&in.stream);
        free(buffer);
        // What was written must read back as the format and length it declares.
        Take_Info back[1];
        GET_ATTRIBUTES(0, "out.wav", back);
        if (back[0].frames != count || back[0].format.channels != format.channels ||
            back[0].format.is_float != format.is_float)
            abort();
    } catch (const Refusal&) {
        // A refused take is an answer, not a fault.
    }
    return 0;
}
