// WAV file layer: headers, the take probe, frame copies and silence. Takes are read
// by walking their RIFF (or RF64) chunk list; what the probe learns travels with the
// take to every later step, so no file is searched twice. Positions and counts are in
// frames unless a name says bytes; byte offsets are 64-bit throughout.
#pragma once

#include <cstdint>

constexpr int32_t HEADER_BYTES = 44;    // size of the canonical header; its data starts here

// Last byte offsets the fallback tag search examines (takes whose chunk list is broken).
constexpr int32_t PROBE_TAG_LIMIT = 15000;

// Largest data area a canonical header can declare (its RIFF size, data + 36, must stay
// a positive signed 32-bit value). Larger outputs are written as RF64; outputs within it
// keep the plain RIFF header they always had.
constexpr int64_t MAX_DATA_BYTES = 2147483611;

// Bytes moved per read or write of a frame copy: large enough that a copy costs few
// system calls, small enough that memory stays fixed whatever the take length.
constexpr int32_t COPY_BYTES = 1 << 18;

// Most channels a take may have: a frame of them (8 bytes each) still fits a copy many
// times over.
constexpr int32_t MAX_CHANNELS = 1024;

// ---- files -------------------------------------------------------------------

// An open file and its path (for messages). fd < 0: not open.
struct Write_Window;
struct Read_Ahead;

struct Stream {
    int fd;
    const char* path;
    Write_Window* window = nullptr;  // writes held back in memory (Stream_Hold_Writes)
    Read_Ahead* ahead = nullptr;     // small reads served from a block read ahead (Open_File)
};

// A block of a file read around a small read (a quarter of it before, the rest after):
// small reads close together (a short segment and the crossfades at both of its ends)
// are served from it with one read of the file. Reads of more than half its capacity go
// to the file directly.
struct Read_Ahead {
    uint8_t* bytes;
    int64_t capacity;
    int64_t start;   // file offset of bytes[0]
    int64_t length;  // bytes held from `start` on
    bool to_end;     // the file ends at start + length
};

// Writes to a stream held back in memory and passed to the file in large pieces: an
// output's many small writes (segments, pads, crossfades over the ends of segments)
// reach the file as few large ones. Everything before `start` is in the file and the
// file ends there; [start, end) of the stream is in `bytes` (zeros where nothing was
// written, as a hole in the file reads).
struct Write_Window {
    uint8_t* bytes;
    int64_t capacity;
    int64_t start;
    int64_t end;
};

// Which file a name led to, and how it stood: a file replaced (another inode) or
// rewritten (another size or modification time) since is no longer the same.
struct File_Identity {
    uint64_t device;
    uint64_t inode;
    int64_t bytes;
    int64_t modified_s;
    int64_t modified_ns;
};

struct stat;
// The identity fstat() or stat() gave of a file.
File_Identity Identity_Of(const struct stat& st);
// Whether two identities are of one file in one state (same device, inode, size and
// modification time).
bool Same_Identity(const File_Identity* a, const File_Identity* b);
// Whether the open `fd` is still the file `identity` describes.
bool Same_File(int fd, const File_Identity* identity);

// Opens `path` for reading (never blocks on a FIFO); fd < 0 when that fails (errno says why).
Stream Stream_Try_Read(const char* path);
// Opens the take at `path` for reading and makes sure it is still the file the probe
// read (`identity`); ends the process with a line naming the take when it is not.
Stream Stream_Open_Probed(const char* path, const File_Identity* identity);
// Removes whatever is at `name` in the folder open as `folder` (a link is removed, never
// followed) and creates a new empty file there exclusively, for writing; `path` names it
// in messages. Ends the process when that fails.
Stream Stream_Create_At(int folder, const char* name, const char* path);
// Stream_Create_At of `path` relative to the working folder.
Stream Stream_Create(const char* path);
// ---- publishing: a file built under a hidden name, renamed over its name when whole

// A partial file is "<folder>/.tavlin-partial.<final name>.<16 hex digits>": a random part
// (no process id, which another PID namespace shares) created exclusively.
constexpr const char* PARTIAL_PREFIX = ".tavlin-partial.";
constexpr int32_t PARTIAL_RANDOM_DIGITS = 16;
// Longest final name a partial name has room for within a folder's 255-byte names.
constexpr int32_t PARTIAL_NAME_MAX = 255 - 16 - 1 - PARTIAL_RANDOM_DIGITS;
constexpr int32_t PARTIAL_PATH_BYTES = 4096 + 64;

