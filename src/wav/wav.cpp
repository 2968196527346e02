#include "wav/wav.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "audio/audio.h"
#include "fail.h"
#include "text.h"

// ---- files -------------------------------------------------------------------

Stream Stream_Try_Read(const char* path)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the probe then refuses it.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
            int saved = errno;
            (void)close(fd);  // only opened to read: nothing to lose
            errno = saved;
            fd = -1;
        }
    }
    return Stream{fd, path};
}

Stream Stream_Open_Read(const char* path)
{
    Stream stream = Stream_Try_Read(path);
    if (stream.fd < 0)
        FAIL(">> Cannot open %s (%s), exiting\n", Show(path).text, strerror(errno));
    return stream;
}

// What fstat says of `fd`, as a File_Identity.
static File_Identity Identity_Of(const struct stat& st)
{
    return File_Identity{(uint64_t)st.st_dev, (uint64_t)st.st_ino, (int64_t)st.st_size, (int64_t)st.st_mtim.tv_sec,
                         (int64_t)st.st_mtim.tv_nsec};
}

Stream Stream_Open_Probed(const char* path, const File_Identity* identity)
{
    Stream stream = Stream_Try_Read(path);
    struct stat st;
    bool same = stream.fd >= 0 && fstat(stream.fd, &st) == 0 && identity != nullptr;
    if (same) {
        File_Identity now = Identity_Of(st);
        same = now.device == identity->device && now.inode == identity->inode && now.bytes == identity->bytes &&
               now.modified_s == identity->modified_s && now.modified_ns == identity->modified_ns;
    }
    if (!same) {
        if (stream.fd >= 0)
            Stream_Close_Unwritten(&stream);
        FAIL(">> Take %s is no longer the file that was probed: it was replaced or changed while the job ran, "
             "exiting\n", Show(path).text);
    }
    return stream;
}

Stream Stream_Create_At(int folder, const char* name, const char* path)
{
    // Whatever stands at the name goes first, so a link there is never written through;
    // O_EXCL | O_NOFOLLOW then refuse anything that appears in between.
    if (unlinkat(folder, name, 0) != 0 && errno != ENOENT)
        FAIL(">> Cannot replace %s (%s), exiting\n", Show(path).text, strerror(errno));
    int fd = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        FAIL(">> Cannot open %s (%s), exiting\n", Show(path).text, strerror(errno));
    return Stream{fd, path};
}

Stream Stream_Create(const char* path)
{
    return Stream_Create_At(AT_FDCWD, path, path);
}

// ---- publishing ------------------------------------------------------------------

// 64 random bits for a partial name: from the system's random source, or where that is
// missing from the clock and the process id (O_EXCL still keeps names apart).
static uint64_t Random_Bits()
{
    uint64_t bits = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool read_all = fd >= 0 && read(fd, &bits, sizeof bits) == (ssize_t)sizeof bits;
    if (fd >= 0)
        (void)close(fd);  // only read from
    if (!read_all) {
        struct timespec now {};
        (void)clock_gettime(CLOCK_REALTIME, &now);  // zeros without a clock: the pid still differs
        bits = (uint64_t)now.tv_nsec * 0x9E3779B97F4A7C15ULL ^ (uint64_t)now.tv_sec << 20 ^ (uint64_t)getpid();
    }
    return bits;
}

bool Is_Partial_Of(const char* entry, const char* final_name)
{
    size_t prefix = strlen(PARTIAL_PREFIX), length = strlen(final_name);
    if (strncmp(entry, PARTIAL_PREFIX, prefix) != 0 || strncmp(entry + prefix, final_name, length) != 0 ||
        entry[prefix + length] != '.')
        return false;
    // A random part; or a process id, as earlier versions of the tool named them.
    const char* tail = entry + prefix + length + 1;
    size_t digits = strlen(tail);
    return (digits == PARTIAL_RANDOM_DIGITS && strspn(tail, "0123456789abcdef") == digits) ||
           (digits > 0 && digits <= 10 && strspn(tail, "0123456789") == digits);
}

