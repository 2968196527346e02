// What keeps a run from costing the user a file: one run per folder, inputs known by
// identity before anything is opened or written, room and limits checked before the
// first write, and outputs published whole.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "report/report.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"

static const char* Kind(mode_t mode)
{
    return S_ISDIR(mode)                     ? "a folder"
           : S_ISFIFO(mode)                  ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode)  ? "a device"
           : S_ISSOCK(mode)                  ? "a socket"
           : S_ISLNK(mode)                   ? "a link"
                                             : "not a file";
}

void Lock_Folder(Job* job)
{
    // A job with many output folders holds a descriptor for each: the soft limit on open
    // files is raised to the hard one. Where it cannot be, opening a folder fails and
    // says so.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &files);
    }
    int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        FAIL(">> Cannot open the working folder to lock it (%s), exiting\n", strerror(errno));
    if (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        char where[4096];
        if (errno == EWOULDBLOCK)
            FAIL(">> Another run is working in this folder; run again when it has finished, exiting\n"
                 ">> Folder: %s\n", getcwd(where, sizeof where) != nullptr ? Show(where).text : "(the working folder)");
        FAIL(">> Cannot lock the working folder (%s), exiting\n", strerror(errno));
    }
    // `folder` stays open: the lock lasts as long as the process holds it, and the folder
    // is where xfade_temp.wav and outputs without a folder of their own are written.
    job->folders[0] = Folder{folder, 0, ".", 1};
    job->folder_count = 1;
}

// The place of a file the run writes at `path`: its folder opened (once for every path
// that names the same folder the same way), its name the part after the last "/". A
// folder that cannot be opened is kept with its error, which the checks report.
static Place Place_Of(Job* job, const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr)
        return Place{0, path, path, {}};
    int32_t length = slash == path ? 1 : (int32_t)(slash - path);  // "/name" lives in "/"
    for (int32_t f = 1; f < job->folder_count; f++)
        if (job->folders[f].length == length && strncmp(job->folders[f].path, path, (size_t)length) == 0)
            return Place{f, slash + 1, path, {}};
    if (job->folder_count == MAX_FOLDERS)
        FAIL(">> More than %i output folders, exiting\n", MAX_FOLDERS - 1);
    char folder[4096];
    if (length >= (int32_t)sizeof folder)
        FAIL(">> The folder of %s is too long a path, exiting\n", Show(path).text);
    memcpy(folder, path, (size_t)length);
    folder[length] = '\0';
    // Opened once, now: whatever the path leads to later, the run writes here.
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    job->folders[job->folder_count] = Folder{fd, fd < 0 ? errno : 0, path, length};
    return Place{job->folder_count++, slash + 1, path, {}};
}

void Open_Folders(Job* job)
{
    for (int32_t t = 0; t < job->track_count; t++)
        job->outputs[t] = Place_Of(job, Out_Name(job, t));
    job->temp = Place{0, TEMP_FILE, TEMP_FILE, {}};
    job->report = job->options.report != nullptr ? Place_Of(job, job->options.report) : Place{0, nullptr, nullptr, {}};
}

// What stands at `place`: stat (links followed) or, with `no_follow`, lstat; false with
// errno set when nothing does or its folder could not be opened.
static bool Stat_At(const Job* job, const Place& place, struct stat* st, bool no_follow)
{
    const Folder& folder = job->folders[place.folder];
    if (folder.fd < 0) {
        errno = folder.error;
        return false;
    }
    return fstatat(folder.fd, place.name, st, no_follow ? AT_SYMLINK_NOFOLLOW : 0) == 0;
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
             Show(input_name).text);
    FAIL(">> Output file %s is the same file as %s, which this job reads, exiting\n",
         Show(Out_Name(job, hit->track)).text, Show(input_name).text);
}

