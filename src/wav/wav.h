// WAV file layer: canonical headers, the take probe, the chunk-tag search, frame
// copies and silence. Every operation opens its files by path and closes them before
// it returns. Positions and counts are in frames unless a name says bytes.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int32_t BLOCK_FRAMES = 1024;  // bulk audio moves in blocks of at most this many frames
constexpr int32_t HEADER_BYTES = 44;    // size of the header MAKE_HEADER writes; its data starts here

// Last byte offsets the tag search examines, per user.
constexpr int32_t PROBE_TAG_LIMIT = 15000;   // GET_ATTRIBUTES and PAD_FILE
constexpr int32_t INSERT_TAG_LIMIT = 171032; // INSERT_FILE

// Removes whatever entry is at `path` (a link is removed, never followed), creates the
// file anew (exclusively, never through a link) and writes a 44-byte integer PCM header
// declaring `frames` frames. Data size, byte rate and block align are derived from the
// arguments. Ends the process with a ">> " line when the file cannot be written.
void MAKE_HEADER(const char* path, int32_t sample_rate, int32_t bits, int32_t frames, uint16_t channels);

// Probes the take at `path` and fills entry [take] of the six arrays: channels, data
// offset (bytes), sample rate (Hz), frame count (whole frames present in the file),
// bytes per sample and bits per sample. Ends the process with a ">> " line naming the
// take when it is missing, has no data area, or is not integer PCM the tool can cut
// frame-exactly (8-bit, non-whole-byte samples, zero frame size, block align that
// disagrees with the frame size, zero sample rate, more than 2 GiB of audio).
void GET_ATTRIBUTES(int32_t take, const char* path, int32_t channels[], int32_t data_offset[],
                    int32_t sample_rate[], int32_t frames[], int32_t bytes_per_sample[],
                    int32_t bits_per_sample[]);

// Searches `file` for the first `tag_bytes` bytes of `tag` at the even byte offsets
// 2, 4, ... up to and including `last_offset`. Returns the byte offset of the first
// match, or -1. Offsets whose bytes lie past the end of the file never match.
// Leaves the stream position undefined; callers seek before their next read or write.
int64_t FIND_TAG(FILE* file, const char* path, const char* tag, int32_t tag_bytes, int32_t last_offset);

// Copies frames [source_frame, source_frame + frames) of the source's data area to
// frames [dest_frame, dest_frame + frames) of the destination's, extending the
// destination as needed. Frames the source does not hold are written as silence.
// Both files must exist; the source is only read. Returns how many of the frames
// the source held (the rest were silence).
int32_t INSERT_FILE(const char* dest_path, const char* source_path, int32_t dest_frame,
                 int32_t bytes_per_sample, int32_t channels, int32_t frames, int32_t source_frame);

// Writes `frames` silent (zero-byte) frames into the data area of `path` from
// `start_frame` on, extending the file as needed. The file must exist.
void PAD_FILE(const char* path, int32_t start_frame, int32_t bytes_per_sample, int32_t channels,
              int32_t frames);

// A stream together with its path (for messages), the byte position it is known to
// be at (so that block walks seek only when they must; < 0: unknown) and its stdio
// buffer, which is larger than the default so that audio moves in few system calls.
struct Stream {
    FILE* file;
    const char* path;
    int64_t position;
    char* buffer;
};

// Bytes of stdio buffer per open stream: memory stays fixed whatever the take length.
constexpr int32_t STREAM_BUFFER_BYTES = 1 << 17;

// Opens `path` with `mode`; file is nullptr when that fails (errno says why).
Stream Stream_Try_Open(const char* path, const char* mode);
// Opens `path` with `mode`; ends the process with ">> Cannot open ..." when it fails.
Stream Stream_Open(const char* path, const char* mode);
// Moves to `byte_offset` from the start of the file, unless the stream is already there.
void Stream_Seek(Stream* stream, int64_t byte_offset);
// Reads `bytes` bytes into `buffer`. Bytes past the end of the file are filled with
// zeros (silence); a read error ends the process. Returns the bytes actually read.
int32_t Stream_Read(Stream* stream, uint8_t* buffer, int32_t bytes);
// Writes `bytes` bytes; a short write (full disk, file-size limit) ends the process.
void Stream_Write(Stream* stream, const uint8_t* buffer, int32_t bytes);
// Closes a stream that was written to; a failed close (unflushed data) ends the process.
void Stream_Close_Written(Stream* stream);
// Closes a stream nothing was written through; nothing of the user's can be lost, so a failed
// close is of no consequence.
void Stream_Close_Unwritten(Stream* stream);
// Allocates `bytes` bytes of zeros for a block buffer; ends the process when memory runs out.
// The caller frees it with free().
uint8_t* Block_Alloc(int64_t bytes);