void Partial_Begin(int folder, const char* final_name, const char* final_path, Partial* partial)
{
    partial->folder = folder;
    partial->final_name = final_name;
    partial->final_path = final_path;
    int folder_length = (int)(strlen(final_path) - strlen(final_name));
    for (int32_t attempt = 0;; attempt++) {
        if (snprintf(partial->name, sizeof partial->name, "%s%s.%016llx", PARTIAL_PREFIX, final_name,
                     (unsigned long long)Random_Bits()) >= (int)sizeof partial->name ||
            snprintf(partial->path, sizeof partial->path, "%.*s%s", folder_length, final_path, partial->name) >=
                (int)sizeof partial->path)
            FAIL(">> The name %s is too long for the partial file it is built under, exiting\n", Show(final_path).text);
        // Created and named for removal with no signal in between.
        Hold_Signals();
        int fd = openat(folder, partial->name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        int error = errno;
        if (fd >= 0)
            Set_Partial(folder, partial->name);  // ours: a failure or signal from here on removes it
        Release_Signals();
        if (fd < 0 && error == EEXIST && attempt < 100)
            continue;
        if (fd < 0)
            FAIL(">> Cannot open %s (%s), exiting\n", Show(partial->path).text, strerror(error));
        // Locked before a byte is written: a cleanup leaves alone an empty partial file, and
        // one that somebody holds. A cleanup that holds it this very moment sees it empty
        // and lets go; the name is given up for another all the same.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            (void)unlinkat(folder, partial->name, 0);  // empty, and ours: created exclusively above
            Set_Partial(-1, nullptr);
            (void)close(fd);  // nothing was written
            if (attempt < 100)
                continue;
            FAIL(">> Cannot hold a partial file for %s, exiting\n", Show(final_path).text);
        }
        partial->stream = Stream{fd, partial->path};
        return;
    }
}

void Partial_Publish(Partial* partial)
{
    if (fsync(partial->stream.fd) != 0)
        FAIL(">> Cannot finish writing %s (%s), exiting\n", Show(partial->path).text, strerror(errno));
    // Renamed while the lock is still held, so that no other run's cleanup can take it
    // for a leftover in between; once synced, the close can no longer lose any of it.
    if (renameat(partial->folder, partial->name, partial->folder, partial->final_name) != 0)
        FAIL(">> Cannot replace %s with its new build (%s), exiting\n", Show(partial->final_path).text,
             strerror(errno));
    Set_Partial(-1, nullptr);
    Stream_Close_Written(&partial->stream);
    // The rename is done: the name holds the whole new file. Syncing the folder makes the
    // rename itself outlast a power cut; where a file system cannot sync a folder, the
    // name holds after a power cut either the previous file or the new one, both whole,
    // so a failure here is ignored.
    (void)fsync(partial->folder);
}

