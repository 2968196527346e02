// Output headers: canonical for integer PCM in one or two channels, a fact chunk for
// float, extensible for more channels, RF64 for outputs past 32-bit sizes; chunks of the
// first take carried before the audio on request.
#include <cstring>

#include "bytes.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"

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

// How an output's own header is laid out.
struct Layout {
    bool rf64;        // sizes in a ds64 chunk
    bool extensible;  // WAVE_FORMAT_EXTENSIBLE format chunk
    bool is_float;    // IEEE float: format code 3 and a fact chunk
    int32_t fmt_size;
    int32_t fmt_at;   // byte offset of the format chunk
    int32_t bytes;    // bytes up to (not including) carried chunks and the data chunk header
};

static Layout Layout_Of(const Wav_Format* f, int64_t data_bytes, int64_t carried_bytes, bool canonical)
{
    Layout l;
    l.rf64 = !canonical && Needs_Rf64(data_bytes, carried_bytes);
    // Float in more channels is extensible only to carry a speaker mask: sox warns on
    // every extensible float header (its own reader's quirk), so without a mask the plain
    // float layout serves.
    l.extensible = !canonical && f->channels > 2 && (!f->is_float || f->channel_mask != 0);
    l.is_float = !canonical && f->is_float;
    l.fmt_size = l.extensible ? 40 : l.is_float ? 18 : 16;
    l.fmt_at = 12 + (l.rf64 ? 36 : 0);
    l.bytes = l.fmt_at + 8 + l.fmt_size + (l.is_float ? 12 : 0);
    return l;
}

// The ds64 chunk at `at`: the 64-bit RIFF and data sizes and the frame count.
static void Put_Ds64(uint8_t* at, int64_t riff_bytes, int64_t data_bytes, int32_t frames)
{
    memcpy(at, "ds64", 4);
    Decon4(28, at + 4);
    Decon8((uint64_t)riff_bytes, at + 8);
    Decon8((uint64_t)data_bytes, at + 16);
    Decon8((uint64_t)frames, at + 24);
    Decon4(0, at + 32);  // no table of further chunk sizes
}

// The format chunk at `at`, as the layout says.
static void Put_Fmt(uint8_t* at, const Wav_Format* f, const Layout* l)
{
    memcpy(at, "fmt ", 4);
    Decon4((uint32_t)l->fmt_size, at + 4);
    Decon2(l->extensible ? 0xFFFE : l->is_float ? 3 : 1, at + 8);
    Decon2((uint32_t)f->channels, at + 10);
    Decon4((uint32_t)f->sample_rate, at + 12);
    Decon4((uint32_t)f->sample_rate * (uint32_t)Frame_Size(f), at + 16);
    Decon2(((uint32_t)f->channels * (uint32_t)f->bits_per_sample / 8) & 0xFFFF, at + 20);
    Decon2((uint32_t)f->bits_per_sample, at + 22);
    if (l->fmt_size >= 18)
        Decon2((uint32_t)l->fmt_size - 18, at + 24);
    if (l->extensible) {
        Decon2((uint32_t)(f->valid_bits > 0 ? f->valid_bits : f->bits_per_sample), at + 26);
        Decon4(f->channel_mask, at + 28);
        Decon2(l->is_float ? 3 : 1, at + 32);
        memcpy(at + 34, SUBFORMAT_TAIL, 14);
    }
}

// The fact chunk at `at`: the frame count float files carry.
static void Put_Fact(uint8_t* at, int32_t frames)
{
    memcpy(at, "fact", 4);
    Decon4(4, at + 4);
    Decon4((uint32_t)frames, at + 8);
}

// Builds the header up to (not including) the carried chunks and the data chunk header
// into `h`; returns its size. The size fields count `carried_bytes` and the data of
// `frames` frames. `canonical` forces the plain 44-byte layout whatever the format.
static int32_t Own_Header(const Wav_Format* f, int32_t frames, int64_t carried_bytes, uint8_t* h, bool canonical)
{
    int64_t data_bytes = (int64_t)frames * Frame_Size(f);
    Layout l = Layout_Of(f, data_bytes, carried_bytes, canonical);
    int64_t riff_bytes = l.bytes - 8 + carried_bytes + 8 + data_bytes;
    memcpy(h, l.rf64 ? "RF64" : "RIFF", 4);
    Decon4(l.rf64 ? 0xFFFFFFFFu : (uint32_t)riff_bytes, h + 4);
    memcpy(h + 8, "WAVE", 4);
    if (l.rf64)
        Put_Ds64(h + 12, riff_bytes, data_bytes, frames);
    Put_Fmt(h + l.fmt_at, f, &l);
    if (l.is_float)
        Put_Fact(h + l.fmt_at + 8 + l.fmt_size, frames);
    return l.bytes;
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
    int64_t data_bytes = (int64_t)frames * Frame_Size(format);
    uint8_t data[8];
    memcpy(data, "data", 4);
    bool rf64 = !canonical && Needs_Rf64(data_bytes, carried_bytes);
    Decon4(rf64 ? 0xFFFFFFFFu : (uint32_t)data_bytes, data + 4);
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

