#include "wav/wav.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "fail.h"

// ---- streams ---------------------------------------------------------------

Stream Stream_Try_Open(const char* path, const char* mode)
{
    Stream stream{fopen(path, mode), path, 0, nullptr};
    if (stream.file == nullptr)
        return stream;
    stream.buffer = (char*)malloc(STREAM_BUFFER_BYTES);
    // Without its own buffer the stream keeps stdio's default one: slower, still correct.
    if (stream.buffer != nullptr && setvbuf(stream.file, stream.buffer, _IOFBF, STREAM_BUFFER_BYTES) != 0) {
        free(stream.buffer);
        stream.buffer = nullptr;
    }
    return stream;
}

Stream Stream_Open(const char* path, const char* mode)
{
    Stream stream = Stream_Try_Open(path, mode);
    if (stream.file == nullptr)
        FAIL(">> Cannot open %s (%s), exiting\n", path, strerror(errno));
    return stream;
}

void Stream_Seek(Stream* stream, int64_t byte_offset)
{
    if (stream->position == byte_offset)
        return;
    if (byte_offset < 0 || byte_offset > LONG_MAX || fseek(stream->file, (long)byte_offset, SEEK_SET) != 0)
        FAIL(">> Cannot seek to byte %lld of %s, exiting\n", (long long)byte_offset, stream->path);
    stream->position = byte_offset;
}

int32_t Stream_Read(Stream* stream, uint8_t* buffer, int32_t bytes)
{
    size_t got = fread(buffer, 1, (size_t)bytes, stream->file);
    if (got < (size_t)bytes) {
        if (ferror(stream->file))
            FAIL(">> Cannot read %s, exiting\n", stream->path);
        // Past the end of the file: what is not there is silence.
        memset(buffer + got, 0, (size_t)bytes - got);
    }
    stream->position += (int64_t)got;
    return (int32_t)got;
}

void Stream_Write(Stream* stream, const uint8_t* buffer, int32_t bytes)
{
    if (fwrite(buffer, 1, (size_t)bytes, stream->file) != (size_t)bytes)
        FAIL(">> Cannot write %s (disk full or file too large?), exiting\n", stream->path);
    stream->position += bytes;
}

void Stream_Close_Written(Stream* stream)
{
    if (fclose(stream->file) != 0)
        FAIL(">> Cannot finish writing %s (disk full or file too large?), exiting\n", stream->path);
    free(stream->buffer);
    *stream = Stream{nullptr, stream->path, -1, nullptr};
}

void Stream_Close_Unwritten(Stream* stream)
{
    // Nothing was written through this stream, so a failing close loses nothing.
    (void)fclose(stream->file);
    free(stream->buffer);
    *stream = Stream{nullptr, stream->path, -1, nullptr};
}

uint8_t* Block_Alloc(int64_t bytes)
{
    void* block = bytes > 0 ? calloc((size_t)bytes, 1) : nullptr;
    if (block == nullptr)
        FAIL(">> Out of memory for a block of %lld bytes, exiting\n", (long long)bytes);
    return (uint8_t*)block;
}

// ---- header ----------------------------------------------------------------

// Writes an unsigned 32-bit field as two 16-bit halves: Decon4 takes values up to
// 2^31 - 1 only, and a header field may use bit 31.
static void Put32(uint8_t* at, uint32_t value)
{
    Decon2(value & 0xFFFF, at);
    Decon2(value >> 16, at + 2);
}

void MAKE_HEADER(const char* path, int32_t sample_rate, int32_t bits, int32_t frames, uint16_t channels)
{
    // Unsigned arithmetic: the fields are unsigned 32-bit, and the caller keeps the
    // data size within 2147483611 bytes, so nothing wraps for a job the tool accepts.
    uint32_t bytes_per_sample = (uint32_t)bits / 8;
    uint32_t data_size = (uint32_t)frames * bytes_per_sample * channels;

    uint8_t header[HEADER_BYTES];
    memcpy(header + 0, "RIFF", 4);
    Put32(header + 4, data_size + 36);
    memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    Decon2(1, header + 20);  // integer PCM
    Decon2(channels, header + 22);
    Put32(header + 24, (uint32_t)sample_rate);
    Put32(header + 28, (uint32_t)sample_rate * bytes_per_sample * channels);
    Decon2(((uint32_t)channels * (uint32_t)bits / 8) & 0xFFFF, header + 32);
    Decon2((uint32_t)bits, header + 34);
    memcpy(header + 36, "data", 4);
    Put32(header + 40, data_size);

    // Whatever is at the path goes first: a link is removed, never followed, and a
    // file is replaced rather than truncated, so a link into a take or outside the
    // folder cannot be written through. Then the file is made new, and only by us.
    if (unlink(path) != 0 && errno != ENOENT)
        FAIL(">> Cannot open %s (%s), exiting\n", path, strerror(errno));
    int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        FAIL(">> Cannot open %s (%s), exiting\n", path, strerror(errno));
    Stream out{fdopen(fd, "wb"), path, 0, nullptr};
    if (out.file == nullptr) {
        int error = errno;
        (void)close(fd);  // refused below; the empty file holds nothing to lose
        FAIL(">> Cannot open %s (%s), exiting\n", path, strerror(error));
    }
    Stream_Write(&out, header, HEADER_BYTES);
    Stream_Close_Written(&out);
}