int64_t Stream_Read_At(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t got = 0;
    while (got < bytes) {
        ssize_t n = pread(stream->fd, buffer + got, (size_t)(bytes - got), (off_t)(byte_offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            FAIL(">> Cannot read %s (%s), exiting\n", Show(stream->path).text, strerror(errno));
        if (n == 0)
            break;
        got += n;
    }
    // Past the end of the file: what is not there is silence.
    if (got < bytes)
        memset(buffer + got, 0, (size_t)(bytes - got));
    return got;
}

void Stream_Write_At(const Stream* stream, int64_t byte_offset, const uint8_t* buffer, int64_t bytes)
{
    int64_t put = 0;
    while (put < bytes) {
        ssize_t n = pwrite(stream->fd, buffer + put, (size_t)(bytes - put), (off_t)(byte_offset + put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            FAIL(">> Cannot write %s (%s), exiting\n", Show(stream->path).text,
                 n < 0 ? strerror(errno) : "disk full or file too large?");
        put += n;
    }
}

void Stream_Close_Written(Stream* stream)
{
    if (close(stream->fd) != 0)
        FAIL(">> Cannot finish writing %s (%s), exiting\n", Show(stream->path).text, strerror(errno));
    stream->fd = -1;
}

void Stream_Close_Unwritten(Stream* stream)
{
    // Nothing was written through this stream, so a failing close loses nothing.
    (void)close(stream->fd);
    stream->fd = -1;
}

uint8_t* Block_Alloc(int64_t bytes)
{
    void* block = bytes > 0 ? calloc((size_t)bytes, 1) : nullptr;
    if (block == nullptr)
        FAIL(">> Out of memory for a block of %lld bytes, exiting\n", (long long)bytes);
    return (uint8_t*)block;
}

// ---- little-endian fields ------------------------------------------------------

// Writes an unsigned 32-bit field as two 16-bit halves: Decon4 takes values up to
// 2^31 - 1 only, and a header field may use bit 31.
static void Put32(uint8_t* at, uint32_t value)
{
    Decon2(value & 0xFFFF, at);
    Decon2(value >> 16, at + 2);
}

static void Put64(uint8_t* at, uint64_t value)
{
    Put32(at, (uint32_t)(value & 0xFFFFFFFFu));
    Put32(at + 4, (uint32_t)(value >> 32));
}

static uint32_t Get32(const uint8_t* at)
{
    return (uint32_t)Assem4(at);
}

static uint64_t Get64(const uint8_t* at)
{
    return (uint64_t)Get32(at) | (uint64_t)Get32(at + 4) << 32;
}

// ---- tag search (fallback) -------------------------------------------------------

int64_t FIND_TAG(const Stream* file, const char* tag, int32_t tag_bytes, int32_t last_offset)
{
    // For takes whose chunk list cannot be walked: the first even offset from 2 on
    // where the tag's bytes stand, whatever chunk they belong to. Byte 0 is the form's
    // own tag and chunks start on even bytes, hence the even offsets from 2.
    const int32_t step = 4096;
    uint8_t window[4096 + 8];
    for (int64_t base = 0; base <= last_offset; base += step) {
        int64_t got = Stream_Read_At(file, base, window, step + tag_bytes);
        int64_t first = base < 2 ? 2 : base;
        for (int64_t p = first; p < base + step && p <= last_offset; p += 2) {
            int64_t at = p - base;
            if (at + tag_bytes > got)
                return -1;  // the rest of the file is shorter than the tag
            if (memcmp(window + at, tag, (size_t)tag_bytes) == 0)
                return p;
        }
    }
    return -1;
}

// ---- probe -------------------------------------------------------------------

// Sub-formats of an extensible header: integer PCM and IEEE float (the format code in
// the first two bytes, then a fixed tail).
static const uint8_t SUBFORMAT_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A Wave64 file starts with this GUID ("riff" and a tail), not with "RIFF".
static const uint8_t WAVE64_RIFF[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                        0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

// What the chunk walk found; offsets are of the chunk headers, -1 when absent.
struct Walk {
    int64_t fmt_at;
    int64_t data_at;
    uint64_t data_bytes;  // declared size (from ds64 for RF64)
    Chunk_Span bext, ixml;
    bool broken;          // a size ran past the end of the file before "data" was reached
};

// Walks the chunk list of a RIFF, RF64 or BW64 file from byte 12. Returns false when the
// file is not of that form.
static bool Walk_Chunks(const Stream* file, int64_t file_bytes, Walk* walk)
{
    *walk = Walk{-1, -1, 0, {0, 0, 0}, {0, 0, 0}, false};
    uint8_t head[12];
    if (Stream_Read_At(file, 0, head, 12) < 12 || memcmp(head + 8, "WAVE", 4) != 0)
        return false;
    bool rf64 = memcmp(head, "RF64", 4) == 0 || memcmp(head, "BW64", 4) == 0;
    if (!rf64 && memcmp(head, "RIFF", 4) != 0)
        return false;
    uint64_t ds64_data = 0;
    bool has_ds64 = false;
    int64_t at = 12;
    while (at + 8 <= file_bytes) {
        uint8_t chunk[8 + 28];
        (void)Stream_Read_At(file, at, chunk, sizeof chunk);  // zeros past the end
        // After the audio, a header whose id is not four printable characters is no chunk:
        // zeros a recorder preallocated or a copy padded with. The list ends there, instead
        // of being walked eight bytes at a time to the end of the file.
        bool printable = true;
        for (int32_t k = 0; k < 4; k++)
            printable = printable && chunk[k] >= 0x20 && chunk[k] < 0x7F;
        if (!printable && walk->data_at >= 0)
            return true;
        uint64_t size = Get32(chunk + 4);
        if (memcmp(chunk, "ds64", 4) == 0 && size >= 28) {
            has_ds64 = true;
            ds64_data = Get64(chunk + 16);
        }
        if (memcmp(chunk, "data", 4) == 0 && walk->data_at < 0) {  // the first is the audio
            walk->data_at = at;
            walk->data_bytes = size;
            // RF64 keeps the size in ds64; a ds64 size of 0 is one a recorder never came
            // back to write: the audio runs to the end of the file.
            if (rf64 && has_ds64 && size == 0xFFFFFFFFu)
                walk->data_bytes = ds64_data != 0 ? ds64_data : UINT64_MAX;
            // The audio may run on to the end of a file whose size field was never
            // finished; chunks after it are looked for only when it ends inside the file.
            if (walk->data_bytes > (uint64_t)(file_bytes - at - 8))
                return true;
            size = walk->data_bytes;
        } else if (memcmp(chunk, "fmt ", 4) == 0 && walk->fmt_at < 0) {
            walk->fmt_at = at;
        } else if (memcmp(chunk, "bext", 4) == 0 && walk->bext.bytes == 0 && at + 8 + (int64_t)size <= file_bytes) {
            walk->bext = {at, 8 + (int64_t)size + (int64_t)(size & 1), (int32_t)(size & 1)};
        } else if (memcmp(chunk, "iXML", 4) == 0 && walk->ixml.bytes == 0 && at + 8 + (int64_t)size <= file_bytes) {
            walk->ixml = {at, 8 + (int64_t)size + (int64_t)(size & 1), (int32_t)(size & 1)};
        }
        int64_t next = at + 8 + (int64_t)size + (int64_t)(size & 1);
        if (next > file_bytes + 1) {  // a last odd chunk may lack its pad byte
            walk->broken = walk->data_at < 0;
            return true;
        }
        at = next;
    }
    return true;
}

// What a format code names, in plain words, for takes the tool cannot cut.
static const char* Format_Name(int32_t code)
{
    switch (code) {
    case 2: return "Microsoft ADPCM";
    case 6: return "A-law";
    case 7: return "mu-law";
    case 0x11: return "IMA ADPCM";
    case 0x31: return "GSM 6.10";
    case 0x50: case 0x55: return "MPEG audio";
    default: return "compressed or unknown";
    }
}

// Ends the process with `line` about take `path`, then a hint on how to convert it.
[[noreturn]] static void Refuse_Format(const char* path, const char* what)
{
    FAIL(">> Take %s holds %s, which the tool cannot cut, exiting\n"
         ">> Convert it to 16-, 24- or 32-bit PCM or to float first, for example: sox in.wav -b 24 out.wav\n",
         Show(path).text, what);
}

void GET_ATTRIBUTES(int32_t take, const char* path, Take_Info takes[])
{
    Stream in = Stream_Try_Read(path);
    if (in.fd < 0)
        FAIL(">> Cannot find file called %s, exiting\n", Show(path).text);
    struct stat st;
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Stream_Close_Unwritten(&in);
        FAIL(">> Take %s is not a regular file, exiting\n", Show(path).text);
    }
    int64_t file_bytes = (int64_t)st.st_size;
    uint8_t magic[16];
    (void)Stream_Read_At(&in, 0, magic, 16);  // a shorter file reads as zeros: no magic
    if (memcmp(magic, WAVE64_RIFF, 16) == 0) {
        Stream_Close_Unwritten(&in);
        Refuse_Format(path, "a Wave64 file (not RIFF WAV)");
    }

    Walk walk;
    bool walked = Walk_Chunks(&in, file_bytes, &walk);
    int64_t fmt_at = walk.fmt_at;
    if (fmt_at < 0) {
        // No "fmt " chunk in the list (or no list): search for "fmt" and any fourth
        // character, as takes whose format chunk is tagged that way still build.
        fmt_at = FIND_TAG(&in, "fmt", 3, PROBE_TAG_LIMIT);
        if (fmt_at < 0) {
            printf(">> Can't find format chunk in wave file!\n>> in take %s\n", Show(path).text);
            fmt_at = PROBE_TAG_LIMIT;  // the fields are read as if it stood there
        }
    }
    int64_t data_at = walk.data_at;
    uint64_t data_bytes = walk.data_bytes;
    // A whole chunk list without a data chunk holds no audio: searching it would take
    // the tag's text inside some other chunk for the audio.
    if (walked && !walk.broken && data_at < 0) {
        Stream_Close_Unwritten(&in);
        FAIL(">> Can't find data block in wave file, exiting\n>> in take %s, whose chunks hold no data chunk\n",
             Show(path).text);
    }
    if (!walked || walk.broken) {
        data_at = FIND_TAG(&in, "data", 4, PROBE_TAG_LIMIT);
        if (data_at < 0) {
            Stream_Close_Unwritten(&in);
            FAIL(">> Can't find data block in wave file, exiting\n>> in take %s\n", Show(path).text);
        }
        uint8_t size_field[4];
        (void)Stream_Read_At(&in, data_at + 4, size_field, 4);  // the tag was read whole, so its size lies within
        data_bytes = Get32(size_field);
        walk.bext = walk.ixml = {0, 0, 0};  // a broken list: nothing to carry
    }
    uint8_t fmt[48];  // tag, size, and the fields of an extensible format chunk; zeros past the end
    (void)Stream_Read_At(&in, fmt_at, fmt, sizeof fmt);
    Stream_Close_Unwritten(&in);

    int32_t code = Assem2(fmt + 8);
    int32_t chans = Assem2(fmt + 10);
    int32_t rate = Assem4(fmt + 12);
    int32_t block_align = Assem2(fmt + 20);
    int32_t bits = Assem2(fmt + 22);
    int32_t valid_bits = bits;
    uint32_t mask = 0;
    if (code == 0xFFFE) {
        if (memcmp(fmt + 34, SUBFORMAT_TAIL, 14) != 0)
            Refuse_Format(path, "an extensible format with an unknown sub-format");
        valid_bits = Assem2(fmt + 26);
        mask = Get32(fmt + 28);
        code = Assem2(fmt + 32);
        if (valid_bits == 0 || valid_bits > bits)
            valid_bits = bits;
    }
    bool is_float = code == 3;
    if (code != 1 && !is_float)
        Refuse_Format(path, Format_Name(code));
    if (bits == 8)
        Refuse_Format(path, "8-bit audio");
    if (is_float ? bits != 32 && bits != 64 : bits != 16 && bits != 24 && bits != 32)
        FAIL(">> Take %s has %i-bit %s samples; the tool handles 16-, 24- and 32-bit integer and 32- and "
             "64-bit float, exiting\n",
             Show(path).text, bits, is_float ? "float" : "integer");
    int32_t bytes = bits / 8;
    int32_t frame_size = bytes * chans;
    if (frame_size == 0)
        FAIL(">> Take %s declares 0 channels, exiting\n", Show(path).text);
    if (chans > MAX_CHANNELS)
        FAIL(">> Take %s declares %i channels; the tool handles at most %i, exiting\n", Show(path).text, chans, MAX_CHANNELS);
    if (block_align != frame_size)
        FAIL(">> Take %s has frames of %i bytes where %i channels of %i bits need %i, exiting\n", Show(path).text,
             block_align, chans, bits, frame_size);
    if (rate <= 0)
        FAIL(">> Take %s has a sample rate of %u Hz, exiting\n", Show(path).text, (unsigned)rate);

    int64_t offset = data_at + 8;
    int64_t available = file_bytes > offset ? file_bytes - offset : 0;
    int64_t audio = (int64_t)(data_bytes < (uint64_t)available ? data_bytes : (uint64_t)available);
    int64_t count = audio / frame_size;
    if (count > INT32_MAX)
        FAIL(">> Take %s holds %lld frames; the tool addresses at most %d, exiting\n", Show(path).text, (long long)count,
             INT32_MAX);

    Take_Info* info = &takes[take];
    info->format = Wav_Format{rate, bits, bytes, chans, is_float ? 1 : 0, valid_bits, mask};
    info->frames = (int32_t)count;
    info->data_offset = offset;
    info->data_end = offset + audio;
    info->file_bytes = file_bytes;
    info->bext = walk.bext;
    info->ixml = walk.ixml;
    info->identity = Identity_Of(st);
}

// ---- headers -------------------------------------------------------------------

// Largest header WRITE_HEADER builds itself (carried chunks come on top):
// 12 form + 36 ds64 + 48 fmt + 12 fact + 8 data.
constexpr int32_t MAX_OWN_HEADER = 12 + 36 + 48 + 12 + 8;

// Past the canonical limit, or when carried chunks would push the RIFF size past 32
// bits, the sizes go to a ds64 chunk.
static bool Needs_Rf64(int64_t data_bytes, int64_t carried_bytes)
{
    return data_bytes > MAX_DATA_BYTES || data_bytes + carried_bytes > 0xFFFFFF00LL;
}

// Builds the header up to (not including) the carried chunks and the data chunk header
// into `h`; returns its size. The size fields count `carried_bytes` and the data of
// `frames` frames. `canonical` forces the plain 44-byte layout whatever the format.
static int32_t Own_Header(const Wav_Format* f, int32_t frames, int64_t carried_bytes, uint8_t* h, bool canonical)
{
    int64_t data_bytes = (int64_t)frames * f->bytes_per_sample * f->channels;
    bool rf64 = !canonical && Needs_Rf64(data_bytes, carried_bytes);
    // Float in more channels is extensible only to carry a speaker mask: sox warns on
    // every extensible float header (its own reader's quirk), so without a mask the plain
    // float layout serves.
    bool extensible = !canonical && f->channels > 2 && (!f->is_float || f->channel_mask != 0);
    bool is_float = !canonical && f->is_float;
    int32_t fmt_size = extensible ? 40 : is_float ? 18 : 16;
    int32_t at = 12;
    if (rf64)
        at += 36;
    int32_t fmt_at = at;
    at += 8 + fmt_size;
    if (is_float)
        at += 12;
    int64_t riff_bytes = at - 8 + carried_bytes + 8 + data_bytes;

    memcpy(h, rf64 ? "RF64" : "RIFF", 4);
    Put32(h + 4, rf64 ? 0xFFFFFFFFu : (uint32_t)riff_bytes);
    memcpy(h + 8, "WAVE", 4);
    if (rf64) {
        memcpy(h + 12, "ds64", 4);
        Put32(h + 16, 28);
        Put64(h + 20, (uint64_t)riff_bytes);
        Put64(h + 28, (uint64_t)data_bytes);
        Put64(h + 36, (uint64_t)frames);
        Put32(h + 44, 0);  // no table of further chunk sizes
    }
    uint8_t* fmt = h + fmt_at;
    memcpy(fmt, "fmt ", 4);
    Put32(fmt + 4, (uint32_t)fmt_size);
    Decon2(extensible ? 0xFFFE : is_float ? 3 : 1, fmt + 8);
    Decon2((uint32_t)f->channels, fmt + 10);
    Put32(fmt + 12, (uint32_t)f->sample_rate);
    Put32(fmt + 16, (uint32_t)f->sample_rate * (uint32_t)f->bytes_per_sample * (uint32_t)f->channels);
    Decon2(((uint32_t)f->channels * (uint32_t)f->bits_per_sample / 8) & 0xFFFF, fmt + 20);
    Decon2((uint32_t)f->bits_per_sample, fmt + 22);
    if (fmt_size >= 18)
        Decon2((uint32_t)fmt_size - 18, fmt + 24);
    if (extensible) {
        Decon2((uint32_t)(f->valid_bits > 0 ? f->valid_bits : f->bits_per_sample), fmt + 26);
        Put32(fmt + 28, f->channel_mask);
        Decon2(is_float ? 3 : 1, fmt + 32);
        memcpy(fmt + 34, SUBFORMAT_TAIL, 14);
    }
    if (is_float) {
        uint8_t* fact = fmt + 8 + fmt_size;
        memcpy(fact, "fact", 4);
        Put32(fact + 4, 4);
        Put32(fact + 8, (uint32_t)frames);
    }
    return at;
}

int64_t HEADER_SIZE(const Wav_Format* format, int32_t frames, const Chunk_Span carried[], int32_t carried_count)
{
    uint8_t h[MAX_OWN_HEADER];
    int64_t carried_bytes = 0;
    for (int32_t k = 0; k < carried_count; k++)
        carried_bytes += carried[k].bytes;
    return Own_Header(format, frames, carried_bytes, h, false) + carried_bytes + 8;
}

// WRITE_HEADER, in the canonical layout when `canonical` is set.
static int64_t Write_Header(const Stream* out, const Wav_Format* format, int32_t frames, const Stream* carry_from,
                            const Chunk_Span carried[], int32_t carried_count, bool canonical)
{
    // Unsigned arithmetic in the fields: they are unsigned 32-bit, and a data size past
    // MAX_DATA_BYTES goes to the ds64 chunk instead, so nothing wraps.
    int64_t carried_bytes = 0;
    for (int32_t k = 0; k < carried_count; k++)
        carried_bytes += carried[k].bytes;
    uint8_t h[MAX_OWN_HEADER];
    int64_t at = Own_Header(format, frames, carried_bytes, h, canonical);
    Stream_Write_At(out, 0, h, at);
    for (int32_t k = 0; k < carried_count; k++) {
        // Chunks are copied byte for byte; a bext or iXML chunk is small, but is moved in
        // blocks all the same.
        uint8_t block[4096];
        for (int64_t done = 0; done < carried[k].bytes; done += (int64_t)sizeof block) {
            int64_t n = carried[k].bytes - done < (int64_t)sizeof block ? carried[k].bytes - done : (int64_t)sizeof block;
            // A chunk the probe found whole must still be whole; a take cut short since
            // would put zeros in the output's chunk list. The pad byte of an odd-sized
            // chunk that ends its file is the one byte that may be missing: it is 0.
            int64_t needed = done + n == carried[k].bytes ? n - carried[k].pad : n;
            if (Stream_Read_At(carry_from, carried[k].at + done, block, n) < needed)
                FAIL(">> Take %s holds fewer bytes than when the job was planned, exiting\n", Show(carry_from->path).text);
            if (needed < n)
                block[n - 1] = 0;
            Stream_Write_At(out, at + done, block, n);
        }
        at += carried[k].bytes;
    }
    int64_t data_bytes = (int64_t)frames * format->bytes_per_sample * format->channels;
    uint8_t data[8];
    memcpy(data, "data", 4);
    bool rf64 = !canonical && Needs_Rf64(data_bytes, carried_bytes);
    Put32(data + 4, rf64 ? 0xFFFFFFFFu : (uint32_t)data_bytes);
    Stream_Write_At(out, at, data, 8);
    return at + 8;
}

int64_t WRITE_HEADER(const Stream* out, const Wav_Format* format, int32_t frames, const Stream* carry_from,
                     const Chunk_Span carried[], int32_t carried_count)
{
    return Write_Header(out, format, frames, carry_from, carried, carried_count, false);
}

void MAKE_HEADER(const char* path, int32_t sample_rate, int32_t bits, int32_t frames, uint16_t channels)
{
    Wav_Format format{sample_rate, bits, bits / 8, channels, 0, bits, 0};
    Stream out = Stream_Create(path);
    (void)Write_Header(&out, &format, frames, nullptr, nullptr, 0, true);
    Stream_Close_Written(&out);
}

// ---- frame copy and silence -------------------------------------------------------

int64_t Read_Audio(const Wav_File* file, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t audio = file->data_end - byte_offset;
    audio = audio < 0 ? 0 : audio > bytes ? bytes : audio;
    int64_t got = audio > 0 ? Stream_Read_At(&file->stream, byte_offset, buffer, audio) : 0;
    if (got < bytes)
        memset(buffer + got, 0, (size_t)(bytes - got));
    return got;
}

const Stream* Open_File(Open_Files* open, const char* path, const File_Identity* identity)
{
    int32_t k = 0;
    while (k < open->count && strcmp(open->paths[k], path) != 0)
        k++;
    if (k < open->count)
        return &open->streams[k];
    if (open->count < OPEN_FILES) {
        k = open->count++;
    } else {
        k = open->oldest;
        open->oldest = (open->oldest + 1) % OPEN_FILES;
        Stream_Close_Unwritten(&open->streams[k]);
    }
    snprintf(open->paths[k], sizeof open->paths[k], "%s", path);
    open->streams[k] = identity != nullptr ? Stream_Open_Probed(open->paths[k], identity) : Stream_Open_Read(open->paths[k]);
    return &open->streams[k];
}

void Close_Files(Open_Files* open)
{
    for (int32_t k = 0; k < open->count; k++)
        Stream_Close_Unwritten(&open->streams[k]);
    open->count = 0;
    open->oldest = 0;
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
