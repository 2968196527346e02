// Streams: files opened without waiting on a FIFO, read and written at byte positions
// with every result looked at, the open takes of a track, and files built under a
// hidden partial name and published whole.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fail.h"
#include "text.h"
#include "wav/wav.h"

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


File_Identity Identity_Of(const struct stat& st)
{
    return File_Identity{(uint64_t)st.st_dev, (uint64_t)st.st_ino, (int64_t)st.st_size, (int64_t)st.st_mtim.tv_sec,
                         (int64_t)st.st_mtim.tv_nsec};
}

bool Same_Identity(const File_Identity* a, const File_Identity* b)
{
    return a->device == b->device && a->inode == b->inode && a->bytes == b->bytes && a->modified_s == b->modified_s &&
           a->modified_ns == b->modified_ns;
}

bool Same_File(int fd, const File_Identity* identity)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return false;
    File_Identity now = Identity_Of(st);
    return Same_Identity(&now, identity);
}

Stream Stream_Open_Probed(const char* path, const File_Identity* identity)
{
    Stream stream = Stream_Try_Read(path);
    if (!Same_File(stream.fd, identity)) {
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

static void Stream_Flush_Writes(const Stream* stream);

File_Identity Partial_Publish(Partial* partial, bool sync_folder)
{
    Stream_Flush_Writes(&partial->stream);
    struct stat st;
    if (fsync(partial->stream.fd) != 0 || fstat(partial->stream.fd, &st) != 0)
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
    if (sync_folder)
        (void)fsync(partial->folder);
    return Identity_Of(st);
}

// pread() of up to `bytes` bytes at `byte_offset`, fewer only at the end of the file;
// returns how many, or -1 on a read error (errno says which).
static int64_t Read_Up_To(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t got = 0;
    while (got < bytes) {
        ssize_t n = pread(stream->fd, buffer + got, (size_t)(bytes - got), (off_t)(byte_offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Read_Up_To, where a read error ends the process.
static int64_t Read_Through(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t got = Read_Up_To(stream, byte_offset, buffer, bytes);
    if (got < 0)
        FAIL(">> Cannot read %s (%s), exiting\n", Show(stream->path).text, strerror(errno));
    return got;
}

int64_t Stream_Read_At(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    Read_Ahead* r = stream->ahead;
    int64_t got;
    if (r != nullptr && bytes <= r->capacity / 2) {
        bool held = byte_offset >= r->start && (byte_offset + bytes <= r->start + r->length ||
                                                (r->to_end && byte_offset <= r->start + r->length));
        if (!held) {
            // A little before the read as well: the crossfade into a segment begins just
            // before the segment does.
            r->start = byte_offset - r->capacity / 4 > 0 ? byte_offset - r->capacity / 4 : 0;
            r->length = Read_Through(stream, r->start, r->bytes, r->capacity);
            r->to_end = r->length < r->capacity;
        }
        // A file cut short since the block was read may end before the read begins.
        got = r->start + r->length - byte_offset < bytes ? r->start + r->length - byte_offset : bytes;
        got = got < 0 ? 0 : got;
        memcpy(buffer, r->bytes + (byte_offset - r->start), (size_t)got);
    } else {
        got = Read_Through(stream, byte_offset, buffer, bytes);
    }
    // Past the end of the file: what is not there is silence.
    if (got < bytes)
        memset(buffer + got, 0, (size_t)(bytes - got));
    return got;
}

// pwrite() of the whole of `bytes` bytes at `byte_offset`, or the process ends.
static void Write_Through(const Stream* stream, int64_t byte_offset, const uint8_t* buffer, int64_t bytes)
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

void Stream_Hold_Writes(Stream* stream, Write_Window* window, uint8_t* bytes, int64_t capacity, int64_t file_end)
{
    memset(bytes, 0, (size_t)capacity);
    *window = Write_Window{bytes, capacity, file_end, file_end};
    stream->window = window;
}

// Writes what the stream's window holds to the file.
static void Stream_Flush_Writes(const Stream* stream)
{
    Write_Window* w = stream->window;
    if (w == nullptr || w->end == w->start)
        return;
    Write_Through(stream, w->start, w->bytes, w->end - w->start);
    memset(w->bytes, 0, (size_t)(w->end - w->start));
    w->start = w->end;
}

void Stream_Write_At(const Stream* stream, int64_t byte_offset, const uint8_t* buffer, int64_t bytes)
{
    Write_Window* w = stream->window;
    if (w == nullptr) {
        Write_Through(stream, byte_offset, buffer, bytes);
        return;
    }
    // What lies before the window is in the file already: written over there.
    if (byte_offset < w->start) {
        int64_t before = w->start - byte_offset < bytes ? w->start - byte_offset : bytes;
        Write_Through(stream, byte_offset, buffer, before);
        byte_offset += before, buffer += before, bytes -= before;
        if (bytes == 0)
            return;
    }
    if (byte_offset + bytes > w->start + w->capacity) {
        // Past the window: what it holds goes to the file first, and the window begins
        // again where the file now ends.
        Stream_Flush_Writes(stream);
        if (byte_offset < w->start) {
            int64_t before = w->start - byte_offset;
            Write_Through(stream, byte_offset, buffer, before);
            byte_offset += before, buffer += before, bytes -= before;
        }
        if (byte_offset + bytes > w->start + w->capacity) {  // larger than the window
            Write_Through(stream, byte_offset, buffer, bytes);
            w->start = w->end = byte_offset + bytes;
            return;
        }
    }
    memcpy(w->bytes + (byte_offset - w->start), buffer, (size_t)bytes);
    if (byte_offset + bytes > w->end)
        w->end = byte_offset + bytes;
}

void Stream_Close_Written(Stream* stream)
{
    Stream_Flush_Writes(stream);
    stream->window = nullptr;
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

// The slot of `path` among the open files: *found when it is open; otherwise a free
// slot, or the oldest, closed, for it.
static int32_t Slot_Of(Open_Files* open, const char* path, bool* found)
{
    int32_t k = 0;
    while (k < open->count && strcmp(open->paths[k], path) != 0)
        k++;
    *found = k < open->count;
    if (*found)
        return k;
    if (open->count < OPEN_FILES) {
        k = open->count++;
    } else {
        k = open->oldest;
        open->oldest = (open->oldest + 1) % OPEN_FILES;
        if (open->streams[k].fd >= 0)
            Stream_Close_Unwritten(&open->streams[k]);
    }
    snprintf(open->paths[k], sizeof open->paths[k], "%s", path);
    return k;
}

const Stream* Open_File(Open_Files* open, const char* path, const File_Identity* identity)
{
    bool found;
    int32_t k = Slot_Of(open, path, &found);
    if (found)
        return &open->streams[k];
    open->streams[k] = Stream_Open_Probed(open->paths[k], identity);
    open->ahead[k] = Read_Ahead{open->ahead_bytes[k], READ_AHEAD_BYTES, 0, 0, false};
    open->streams[k].ahead = &open->ahead[k];
    return &open->streams[k];
}

const Stream* Open_File_Quietly(Open_Files* open, const char* path, const File_Identity* identity)
{
    bool found;
    int32_t k = Slot_Of(open, path, &found);
    if (!found) {
        open->streams[k] = Stream_Try_Read(open->paths[k]);
        if (open->streams[k].fd < 0 || (identity != nullptr && !Same_File(open->streams[k].fd, identity))) {
            // Not the file the probe read: the slot is given up, and the build says so.
            if (open->streams[k].fd >= 0)
                (void)close(open->streams[k].fd);  // only opened to read
            open->paths[k][0] = '\0';
            open->streams[k].fd = -1;
        }
    }
    return open->streams[k].fd >= 0 ? &open->streams[k] : nullptr;
}

int64_t Stream_Read_Quietly(const Stream* stream, int64_t byte_offset, uint8_t* buffer, int64_t bytes)
{
    int64_t got = Read_Up_To(stream, byte_offset, buffer, bytes);
    if (got >= 0 && got < bytes)
        memset(buffer + got, 0, (size_t)(bytes - got));
    return got;
}

void Close_Files(Open_Files* open)
{
    for (int32_t k = 0; k < open->count; k++)
        if (open->streams[k].fd >= 0)
            Stream_Close_Unwritten(&open->streams[k]);
    open->count = 0;
    open->oldest = 0;
}
