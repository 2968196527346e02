// What keeps a run from costing the user a file: one run per folder, inputs known by
// identity before anything is opened or written, room and limits checked before the
// first write, and outputs published whole.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "fail.h"
#include "wav/wav.h"

// Writes the folder part of `path` into `folder` (NAME_SLOT bytes; "." when the path
// has no "/") and returns the file name part, which points into `path`.
static const char* Split_Path(const char* path, char* folder)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        strcpy(folder, ".");
        return path;
    }
    int length = slash == path ? 1 : (int)(slash - path);  // "/name" lives in "/"
    (void)snprintf(folder, NAME_SLOT, "%.*s", length, path);  // names are at most 127 characters: it fits
    return slash + 1;
}

static const char* Kind(mode_t mode)
{
    return S_ISDIR(mode)                     ? "a folder"
           : S_ISFIFO(mode)                  ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode)  ? "a device"
           : S_ISSOCK(mode)                  ? "a socket"
           : S_ISLNK(mode)                   ? "a link"
                                             : "not a file";
}

void Lock_Folder()
{
    int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        FAIL(">> Cannot open the working folder to lock it (%s), exiting\n", strerror(errno));
    if (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        char where[4096];
        if (errno == EWOULDBLOCK)
            FAIL(">> Another run is working in this folder; run again when it has finished, exiting\n"
                 ">> Folder: %s\n", getcwd(where, sizeof where) != nullptr ? where : "(the working folder)");
        FAIL(">> Cannot lock the working folder (%s), exiting\n", strerror(errno));
    }
    // `folder` stays open: the lock lasts as long as the process holds it.
}

// ---- inputs ------------------------------------------------------------------

// A file the build will replace: output of track `track`, or (track -1) the temp
// crossfade file.
struct Identity {
    dev_t device;
    ino_t inode;
    int32_t track;
};