struct Partial {
    Stream stream;                    // open for writing; stream.path is `path`
    int folder;                       // the folder's descriptor (the caller's; it stays open)
    const char* final_name;           // the name it is renamed to, in that folder
    const char* final_path;           // that name as the user gave it, for messages
    char name[256];                   // its own name in the folder
    char path[PARTIAL_PATH_BYTES];    // its own name with the folder part of final_path
};

// Creates a new partial file for `final_name` in `folder` (whose path `final_path`
// names it), exclusively, under a random name, and holds an exclusive lock on it (flock)
// before writing a byte, until it is published: a run's cleanup removes only partial
// files that are not empty and that nobody holds. From here on FAIL and the caught
// signals remove it.
void Partial_Begin(int folder, const char* final_name, const char* final_path, Partial* partial);
// Flushes the whole partial file to disk, renames it over its final name (a link there is
// replaced, not followed) while still holding its lock and closes it; FAIL no longer
// removes it. With `sync_folder` the folder is synced too, so that the rename outlasts a
// power cut; a caller publishing many files into a folder may sync it once afterwards.
// Returns the identity of the file published.
File_Identity Partial_Publish(Partial* partial, bool sync_folder);
// Whether `entry` (a name in a folder) is a partial file of `final_name`: its random
// part, or the process id earlier versions of the tool put there.
bool Is_Partial_Of(const char* entry, const char* final_name);

// Reads `bytes` bytes from `byte_offset` on into `buffer`; bytes past the end of the
// file are zeros (silence). Returns the bytes actually read. A read error ends the process.
int64_t Stream_Read_At(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes);
// Writes `bytes` bytes at `byte_offset` (through the stream's window when it has one);
// a short write (full disk, file-size limit) ends the process.
void Stream_Write_At(const Stream* stream, int64_t byte_offset, const uint8_t* buffer, int64_t bytes);
// Holds the writes to `stream`, a file that ends at byte `file_end`, in `window` (the
// caller's, of `capacity` bytes of `bytes`) from here on.
void Stream_Hold_Writes(Stream* stream, Write_Window* window, uint8_t* bytes, int64_t capacity, int64_t file_end);
// Closes a stream that was written to (its window written out first); a failed close
// ends the process.
void Stream_Close_Written(Stream* stream);
// Closes a stream nothing was written through: a failing close loses nothing.
void Stream_Close_Unwritten(Stream* stream);
// Allocates `bytes` bytes of zeros; ends the process when memory runs out. Freed with free().
uint8_t* Block_Alloc(int64_t bytes);

// ---- formats and the probe -------------------------------------------------

// Sub-formats of an extensible header: integer PCM and IEEE float (the format code in
// the first two bytes, then a fixed tail).
inline constexpr uint8_t SUBFORMAT_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// How samples lie in a data area.
struct Wav_Format {
    int32_t sample_rate;       // frames per second
    int32_t bits_per_sample;   // container bits: 16, 24, 32 or 64
    int32_t bytes_per_sample;  // bits_per_sample / 8
    int32_t channels;
    int32_t is_float;          // 1: IEEE float samples, 0: integer PCM
    int32_t valid_bits;        // bits that carry the signal (extensible headers); else bits_per_sample
    uint32_t channel_mask;     // speaker positions of an extensible header; 0 when none
};

// Bytes of one frame: a sample of every channel.
inline int32_t Frame_Size(const Wav_Format* format) { return format->bytes_per_sample * format->channels; }

// A chunk found in a take: byte offset of its 8-byte header and its whole size in bytes
// (header, body and pad byte). bytes == 0: absent. A chunk of odd size at the very end of
// a file may lack its pad byte; it is carried with a zero one.
struct Chunk_Span {
    int64_t at;
    int64_t bytes;
    int32_t pad;  // 1: the body's size is odd and `bytes` counts a pad byte after it
};

// What the probe learned about a take.
struct Take_Info {
    Wav_Format format;
    int32_t frames;          // whole frames of audio the take holds
    int64_t data_offset;     // byte offset of frame 0
    int64_t data_end;        // byte offset where the audio ends (declared size, clamped to the file)
    int64_t file_bytes;      // size of the file
    Chunk_Span bext;         // broadcast-wave chunk, carried into outputs on request
    Chunk_Span ixml;         // iXML chunk, likewise
    File_Identity identity;  // the file the probe read
    int32_t format_missing;  // 1: no format chunk was found; its fields were read at byte
                             // PROBE_TAG_LIMIT (the caller says so: "Can't find format chunk")
};