void Check_Inputs(const Job* job)
{
    // What stands at each output name and at the temp file name today (links followed:
    // a link to a take would hand the take to the build).
    Identity replaced[MAX_ENTRIES + 1];
    int32_t count = 0;
    struct stat st;
    for (int32_t t = -1; t < job->track_count; t++)
        if (Stat_At(job, t < 0 ? job->temp : job->outputs[t], &st, false))
            replaced[count++] = Identity{st.st_dev, st.st_ino, t};
    std::sort(replaced, replaced + count, Before);

    for (const char* file : {RC_FILE, BASE_FILE, POINTS_FILE})
        if (stat(file, &st) == 0)
            Refuse_Replaced(job, replaced, count, st, file);
    char take[TAKE_NAME_BUFFER];
    // Each take once, however many edit points name it.
    for (int32_t t = 0; t < job->track_count; t++)
        for (int32_t k = 0; k < job->take_count; k++) {
            Take_Name(job, t, job->first_edit[k], take);
            if (stat(take, &st) != 0)
                continue;  // the probe reports a take it cannot find
            if (!S_ISREG(st.st_mode))
                FAIL(">> Take %s is not a regular file (%s), exiting\n", Show(take).text, Kind(st.st_mode));
            Refuse_Replaced(job, replaced, count, st, take);
        }
}

// ---- outputs, room and limits -------------------------------------------------

// One file the run writes: an output, the temp crossfade file, or the report.
struct Target {
    Place place;
    const char* label;   // "output file ", "the crossfade file ", "the report "
    dev_t folder_device;
    ino_t folder_inode;
    bool exists;        // something stands at the name, links followed
    dev_t device;
    ino_t inode;
    int64_t old_bytes;  // space that replacing it frees
    int64_t new_bytes;  // size of the new file (the report: the most it can take)
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
    int32_t peak_target;
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

// Registers the file system of the folder open as `fd` (device `device`) and returns its index.
static int32_t Room_Of(Room* rooms, int32_t* count, dev_t device, int fd)
{
    for (int32_t r = 0; r < *count; r++)
        if (rooms[r].device == device)
            return r;
    Room room{device, false, 0, 1, 0, 0, -1};
    struct statvfs fs;
    // A file system that does not say how full it is goes unchecked; a write that
    // finds it full still ends the run with the previous outputs untouched.
    if (fstatvfs(fd, &fs) == 0) {
        room.known = true;
        room.block = fs.f_frsize > 0 ? (int64_t)fs.f_frsize : 1;
        room.free_bytes = (int64_t)fs.f_bavail * room.block;
    }
    rooms[*count] = room;
    return (*count)++;
}

// Looks at the folder and at what stands at the name of `target`; refuses what the run
// cannot write there.
static void Look_At(const Job* job, Target* target, Room* rooms, int32_t* room_count)
{
    const Place& place = target->place;
    const Folder& folder = job->folders[place.folder];
    struct stat st;
    // faccessat() answers yes to root for any folder; a missing folder, or a path
    // through a file, is what stops root.
    int error = folder.fd < 0                                ? folder.error
                : fstat(folder.fd, &st) != 0                  ? errno
                : faccessat(folder.fd, ".", W_OK | X_OK, 0) != 0 ? errno
                                                              : 0;
    if (error != 0) {
        char folder_path[4096];
        snprintf(folder_path, sizeof folder_path, "%.*s", (int)folder.length, folder.path);
        FAIL(">> The folder of %s%s cannot be used (%s: %s), exiting\n", target->label, Show(place.path).text,
             Show(folder_path).text, strerror(error));
    }
    target->folder_device = st.st_dev;
    target->folder_inode = st.st_ino;
    target->room = Room_Of(rooms, room_count, st.st_dev, folder.fd);
    target->old_bytes = 0;
    if (Stat_At(job, place, &st, true)) {
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            char title[32];
            snprintf(title, sizeof title, "%s", target->label);
            title[0] = (char)toupper((unsigned char)title[0]);
            FAIL(">> %s%s exists and is not a regular file (%s), exiting\n", title, Show(place.path).text,
                 Kind(st.st_mode));
        }
        // A link is replaced, its target stays; a file with other names stays too.
        if (S_ISREG(st.st_mode) && st.st_nlink == 1 && target->label[0] == 'o')
            target->old_bytes = (int64_t)st.st_blocks * 512;
    } else if (errno != ENOENT) {
        FAIL(">> Cannot look at %s%s (%s), exiting\n", target->label, Show(place.path).text, strerror(errno));
    }
    target->exists = Stat_At(job, place, &st, false);
    target->device = target->exists ? st.st_dev : 0;
    target->inode = target->exists ? st.st_ino : 0;
}