static bool Before(const Identity& a, const Identity& b)
{
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

// Refuses `input` when it is one of the `count` files the build replaces (sorted).
static void Refuse_Replaced(const Job* job, const Identity* replaced, int32_t count, const struct stat& input,
                            const char* input_name)
{
    Identity key{input.st_dev, input.st_ino, 0};
    const Identity* hit = std::lower_bound(replaced, replaced + count, key, Before);
    if (hit == replaced + count || hit->device != key.device || hit->inode != key.inode)
        return;
    if (hit->track < 0)
        FAIL(">> The crossfade file %s is the same file as %s, which this job reads, exiting\n", TEMP_FILE,
             input_name);
    FAIL(">> Output file %s is the same file as %s, which this job reads, exiting\n", Out_Name(job, hit->track),
         input_name);
}

void Check_Inputs(const Job* job)
{
    // What stands at each output name and at the temp file name today (links followed:
    // a link to a take would hand the take to the build).
    Identity replaced[MAX_ENTRIES + 1];
    int32_t count = 0;
    struct stat st;
    for (int32_t t = -1; t < job->track_count; t++)
        if (stat(t < 0 ? TEMP_FILE : Out_Name(job, t), &st) == 0)
            replaced[count++] = Identity{st.st_dev, st.st_ino, t};
    std::sort(replaced, replaced + count, Before);

    for (const char* file : {RC_FILE, BASE_FILE, POINTS_FILE})
        if (stat(file, &st) == 0)
            Refuse_Replaced(job, replaced, count, st, file);
    char take[TAKE_NAME_BUFFER];
    for (int32_t t = 0; t < job->track_count; t++)
        for (int32_t i = 0; i < job->edit_count; i++) {
            Take_Name(job, t, i, take);
            if (stat(take, &st) != 0)
                continue;  // the probe reports a take it cannot find
            if (!S_ISREG(st.st_mode))
                FAIL(">> Take %s is not a regular file (%s), exiting\n", take, Kind(st.st_mode));
            Refuse_Replaced(job, replaced, count, st, take);
        }
}

// ---- outputs, room and limits -------------------------------------------------

// One file the build replaces: an output, or (last) the temp crossfade file.
struct Place {
    const char* path;
    const char* name;   // file name within its folder (points into path)
    dev_t folder_device;
    ino_t folder_inode;
    bool exists;        // something stands at the path, links followed
    dev_t device;
    ino_t inode;
    int64_t old_bytes;  // space that replacing it frees
    int64_t new_bytes;  // size of the new file
    int32_t room;       // index of its file system in the room table
};

// A file system the build writes to, with what the build has added there so far.
struct Room {
    dev_t device;
    bool known;         // statvfs answered
    int64_t free_bytes;
    int64_t block;      // files take whole blocks
    int64_t added;      // by the outputs published so far
    int64_t peak;
    int32_t peak_track;
};

// Bytes of a file of track t's format holding `frames` frames: its output (with the
// chunks it carries) or its temp crossfade file.
static int64_t File_Bytes(const Job* job, int32_t t, int32_t frames, bool output)
{
    const Wav_Format* format = &job->tracks[t].format;
    Chunk_Span carried[2];
    int32_t count = output ? Carried_Chunks(job, t, carried) : 0;
    return HEADER_SIZE(format, frames, carried, count) + (int64_t)frames * Frame_Size(format);
}

static int64_t Whole_Blocks(int64_t bytes, int64_t block)
{
    return (bytes + block - 1) / block * block;
}

// Registers the file system of `folder` (device `device`) and returns its index.
static int32_t Room_Of(Room* rooms, int32_t* count, dev_t device, const char* folder)
{
    for (int32_t r = 0; r < *count; r++)
        if (rooms[r].device == device)
            return r;
    Room room{device, false, 0, 1, 0, 0, -1};
    struct statvfs fs;
    // A file system that does not say how full it is goes unchecked; a write that
    // finds it full still ends the run with the previous outputs untouched.
    if (statvfs(folder, &fs) == 0) {
        room.known = true;
        room.block = fs.f_frsize > 0 ? (int64_t)fs.f_frsize : 1;
        room.free_bytes = (int64_t)fs.f_bavail * room.block;
    }
    rooms[*count] = room;
    return (*count)++;
}

void Check_Before_Writing(const Job* job)
{
    int32_t tracks = job->track_count;
    if (tracks == 0)
        return;
    Place places[MAX_ENTRIES + 1];
    Room rooms[MAX_ENTRIES + 1];
    int32_t room_count = 0;
    char folder[NAME_SLOT];
    for (int32_t k = 0; k <= tracks; k++) {
        Place& p = places[k];
        p.path = k < tracks ? Out_Name(job, k) : TEMP_FILE;
        const char* label = k < tracks ? "output file " : "the crossfade file ";
        const char* title = k < tracks ? "Output file " : "The crossfade file ";
        p.name = Split_Path(p.path, folder);
        struct stat st;
        // access() answers yes to root for any folder; a missing folder, or a path
        // through a file, is what stops root.
        int error = stat(folder, &st) != 0         ? errno
                    : !S_ISDIR(st.st_mode)          ? ENOTDIR
                    : access(folder, W_OK | X_OK) != 0 ? errno
                                                    : 0;
        if (error != 0)
            FAIL(">> The folder of %s%s cannot be used (%s: %s), exiting\n", label, p.path, folder, strerror(error));
        p.folder_device = st.st_dev;
        p.folder_inode = st.st_ino;
        p.room = Room_Of(rooms, &room_count, st.st_dev, folder);

        p.old_bytes = 0;
        if (lstat(p.path, &st) == 0) {
            if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
                FAIL(">> %s%s exists and is not a regular file (%s), exiting\n", title, p.path, Kind(st.st_mode));
            // A link is replaced, its target stays; a file with other names stays too.
            if (S_ISREG(st.st_mode) && st.st_nlink == 1 && k < tracks)
                p.old_bytes = (int64_t)st.st_blocks * 512;
        } else if (errno != ENOENT) {
            FAIL(">> Cannot look at %s%s (%s), exiting\n", label, p.path, strerror(errno));
        }
        p.exists = stat(p.path, &st) == 0;
        p.device = p.exists ? st.st_dev : 0;
        p.inode = p.exists ? st.st_ino : 0;
        p.new_bytes = 0;
        if (k < tracks)
            p.new_bytes = File_Bytes(job, k, job->tracks[k].length, true);
        else
            for (int32_t t = 0; t < tracks; t++)
                p.new_bytes = std::max(p.new_bytes, File_Bytes(job, t, job->tracks[t].fade_frames, false));
    }

    for (int32_t a = 0; a < tracks; a++)
        for (int32_t b = a + 1; b <= tracks; b++) {
            const Place& p = places[a];
            const Place& q = places[b];
            bool same_name = p.folder_device == q.folder_device && p.folder_inode == q.folder_inode &&
                             strcmp(p.name, q.name) == 0;
            bool same_file = p.exists && q.exists && p.device == q.device && p.inode == q.inode;
            if (!same_name && !same_file)
                continue;
            if (b == tracks)
                FAIL(">> Output file %s is the same file as %s, the crossfade file, exiting\n", p.path, TEMP_FILE);
            FAIL(">> Output files %s and %s are the same file, exiting\n", p.path, q.path);
        }

    struct rlimit limit;
    // getrlimit cannot fail for RLIMIT_FSIZE; were it to, writes past a limit still
    // end with a ">> " line (SIGXFSZ is ignored).
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        for (int32_t k = 0; k <= tracks; k++)
            if ((uint64_t)places[k].new_bytes > (uint64_t)limit.rlim_cur)
                FAIL(">> %s%s would be %lld bytes, over the file-size limit of %llu bytes, exiting\n",
                     k < tracks ? "Output file " : "The crossfade file ", places[k].path,
                     (long long)places[k].new_bytes, (unsigned long long)limit.rlim_cur);

    // Tracks are built in order; while track t is built its previous output still
    // exists, the outputs before it have replaced theirs, and one crossfade file may
    // stand in the working folder.
    const Place& temp = places[tracks];
    for (int32_t t = 0; t < tracks; t++) {
        const Place& p = places[t];
        int64_t temp_bytes =
            Whole_Blocks(File_Bytes(job, t, job->tracks[t].fade_frames, false), rooms[temp.room].block);
        for (int32_t r = 0; r < room_count; r++) {
            Room& room = rooms[r];
            int64_t during = room.added + (p.room == r ? Whole_Blocks(p.new_bytes, room.block) : 0) +
                             (temp.room == r ? temp_bytes : 0);
            if (during > room.peak) {
                room.peak = during;
                room.peak_track = t;
            }
        }
        rooms[p.room].added += Whole_Blocks(p.new_bytes, rooms[p.room].block) - p.old_bytes;
    }
    for (int32_t r = 0; r < room_count; r++)
        if (rooms[r].known && rooms[r].peak > rooms[r].free_bytes)
            FAIL(">> Not enough free space for %s: its file system needs %lld bytes while it is built and has "
                 "%lld free, exiting\n",
                 places[rooms[r].peak_track].path, (long long)rooms[r].peak, (long long)rooms[r].free_bytes);
}

void Remove_Stale_Partials(const Job* job)
{
    char folder[NAME_SLOT], earlier[NAME_SLOT], path[NAME_SLOT + 300];
    size_t prefix = strlen(PARTIAL_PREFIX);
    for (int32_t t = 0; t < job->track_count; t++) {
        (void)Split_Path(Out_Name(job, t), folder);
        bool seen = false;
        for (int32_t u = 0; u < t && !seen; u++) {
            (void)Split_Path(Out_Name(job, u), earlier);
            seen = strcmp(earlier, folder) == 0;
        }
        DIR* dir = seen ? nullptr : opendir(folder);
        if (dir == nullptr)
            continue;  // a folder that cannot be listed is refused by the checks, or holds nothing of ours
        for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
            const char* name = entry->d_name;
            const char* dot = strrchr(name, '.');
            if (strncmp(name, PARTIAL_PREFIX, prefix) != 0 || dot == nullptr || dot[1] == '\0' ||
                strspn(dot + 1, "0123456789") != strlen(dot + 1))
                continue;
            long pid = strtol(dot + 1, nullptr, 10);
            // A live process may be a run in another folder building into this one.
            if (pid <= 0 || pid == (long)getpid() || kill((pid_t)pid, 0) == 0 || errno != ESRCH)
                continue;
            snprintf(path, sizeof path, "%s/%s", folder, name);
            (void)unlink(path);  // left in place it costs room only; the room check counts what is free
        }
        (void)closedir(dir);  // the folder was only read
    }
}