// Probes the take at `path` and fills takes[take]. The chunk list is walked from byte
// 12; the first "data" chunk is the audio. Only where the walk cannot reach one (a size
// that runs past the end of the file, a file that is not RIFF/WAVE) are the tags
// searched for at even offsets up to 15000; a whole list without a data chunk is
// refused. A format chunk with no "fmt " id is searched for as "fmt" plus any
// character. Ends the process with a ">> " line naming the take when it is missing, has
// no data area, or holds audio the tool cannot cut frame-exactly (8-bit, compressed,
// Wave64, block align that disagrees with the frame size, more than 2^31 - 1 frames).
void GET_ATTRIBUTES(int32_t take, const char* path, Take_Info takes[]);

// ---- writing -----------------------------------------------------------------

// Header of an output of `frames` frames in `format`: canonical 44 bytes for integer PCM
// in one or two channels; format code 3 with a fact chunk for float; extensible for
// integer PCM in more than two channels and for float in more than two channels with a
// speaker mask; RF64 (a ds64 chunk after "WAVE", 0xFFFFFFFF in the 32-bit size fields)
// when the data passes MAX_DATA_BYTES or the chunks carried would take the RIFF size
// past 32 bits. `carried` chunks (whole chunks of `carry_from`, in order) are copied
// before the data chunk; one that reads short ends the process. Writes at byte 0 of `out`
// and returns the data offset.
int64_t WRITE_HEADER(const Stream* out, const Wav_Format* format, int32_t frames, const Stream* carry_from,
                     const Chunk_Span carried[], int32_t carried_count);

// Bytes WRITE_HEADER writes before the data of such a file (the data offset).
int64_t HEADER_SIZE(const Wav_Format* format, int32_t frames, const Chunk_Span carried[], int32_t carried_count);

// Removes whatever entry is at `path` (a link is removed, never followed), creates the
// file anew (exclusively, never through a link) holding only the canonical 44-byte
// integer PCM header declaring `frames` frames.
void MAKE_HEADER(const char* path, int32_t sample_rate, int32_t bits, int32_t frames, uint16_t channels);

// An open WAV file and where its audio lies: frame n begins at data_offset + n x frame
// size; bytes at or past data_end are no audio and read as silence.
struct Wav_File {
    Stream stream;
    int64_t data_offset;
    int64_t data_end;
    int64_t file_bytes;
};

// Reads `bytes` bytes of `file` from `byte_offset` on into `buffer`: what lies at or past
// the end of its audio (data_end: a trailing chunk, the end of the file) is silence.
// Returns the bytes of audio read.
int64_t Read_Audio(const Wav_File* file, int64_t byte_offset, uint8_t* buffer, int64_t bytes);
// The bytes of audio the file's layout puts within `bytes` bytes from `byte_offset` on:
// what Read_Audio returns unless the file was cut short.
int64_t Audio_Within(const Wav_File* file, int64_t byte_offset, int64_t bytes);

// The takes of one track (and its output, for the report) open at once, by path: an edit
// list that comes back to the same takes again and again opens each once. The oldest is
// closed when a further one is needed.
constexpr int32_t OPEN_FILES = 8;
constexpr int32_t READ_AHEAD_BYTES = 8192;
struct Open_Files {
    char paths[OPEN_FILES][256];
    Stream streams[OPEN_FILES];
    Read_Ahead ahead[OPEN_FILES];
    uint8_t ahead_bytes[OPEN_FILES][READ_AHEAD_BYTES];
    int32_t count;
    int32_t oldest;
};
// The file at `path`, opened unless it is open already, with Stream_Open_Probed (it must
// still be the file `identity` describes); its small reads are read ahead. The stream
// stays valid until Close_Files or a further open.
const Stream* Open_File(Open_Files* open, const char* path, const File_Identity* identity);
// Open_File for a reader that must not end the process (the edit checks, which run
// beside the build): nullptr where Open_File would refuse. No read ahead.
const Stream* Open_File_Quietly(Open_Files* open, const char* path, const File_Identity* identity);
// Stream_Read_At that does not end the process: -1 on a read error.
int64_t Stream_Read_Quietly(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes);
void Close_Files(Open_Files* open);

// Copies frames [source_frame, source_frame + frames) of `source` to frames
// [dest_frame, ...) of `dest`, extending it as needed; what the source's audio does not
// hold is written as silence. `buffer` (COPY_BYTES, the caller's) carries the bytes.
// Returns how many of the frames the source's audio held.
int32_t INSERT_FILE(const Wav_File* dest, const Wav_File* source, int32_t dest_frame, int32_t frame_size,
                    int32_t frames, int32_t source_frame, uint8_t* buffer);

// Writes `frames` silent (zero-byte) frames into `dest` from `start_frame` on, extending
// the file as needed. `zeros` is the caller's COPY_BYTES of zero bytes.
void PAD_FILE(const Wav_File* dest, int32_t start_frame, int32_t frame_size, int32_t frames, const uint8_t* zeros);
