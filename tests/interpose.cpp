// Test-only library, preloaded into the tool (LD_PRELOAD), that changes the folder under a
// run at one exact point of it, as another program or a user could at that moment. The
// tool never reads these variables; only a test sets them, for the one run it preloads:
//
//   TAVLIN_TEST_WHEN   KIND:TEXT  the calls that count: KIND is
//                        open    open, openat and fopen of a file, not creating it
//                        create  the same with O_CREAT (fopen "w", "a", "x")
//                        rename  rename, renameat and renameat2, either name
//                        sync    fsync and fdatasync of a file whose path holds TEXT
//                        read    pread and pread64 of a file whose path holds TEXT
//                      and TEXT is a part of the name as given or, for a name relative to
//                      a folder descriptor, of that folder's path, "/" and the name.
//   TAVLIN_TEST_NTH    which of those calls acts: 1 (the default) the first one
//   TAVLIN_TEST_AFTER  "1": act just after the real call; otherwise just before it
//   TAVLIN_TEST_DO     the action, taken once (names relative to the working folder):
//                        rename FROM TO     rename FROM over TO
//                        link TARGET NAME   make NAME a symbolic link to TARGET, in one step
//                        fifo NAME          replace NAME by a FIFO
//                        truncate NAME N    cut NAME to N bytes
//                        signal N           send the process signal N
//                        stop               stop the process (SIGSTOP) until it is continued
//   TAVLIN_TEST_PID    getpid() answers this number: a run in another PID namespace, or a
//                      process id that no process has
//
// When it acts it says so on standard error ("[interposer: ACTION at KIND NAME]"), so that
// a test can tell a run that was never forced from one that withstood the fault. The real
// calls are found with dlsym(RTLD_NEXT); the actions use them, so an action never counts
// as a call of the tool.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace {

template <typename F>
F Real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int Real_Rename(const char* from, const char* to)
{
    static auto real = Real<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

int calls = 0;        // matching calls so far
bool acted = false;

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// The path of open descriptor `fd` ("" when unknown).
std::string Fd_Path(int fd)
{
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    return n > 0 ? std::string(path, (size_t)n) : "";
}

// Carries out TAVLIN_TEST_DO at a call of `kind` on `name`.
void Act(const char* kind, const std::string& name)
{
    std::string action = Env("TAVLIN_TEST_DO");
    dprintf(2, "[interposer: %s at %s %s]\n", action.c_str(), kind, name.c_str());
    char a[4096] = "", b[4096] = "";
    int fields = sscanf(action.c_str(), "%*s %4095s %4095s", a, b);
    std::string verb = action.substr(0, action.find(' '));
    pid_t self = (pid_t)syscall(SYS_getpid);
    if (verb == "rename" && fields == 2) {
        (void)Real_Rename(a, b);
    } else if (verb == "link" && fields == 2) {
        std::string temp = std::string(b) + ".interpose-link";
        (void)unlink(temp.c_str());
        if (symlink(a, temp.c_str()) == 0)
            (void)Real_Rename(temp.c_str(), b);
    } else if (verb == "fifo" && fields >= 1) {
        (void)unlink(a);
        (void)mkfifo(a, 0644);
    } else if (verb == "truncate" && fields == 2) {
        (void)truncate(a, atoll(b));
    } else if (verb == "signal" && fields >= 1) {
        (void)kill(self, atoi(a));
    } else if (verb == "stop") {
        (void)kill(self, SIGSTOP);
    } else {
        fprintf(stderr, "interpose: unknown action \"%s\"\n", action.c_str());
        abort();
    }
}

// The call that acts, for the line that says so.
const char* due_kind = "";
std::string due_name;

// True when a call of `kind` on `name` (relative to folder descriptor `folder`) is the
// one that acts; counts it.
bool Due(const char* kind, int folder, const char* name)
{
    if (acted || name == nullptr)
        return false;
    std::string when = Env("TAVLIN_TEST_WHEN");
    size_t colon = when.find(':');
    if (colon == std::string::npos || when.compare(0, colon, kind) != 0)
        return false;
    std::string text = when.substr(colon + 1), full = name;
    if (folder != AT_FDCWD && name[0] != '/')
        full = Fd_Path(folder) + "/" + name;
    if (full.find(text) == std::string::npos)
        return false;
    std::string nth = Env("TAVLIN_TEST_NTH");
    if (++calls < (nth.empty() ? 1 : atoi(nth.c_str())))
        return false;
    acted = true, due_kind = kind, due_name = full;
    return true;
}

bool After() { return Env("TAVLIN_TEST_AFTER") == "1"; }

// Runs `call` with the action before or after it when it is due.
template <typename Call>
auto Around(bool due, Call call)
{
    if (due && !After())
        Act(due_kind, due_name);
    auto result = call();
    if (due && After())
        Act(due_kind, due_name);
    return result;
}

int Open_At(const char* symbol, int folder, const char* path, int flags, mode_t mode)
{
    bool due = Due((flags & O_CREAT) != 0 ? "create" : "open", folder, path);
    return Around(due, [&] {
        if (folder == AT_FDCWD && strncmp(symbol, "open", 4) == 0 && symbol[4] != 'a') {
            static auto real = Real<int (*)(const char*, int, ...)>("open");
            static auto real64 = Real<int (*)(const char*, int, ...)>("open64");
            return (strcmp(symbol, "open64") == 0 ? real64 : real)(path, flags, mode);
        }
        static auto real = Real<int (*)(int, const char*, int, ...)>("openat");
        static auto real64 = Real<int (*)(int, const char*, int, ...)>("openat64");
        return (strcmp(symbol, "openat64") == 0 ? real64 : real)(folder, path, flags, mode);
    });
}

FILE* Fopen(const char* symbol, const char* path, const char* mode)
{
    bool due = Due(strchr("wax", mode[0]) != nullptr ? "create" : "open", AT_FDCWD, path);
    return Around(due, [&] {
        static auto real = Real<FILE* (*)(const char*, const char*)>("fopen");
        static auto real64 = Real<FILE* (*)(const char*, const char*)>("fopen64");
        return (strcmp(symbol, "fopen64") == 0 ? real64 : real)(path, mode);
    });
}

mode_t Mode(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = Mode(flags, args);
    va_end(args);
    return Open_At("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = Mode(flags, args);
    va_end(args);
    return Open_At("open64", AT_FDCWD, path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = Mode(flags, args);
    va_end(args);
    return Open_At("openat", folder, path, flags, mode);
}

int openat64(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = Mode(flags, args);
    va_end(args);
    return Open_At("openat64", folder, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) { return Fopen("fopen", path, mode); }
FILE* fopen64(const char* path, const char* mode) { return Fopen("fopen64", path, mode); }

int rename(const char* from, const char* to) noexcept
{
    bool due = Due("rename", AT_FDCWD, from) || Due("rename", AT_FDCWD, to);
    return Around(due, [&] { return Real_Rename(from, to); });
}

int renameat(int from_folder, const char* from, int to_folder, const char* to) noexcept
{
    bool due = Due("rename", from_folder, from) || Due("rename", to_folder, to);
    return Around(due, [&] {
        static auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
        return real(from_folder, from, to_folder, to);
    });
}

#ifdef RENAME_NOREPLACE
int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned int flags) noexcept
{
    bool due = Due("rename", from_folder, from) || Due("rename", to_folder, to);
    return Around(due, [&] {
        static auto real = Real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
        return real(from_folder, from, to_folder, to, flags);
    });
}
#endif

int fsync(int fd)
{
    bool due = Due("sync", AT_FDCWD, Fd_Path(fd).c_str());
    return Around(due, [&] {
        static auto real = Real<int (*)(int)>("fsync");
        return real(fd);
    });
}

int fdatasync(int fd)
{
    bool due = Due("sync", AT_FDCWD, Fd_Path(fd).c_str());
    return Around(due, [&] {
        static auto real = Real<int (*)(int)>("fdatasync");
        return real(fd);
    });
}

// Only when reads are watched is the path of each read's file looked up.
static bool Reads_Watched() { return Env("TAVLIN_TEST_WHEN").rfind("read:", 0) == 0; }

ssize_t pread(int fd, void* buffer, size_t bytes, off_t at)
{
    bool due = Reads_Watched() && Due("read", AT_FDCWD, Fd_Path(fd).c_str());
    return Around(due, [&] {
        static auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
        return real(fd, buffer, bytes, at);
    });
}

ssize_t pread64(int fd, void* buffer, size_t bytes, off_t at)
{
    bool due = Reads_Watched() && Due("read", AT_FDCWD, Fd_Path(fd).c_str());
    return Around(due, [&] {
        static auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
        return real(fd, buffer, bytes, at);
    });
}

pid_t getpid() noexcept
{
    std::string pid = Env("TAVLIN_TEST_PID");
    return pid.empty() ? (pid_t)syscall(SYS_getpid) : (pid_t)atoi(pid.c_str());
}

}  // extern "C"
