// The probe: a take's chunk list walked to find its format and its audio (or, where
// the list is broken, the tags searched for), then its format read and checked.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"

// ---- tag search (fallback) -------------------------------------------------------

static int64_t FIND_TAG(const Stream* file, const char* tag, int32_t tag_bytes, int32_t last_offset)
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

// A Wave64 file starts with this GUID ("riff" and a tail), not with "RIFF".
static const uint8_t WAVE64_RIFF[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                        0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

// Where a take's format and audio lie; offsets are of the chunk headers, -1 when absent.
struct Walk {
    int64_t fmt_at;
    int64_t data_at;
    uint64_t data_bytes;  // declared size (from ds64 for RF64)
    Chunk_Span bext, ixml;
    bool broken;          // a size ran past the end of the file before "data" was reached
    bool fmt_missing;     // no format chunk at all: its fields are read as if it stood at PROBE_TAG_LIMIT
};

// Walks the chunk list of a RIFF, RF64 or BW64 file from byte 12. Returns false when the
// file is not of that form.
static bool Walk_Chunks(const Stream* file, int64_t file_bytes, Walk* walk)
{
    *walk = Walk{-1, -1, 0, {0, 0, 0}, {0, 0, 0}, false, false};
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
        uint64_t size = (uint32_t)Assem4(chunk + 4);
        if (memcmp(chunk, "ds64", 4) == 0 && size >= 28) {
            has_ds64 = true;
            ds64_data = Assem8(chunk + 16);
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

// Ends the process with a line saying that take `path` holds `what`, then a hint on how
// to convert it; `note` (a line or "") goes first.
[[noreturn]] static void Refuse_Format(const char* path, const char* what, const char* note)
{
    FAIL("%s>> Take %s holds %s, which the tool cannot cut, exiting\n"
         ">> Convert it to 16-, 24- or 32-bit PCM or to float first, for example: sox in.wav -b 24 out.wav\n",
         note, Show(path).text, what);
}

// The note that no format chunk was found, which goes first when the take is refused.
constexpr int32_t NOTE_BYTES = SHOWN_BYTES + 80;
static void Missing_Format_Note(const char* path, char note[NOTE_BYTES])
{
    snprintf(note, NOTE_BYTES, ">> Can't find format chunk in wave file!\n>> in take %s\n", Show(path).text);
}

// Step one: finds the format chunk and the audio of the open take `in`: its chunk list
// walked, or where the list is broken the tags searched for. Refuses a take without audio
// (closing `in` first).
static Walk Locate_Chunks(Stream* in, int64_t file_bytes, const char* path)
{
    Walk found;
    bool walked = Walk_Chunks(in, file_bytes, &found);
    if (found.fmt_at < 0) {
        // No "fmt " chunk in the list (or no list): search for "fmt" and any fourth
        // character, as takes whose format chunk is tagged that way still build.
        found.fmt_at = FIND_TAG(in, "fmt", 3, PROBE_TAG_LIMIT);
        if (found.fmt_at < 0) {
            found.fmt_missing = true;
            found.fmt_at = PROBE_TAG_LIMIT;  // the fields are read as if it stood there
        }
    }
    char note[NOTE_BYTES] = "";
    if (found.fmt_missing)
        Missing_Format_Note(path, note);
    // A whole chunk list without a data chunk holds no audio: searching it would take
    // the tag's text inside some other chunk for the audio.
    if (walked && !found.broken && found.data_at < 0) {
        Stream_Close_Unwritten(in);
        FAIL("%s>> Can't find data block in wave file, exiting\n>> in take %s, whose chunks hold no data chunk\n",
             note, Show(path).text);
    }
    if (!walked || found.broken) {
        found.data_at = FIND_TAG(in, "data", 4, PROBE_TAG_LIMIT);
        if (found.data_at < 0) {
            Stream_Close_Unwritten(in);
            FAIL("%s>> Can't find data block in wave file, exiting\n>> in take %s\n", note, Show(path).text);
        }
        uint8_t size_field[4];
        (void)Stream_Read_At(in, found.data_at + 4, size_field, 4);  // the tag was read whole, so its size lies within
        found.data_bytes = (uint32_t)Assem4(size_field);
        found.bext = found.ixml = {0, 0, 0};  // a broken list: nothing to carry
    }
    return found;
}

// Step two: the format in `fmt` (the format chunk's first 48 bytes, zeros past the end
// of the file), checked: refuses what the tool cannot cut frame-exactly, `note` first.
static Wav_Format Read_Format(const uint8_t fmt[48], const char* path, const char* note)
{
    int32_t code = Assem2(fmt + 8);
    int32_t chans = Assem2(fmt + 10);
    int32_t rate = Assem4(fmt + 12);
    int32_t block_align = Assem2(fmt + 20);
    int32_t bits = Assem2(fmt + 22);
    int32_t valid_bits = bits;
    uint32_t mask = 0;
    if (code == 0xFFFE) {
        if (memcmp(fmt + 34, SUBFORMAT_TAIL, 14) != 0)
            Refuse_Format(path, "an extensible format with an unknown sub-format", note);
        valid_bits = Assem2(fmt + 26);
        mask = (uint32_t)Assem4(fmt + 28);
        code = Assem2(fmt + 32);
        if (valid_bits == 0 || valid_bits > bits)
            valid_bits = bits;
    }
    bool is_float = code == 3;
    if (code != 1 && !is_float)
        Refuse_Format(path, Format_Name(code), note);
    if (bits == 8)
        Refuse_Format(path, "8-bit audio", note);
    if (is_float ? bits != 32 && bits != 64 : bits != 16 && bits != 24 && bits != 32)
        FAIL("%s>> Take %s has %i-bit %s samples; the tool handles 16-, 24- and 32-bit integer and 32- and "
             "64-bit float, exiting\n", note, Show(path).text, bits, is_float ? "float" : "integer");
    int32_t bytes = bits / 8;
    int32_t frame_size = bytes * chans;
    if (frame_size == 0)
        FAIL("%s>> Take %s declares 0 channels, exiting\n", note, Show(path).text);
    if (chans > MAX_CHANNELS)
        FAIL("%s>> Take %s declares %i channels; the tool handles at most %i, exiting\n", note, Show(path).text, chans,
             MAX_CHANNELS);
    if (block_align != frame_size)
        FAIL("%s>> Take %s has frames of %i bytes where %i channels of %i bits need %i, exiting\n", note,
             Show(path).text, block_align, chans, bits, frame_size);
    if (rate <= 0)
        FAIL("%s>> Take %s has a sample rate of %u Hz, exiting\n", note, Show(path).text, (unsigned)rate);
    return Wav_Format{rate, bits, bytes, chans, is_float ? 1 : 0, valid_bits, mask};
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
        Refuse_Format(path, "a Wave64 file (not RIFF WAV)", "");
    }

    Walk found = Locate_Chunks(&in, file_bytes, path);
    uint8_t fmt[48];  // tag, size, and the fields of an extensible format chunk; zeros past the end
    (void)Stream_Read_At(&in, found.fmt_at, fmt, sizeof fmt);
    Stream_Close_Unwritten(&in);
    char note[NOTE_BYTES] = "";
    if (found.fmt_missing)
        Missing_Format_Note(path, note);
    Wav_Format format = Read_Format(fmt, path, note);

    int64_t offset = found.data_at + 8;
    int64_t available = file_bytes > offset ? file_bytes - offset : 0;
    int64_t audio = (int64_t)(found.data_bytes < (uint64_t)available ? found.data_bytes : (uint64_t)available);
    int64_t count = audio / Frame_Size(&format);
    if (count > INT32_MAX)
        FAIL("%s>> Take %s holds %lld frames; the tool addresses at most %d, exiting\n", note, Show(path).text,
             (long long)count, INT32_MAX);

    Take_Info* info = &takes[take];
    info->format = format;
    info->frames = (int32_t)count;
    info->data_offset = offset;
    info->data_end = offset + audio;
    info->file_bytes = file_bytes;
    info->bext = found.bext;
    info->ixml = found.ixml;
    info->identity = Identity_Of(st);
    info->format_missing = found.fmt_missing ? 1 : 0;
}