// ---- tag search ------------------------------------------------------------

int64_t FIND_TAG(FILE* file, const char* path, const char* tag, int32_t tag_bytes, int32_t last_offset)
{
    // The file is read window by window; each window overlaps the next by the tag's
    // length so that a tag across a window edge is still seen. Only even offsets from
    // 2 on are examined: chunks start on even bytes, and byte 0 is the RIFF tag. The
    // search looks at bytes, not at the chunk list, so the tag's text inside an earlier
    // chunk is taken for the chunk; every user of the search sees the same offset.
    const int32_t step = 4096;
    uint8_t window[4096 + 8];
    for (int64_t base = 0; base <= last_offset; base += step) {
        if (fseek(file, (long)base, SEEK_SET) != 0)
            FAIL(">> Cannot seek in %s, exiting\n", path);
        size_t got = fread(window, 1, (size_t)(step + tag_bytes), file);
        if (got < (size_t)(step + tag_bytes) && ferror(file))
            FAIL(">> Cannot read %s, exiting\n", path);
        int64_t first = base < 2 ? 2 : base;
        for (int64_t p = first; p < base + step && p <= last_offset; p += 2) {
            int64_t at = p - base;
            if (at + tag_bytes > (int64_t)got)
                return -1;  // the rest of the file is shorter than the tag
            if (memcmp(window + at, tag, (size_t)tag_bytes) == 0)
                return p;
        }
    }
    return -1;
}

// ---- probe -----------------------------------------------------------------

// The sub-format of an extensible header that means integer PCM.
static const uint8_t PCM_SUBFORMAT[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void GET_ATTRIBUTES(int32_t take, const char* path, int32_t channels[], int32_t data_offset[],
                    int32_t sample_rate[], int32_t frames[], int32_t bytes_per_sample[],
                    int32_t bits_per_sample[])
{
    // stdio's own small buffer: the probe reads a few bytes near the start only.
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        // A CR from a job file saved with Windows line ends is part of the name; shown
        // raw it would garble the line, so control characters are shown escaped.
        char shown[1024];
        size_t at = 0;
        for (const char* c = path; *c && at + 5 < sizeof shown; c++)
            at += (unsigned char)*c < 32 ? (size_t)snprintf(shown + at, 5, "\\x%02X", (unsigned)*c)
                                         : (size_t)snprintf(shown + at, 2, "%c", *c);
        shown[at] = '\0';
        FAIL(">> Cannot find file called %s, exiting\n", shown);
    }
    Stream in{file, path, -1, nullptr};

    // "fmt" is compared on 3 bytes, so a format chunk tagged "fmt" and any fourth
    // character is taken. Without one the fields are read as if it stood at 15000.
    int64_t fmt_at = FIND_TAG(file, path, "fmt", 3, PROBE_TAG_LIMIT);
    if (fmt_at < 0) {
        puts(">> Can't find format chunk in wave file!");
        fmt_at = PROBE_TAG_LIMIT;
    }
    uint8_t fmt[48];  // tag, size, and the fields of an extensible format chunk; zeros past the file's end
    Stream_Seek(&in, fmt_at);
    (void)Stream_Read(&in, fmt, (int32_t)sizeof fmt);
    int32_t format_code = Assem2(fmt + 8);
    int32_t chans = Assem2(fmt + 10);
    int32_t rate = Assem4(fmt + 12);
    int32_t block_align = Assem2(fmt + 20);
    int32_t bits = Assem2(fmt + 22);
    int32_t bytes = bits / 8;
    int32_t frame_size = bytes * chans;

    int64_t data_at = FIND_TAG(file, path, "data", 4, PROBE_TAG_LIMIT);
    if (data_at < 0) {
        Stream_Close_Unwritten(&in);
        FAIL(">> Can't find data block in wave file, exiting\n");
    }
    uint8_t size_field[4];
    in.position = -1;
    Stream_Seek(&in, data_at + 4);
    (void)Stream_Read(&in, size_field, 4);
    uint32_t data_size = (uint32_t)Assem4(size_field);
    if (fseek(file, 0, SEEK_END) != 0)
        FAIL(">> Cannot seek in %s, exiting\n", path);
    int64_t file_size = ftell(file);
    if (file_size < 0)
        FAIL(">> Cannot read %s, exiting\n", path);
    Stream_Close_Unwritten(&in);

    bool pcm = format_code == 1 || (format_code == 0xFFFE && memcmp(fmt + 32, PCM_SUBFORMAT, 16) == 0);
    if (!pcm)
        FAIL(">> Take %s is not integer PCM (format code 0x%04X), exiting\n", path, (unsigned)format_code);
    if (bits != 16 && bits != 24 && bits != 32)
        FAIL(">> Take %s has %i bits per sample; the tool handles 16, 24 and 32, exiting\n", path, bits);
    if (frame_size == 0)
        FAIL(">> Take %s declares 0 channels, exiting\n", path);
    if (block_align != frame_size)
        FAIL(">> Take %s has frames of %i bytes where %i channels of %i bits need %i, exiting\n", path,
             block_align, chans, bits, frame_size);
    if (rate <= 0)
        FAIL(">> Take %s has a sample rate of %u Hz, exiting\n", path, (unsigned)rate);

    int64_t offset = data_at + 8;
    int64_t count = data_size / (uint32_t)frame_size;
    // A take whose data area would begin past its end holds no frames.
    int64_t available = file_size > offset ? (file_size - offset) / frame_size : 0;
    if (count > available)
        count = available;
    if (offset + count * frame_size > INT32_MAX)
        FAIL(">> Take %s holds more than 2 GiB of audio, which the tool cannot address, exiting\n", path);

    channels[take] = chans;
    data_offset[take] = (int32_t)offset;
    sample_rate[take] = rate;
    frames[take] = (int32_t)count;
    bytes_per_sample[take] = bytes;
    bits_per_sample[take] = bits;
}