// ---- publishing ------------------------------------------------------------------

Stream Begin_Output(const Job* job, int32_t t, char* partial)
{
    const char* out = Out_Name(job, t);
    const char* slash = strrchr(out, '/');
    int folder_length = slash == nullptr ? 0 : (int)(slash - out + 1);
    if (snprintf(partial, PARTIAL_BUFFER, "%.*s%s%s.%ld", folder_length, out, PARTIAL_PREFIX, out + folder_length,
                 (long)getpid()) >= PARTIAL_BUFFER)
        FAIL(">> The partial file name for %s is too long, exiting\n", out);
    Set_Partial(partial);  // the name holds our process id: nothing else of value stands there
    return Stream_Create(partial);
}

void Publish_Output(Stream* partial, const char* out)
{
    if (fsync(partial->fd) != 0)
        FAIL(">> Cannot finish writing %s (%s), exiting\n", partial->path, strerror(errno));
    Stream_Close_Written(partial);
    if (rename(partial->path, out) != 0)
        FAIL(">> Cannot replace %s with its new build (%s), exiting\n", out, strerror(errno));
    Set_Partial(nullptr);

    // The rename is done: the name holds the whole new output. Syncing the folder makes
    // the rename itself outlast a power cut; where a file system cannot sync a folder,
    // the name holds after a power cut either the previous output or the new one, both
    // whole, so a failure here is ignored.
    char folder[NAME_SLOT];
    (void)Split_Path(out, folder);
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        (void)close(dir);
    }
}
