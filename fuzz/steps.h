// The steps the fuzz targets take with one input, shared with the test suite, which
// replays the inputs kept in fuzz/regressions through them. A refusal ends the process
// (or, under the fuzzer, throws); a fault the steps find themselves aborts.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "driver/driver.h"
#include "fail.h"
#include "wav/wav.h"

// A fuzz input of the job-file target cut into the job it stands for, as libFuzzer's
// FuzzedDataProvider cuts it (so that kept inputs keep their meaning): integers from
// the end (the bytes their range needs), then strings from the front, in which "\\" is
// "\" and "\" followed by another byte ends the string, then the rest.
struct Job_Input {
    int32_t rate;         // 1 to 400000
    int32_t take_frames;  // 0 to INT32_MAX / 8
    bool with_rc;
    std::string rc, base, points;
};

inline Job_Input Cut_Job_Input(const uint8_t* data, size_t size)
{
    size_t front = 0, back = size;
    auto integer = [&](uint64_t range) {
        uint64_t value = 0;
        for (int shift = 0; (range >> shift) > 0 && back > front; shift += 8)
            value = value << 8 | data[--back];
        return (int32_t)(value % (range + 1));
    };
    auto text = [&](size_t longest) {
        std::string cut;
        while (cut.size() < longest && front < back) {
            char next = (char)data[front++];
            if (next == '\\' && front < back && (next = (char)data[front++]) != '\\')
                break;
            cut += next;
        }
        return cut;
    };
    Job_Input in;
    in.rate = 1 + integer(399999);
    in.take_frames = integer(INT32_MAX / 8);
    in.with_rc = (integer(255) & 1) != 0;
    in.rc = text(1100);
    in.base = text(40000);
    in.points.assign((const char*)data + front, back - front);
    return in;
}

// tavlinrc.txt, base.txt and points.txt as written in the working folder: the readers,
// the job checks and the plan, with every take `take_frames` frames of 24-bit stereo at
// `rate` behind a 44-byte header. `job` may hold the tables of an earlier input (a
// refusal leaves them): they are released first.
inline void Fuzz_Job_Steps(Job* job, int32_t rate, int32_t take_frames)
{
    Free_Job(job);
    memset(job, 0, sizeof *job);
    Settle_Names(job);
    Check_RC(job->xf_type, job->xf_length, &job->all_type, &job->all_length, job->xf_line, &job->all_line);
    ReadBaseFile(&job->track_count, job->base_names, NAME_SLOT, job->base_lines);
    ReadEditFile(&job->edit_count, job->take_suffixes, NAME_SLOT, job->edit_times);
    Prepare_Job(job);
    if (job->track_count > 0)
        job->takes = (Take_Info*)Block_Alloc((int64_t)job->track_count * job->take_count * (int64_t)sizeof(Take_Info));
    for (int32_t t = 0; t < job->track_count; t++) {
        job->tracks[t].format = Wav_Format{rate, 24, 3, 2, 0, 24, 0};
        job->tracks[t].longest = take_frames;
        for (int32_t k = 0; k < job->take_count; k++) {
            Take_Info* take = &job->takes[(size_t)t * job->take_count + k];
            take->format = job->tracks[t].format;
            take->frames = take_frames;
            take->data_offset = 44;
            take->data_end = take->file_bytes = 44 + (int64_t)take_frames * 6;
        }
    }
    Plan_Edits(job);
    Print_Matrix(job);
}

// What one probe input holds while its steps run, released however they end: under the
// fuzzer a refusal is thrown from deep inside the steps, and one fuzzing process tries
// millions of inputs.
struct Probe_Hold {
    uint8_t* buffer = nullptr;
    Stream streams[3] = {{-1, nullptr}, {-1, nullptr}, {-1, nullptr}};
    Fade_Work work{};
    ~Probe_Hold()
    {
        Fade_Work_End(&work);
        free(buffer);
        for (Stream& stream : streams)
            if (stream.fd >= 0)
                Stream_Close_Unwritten(&stream);
    }
};

// take.wav in the working folder: the probe and, for a take it accepts, a frame copy into
// an output carrying its chunks (as with --keep-metadata), a pad and a crossfade of the
// take with itself; the output must read back as the format and length it declares.
inline void Fuzz_Probe_Steps()
{
    Take_Info takes[1];
    GET_ATTRIBUTES(0, "take.wav", takes);
    const Take_Info& take = takes[0];
    Wav_Format format = take.format;
    // Keep the work per input small: big frames or counts add nothing new.
    if (format.channels > 8)
        return;
    Probe_Hold hold;
    int32_t count = take.frames < 3000 ? take.frames : 3000;
    int32_t frame_size = Frame_Size(&format);
    hold.buffer = Block_Alloc(COPY_BYTES);
    hold.streams[0] = Stream_Open_Probed("take.wav", &take.identity);
    Wav_File in{hold.streams[0], take.data_offset, take.data_end, take.file_bytes};
    Chunk_Span carried[2] = {take.bext, take.ixml};
    hold.streams[1] = Stream_Create("out.wav");
    Wav_File out{hold.streams[1], WRITE_HEADER(&hold.streams[1], &format, count, &in.stream, carried, 2), INT64_MAX, 0};
    INSERT_FILE(&out, &in, 0, frame_size, count + 5, 0, hold.buffer);
    memset(hold.buffer, 0, COPY_BYTES);
    PAD_FILE(&out, count / 2, frame_size, 7, hold.buffer);
    hold.streams[2] = Stream_Create("fade.wav");
    Wav_File fade{hold.streams[2], WRITE_HEADER(&hold.streams[2], &format, count, nullptr, nullptr, 0), INT64_MAX, 0};
    Fade_Work_Start(&hold.work, format.bytes_per_sample, format.channels, 1 + count % 4, count);
    (void)CROSSFADE(count / 2, count / 2, &in, &in, &fade, nullptr, 0, 0, &format, &hold.work);
    Stream_Close_Written(&hold.streams[2]);
    Stream_Close_Written(&hold.streams[1]);
    Take_Info back[1];
    GET_ATTRIBUTES(0, "out.wav", back);
    if (back[0].frames != count || back[0].format.channels != format.channels ||
        back[0].format.is_float != format.is_float)
        abort();
}