// ---- frame copy and silence -------------------------------------------------

static int64_t Data_Offset(Stream* stream, int32_t last_offset, const char* missing_message)
{
    int64_t tag = FIND_TAG(stream->file, stream->path, "data", 4, last_offset);
    if (tag < 0)
        FAIL("%s", missing_message);
    stream->position = -1;  // the search moved the stream
    return tag + 8;
}

int32_t INSERT_FILE(const char* dest_path, const char* source_path, int32_t dest_frame,
                 int32_t bytes_per_sample, int32_t channels, int32_t frames, int32_t source_frame)
{
    Stream dest = Stream_Open(dest_path, "rb+");
    Stream source = Stream_Open(source_path, "rb");
    const char* missing = ">> Can't find data block in wave file, exiting\n";
    int64_t dest_offset = Data_Offset(&dest, INSERT_TAG_LIMIT, missing);
    int64_t source_offset = Data_Offset(&source, INSERT_TAG_LIMIT, missing);

    int64_t frame_size = (int64_t)bytes_per_sample * channels;
    uint8_t* block = Block_Alloc(BLOCK_FRAMES * frame_size);
    int64_t source_pos = source_offset + source_frame * frame_size;
    int64_t dest_pos = dest_offset + dest_frame * frame_size;
    int64_t bytes_held = 0;
    for (int32_t done = 0; done < frames; done += BLOCK_FRAMES) {
        int32_t n = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
        int32_t n_bytes = (int32_t)(n * frame_size);
        Stream_Seek(&source, source_pos);
        bytes_held += Stream_Read(&source, block, n_bytes);  // a short read leaves silence
        Stream_Seek(&dest, dest_pos);
        Stream_Write(&dest, block, n_bytes);
        source_pos += n_bytes;
        dest_pos += n_bytes;
    }
    free(block);
    Stream_Close_Written(&dest);
    Stream_Close_Unwritten(&source);
    return (int32_t)(bytes_held / frame_size);
}

void PAD_FILE(const char* path, int32_t start_frame, int32_t bytes_per_sample, int32_t channels,
              int32_t frames)
{
    int64_t frame_size = (int64_t)bytes_per_sample * channels;
    uint8_t* zeros = Block_Alloc(BLOCK_FRAMES * frame_size);
    Stream out = Stream_Open(path, "rb+");
    int64_t offset = Data_Offset(&out, PROBE_TAG_LIMIT, "Can't find data block in wave file!\n");
    for (int32_t done = 0; done < frames; done += BLOCK_FRAMES) {
        int32_t n = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
        Stream_Seek(&out, offset + (start_frame + (int64_t)done) * frame_size);
        Stream_Write(&out, zeros, (int32_t)(n * frame_size));
    }
    free(zeros);
    Stream_Close_Written(&out);
}