void Check_Before_Writing(const Job* job)
{
    int32_t tracks = job->track_count;
    if (tracks == 0 && job->report.name == nullptr)
        return;
    // Outputs, then the temp crossfade file, then the report if there is one.
    static Target targets[MAX_ENTRIES + 2];
    static Room rooms[MAX_ENTRIES + 2];
    int32_t room_count = 0;
    int32_t count = tracks + 1;
    const int32_t temp = tracks, report = tracks + 1;
    for (int32_t k = 0; k < tracks; k++) {
        targets[k] = Target{};
        targets[k].place = job->outputs[k];
        targets[k].label = "output file ";
        targets[k].new_bytes = File_Bytes(job, k, job->tracks[k].length, true);
    }
    targets[temp] = Target{};
    targets[temp].place = job->temp;
    targets[temp].label = "the crossfade file ";
    for (int32_t t = 0; t < tracks; t++)
        targets[temp].new_bytes = std::max(targets[temp].new_bytes, File_Bytes(job, t, job->tracks[t].fade_frames, false));
    if (job->report.name != nullptr) {
        if (strlen(job->report.name) > (size_t)PARTIAL_NAME_MAX)
            FAIL(">> The report's name %s is too long: a name in its folder may have at most %i characters, "
                 "exiting\n", Show(job->report.path).text, PARTIAL_NAME_MAX);
        targets[report] = Target{};
        targets[report].place = job->report;
        targets[report].label = "the report ";
        targets[report].new_bytes = Report_Bytes_At_Most(job);
        count++;
    }
    for (int32_t k = 0; k < count; k++)
        if (k < tracks || tracks > 0 || k == report)
            Look_At(job, &targets[k], rooms, &room_count);

    for (int32_t a = 0; a < count; a++)
        for (int32_t b = a + 1; b < count; b++) {
            const Target& p = targets[a];
            const Target& q = targets[b];
            if ((a == temp || b == temp) && tracks == 0)
                continue;  // nothing is built: the crossfade file is not touched
            bool same_name = p.folder_device == q.folder_device && p.folder_inode == q.folder_inode &&
                             strcmp(p.place.name, q.place.name) == 0;
            bool same_file = p.exists && q.exists && p.device == q.device && p.inode == q.inode;
            if (!same_name && !same_file)
                continue;
            if (b == report)
                FAIL(">> The report %s would replace %s%s, exiting\n", Show(q.place.path).text,
                     a == temp ? "the crossfade file " : "the output ", Show(p.place.path).text);
            if (b == temp)
                FAIL(">> Output file %s is the same file as %s, the crossfade file, exiting\n", Show(p.place.path).text,
                     TEMP_FILE);
            FAIL(">> Output files %s and %s are the same file, exiting\n>> %s line %i (%s) and line %i (%s) name them\n",
                 Show(p.place.path).text, Show(q.place.path).text, BASE_FILE, job->base_lines[a],
                 Show(Base_Name(job, a)).text, job->base_lines[b], Show(Base_Name(job, b)).text);
        }

    struct rlimit limit;
    // getrlimit cannot fail for RLIMIT_FSIZE; were it to, writes past a limit still
    // end with a ">> " line (SIGXFSZ is ignored).
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        for (int32_t k = 0; k < count; k++) {
            if ((uint64_t)targets[k].new_bytes <= (uint64_t)limit.rlim_cur || (k == temp && tracks == 0))
                continue;
            char title[32];
            snprintf(title, sizeof title, "%s", targets[k].label);
            title[0] = (char)toupper((unsigned char)title[0]);
            FAIL(">> %s%s would be %s%lld bytes, over the file-size limit of %llu bytes, exiting\n", title,
                 Show(targets[k].place.path).text, k == report ? "up to " : "", (long long)targets[k].new_bytes,
                 (unsigned long long)limit.rlim_cur);
        }

    // Tracks are built in order; while track t is built its previous output still
    // exists, the outputs before it have replaced theirs, and one crossfade file may
    // stand in the working folder. The report comes last, when the crossfade file holds
    // a header at most.
    for (int32_t t = 0; t <= tracks; t++) {
        bool is_report = t == tracks;
        if (is_report && job->report.name == nullptr)
            break;
        const Target& p = targets[is_report ? report : t];
        int64_t temp_bytes = is_report ? 0 : Whole_Blocks(File_Bytes(job, t, job->tracks[t].fade_frames, false),
                                                          rooms[targets[temp].room].block);
        for (int32_t r = 0; r < room_count; r++) {
            Room& room = rooms[r];
            int64_t during = room.added + (p.room == r ? Whole_Blocks(p.new_bytes, room.block) : 0) +
                             (targets[temp].room == r ? temp_bytes : 0);
            if (during > room.peak) {
                room.peak = during;
                room.peak_target = is_report ? report : t;
            }
        }
        rooms[p.room].added += Whole_Blocks(p.new_bytes, rooms[p.room].block) - p.old_bytes;
    }
    for (int32_t r = 0; r < room_count; r++)
        if (rooms[r].known && rooms[r].peak > rooms[r].free_bytes)
            FAIL(">> Not enough free space for %s: its file system needs %lld bytes while it is built and has "
                 "%lld free, exiting\n",
                 Show(targets[rooms[r].peak_target].place.path).text, (long long)rooms[r].peak,
                 (long long)rooms[r].free_bytes);
}

void Remove_Stale_Partials(const Job* job)
{
    // Only the partial names of this job's own outputs (and report), only in their own
    // folders, and only those no process holds: a live run, in this PID namespace or
    // another, holds a lock on each of its partial files until it renames them.
    for (int32_t f = 0; f < job->folder_count; f++) {
        int fd = job->folders[f].fd < 0 ? -1 : dup(job->folders[f].fd);
        DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
        if (dir == nullptr) {
            if (fd >= 0)
                (void)close(fd);  // only listed
            continue;  // a folder that cannot be listed is refused by the checks, or holds nothing of ours
        }
        rewinddir(dir);
        for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
            bool ours = job->report.name != nullptr && job->report.folder == f &&
                        Is_Partial_Of(entry->d_name, job->report.name);
            for (int32_t t = 0; t < job->track_count && !ours; t++)
                ours = job->outputs[t].folder == f && Is_Partial_Of(entry->d_name, job->outputs[t].name);
            if (!ours)
                continue;
            int partial = openat(job->folders[f].fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat held, named;
            // Locked by us, not empty, and still the file at that name: nobody builds it
            // any more. (A run locks its partial file before writing a byte of it.)
            if (partial >= 0 && flock(partial, LOCK_EX | LOCK_NB) == 0 && fstat(partial, &held) == 0 &&
                S_ISREG(held.st_mode) && held.st_size > 0 &&
                fstatat(job->folders[f].fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                (void)unlinkat(job->folders[f].fd, entry->d_name, 0);  // left in place it costs room only
            if (partial >= 0)
                (void)close(partial);  // only looked at; closing lets go of the lock
        }
        (void)closedir(dir);  // the folder was only read
    }
}

// ---- publishing ------------------------------------------------------------------

void Begin_Output(const Job* job, int32_t t, Partial* partial)
{
    const Place& place = job->outputs[t];
    Partial_Begin(job->folders[place.folder].fd, place.name, place.path, partial);
}
