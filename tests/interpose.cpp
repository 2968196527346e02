// Test-only library, preloaded into the tool (LD_PRELOAD), that changes the folder under a
// run at one exact point of it, as another program or a user could at that moment. The
// tool never reads these variables; only a test sets them, for the one run it preloads:
//
//   TAVLIN_TEST_WHEN   KIND:TEXT  the calls that count: those of KIND on a file whose path holds TEXT
//                        open, create  open and openat, without or with O_CREAT, of the name as given
//                                      or, relative to a folder descriptor, that folder's path, "/"
//                                      and the name
//                        sync, read    fsync, pread
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
//   TAVLIN_TEST_THREADS "0": no thread can be started (pthread_create answers EAGAIN, as
//                      under a limit on processes)
//
// When it acts it says so on standard error ("[interposer: ACTION at KIND NAME]"), so that a
// test can tell a run never forced from one that withstood the fault. Only the calls the tool
// makes that a test watches are wrapped, their real ones found with dlsym(RTLD_NEXT); the
// actions make none of them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

// The real function `name`, in a local `real` of the wrapper's own type.
#define REAL(name) static auto real = reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

namespace {

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
    std::string action = Env("TAVLIN_TEST_DO"), verb = action.substr(0, action.find(' '));
    dprintf(2, "[interposer: %s at %s %s]\n", action.c_str(), kind, name.c_str());
    char a[4096] = "", b[4096] = "";
    int fields = sscanf(action.c_str(), "%*s %4095s %4095s", a, b);
    if (verb == "rename" && fields == 2) {
        (void)rename(a, b);
    } else if (verb == "link" && fields == 2) {
        std::string temp = std::string(b) + ".interpose-link";
        (void)unlink(temp.c_str());
        if (symlink(a, temp.c_str()) == 0)
            (void)rename(temp.c_str(), b);
    } else if (verb == "fifo" && fields >= 1) {
        (void)unlink(a);
        (void)mkfifo(a, 0644);
    } else if (verb == "truncate" && fields == 2) {
        (void)truncate(a, atoll(b));
    } else if (verb == "signal" && fields >= 1) {
        (void)kill((pid_t)syscall(SYS_getpid), atoi(a));
    } else if (verb == "stop") {
        (void)kill((pid_t)syscall(SYS_getpid), SIGSTOP);
    } else {
        fprintf(stderr, "interpose: unknown action \"%s\"\n", action.c_str());
        abort();
    }
}

int calls = 0;  // matching calls so far
bool acted = false;

// Runs `call`, with the action just before or after it when it is the call that acts: one
// of `kind` on `name` relative to folder descriptor `folder` or, with no name, on the file
// open as `folder` (whose path is looked up only when calls of `kind` are watched).
template <typename Call>
auto Around(const char* kind, int folder, const char* name, Call call)
{
    std::string when = Env("TAVLIN_TEST_WHEN"), nth = Env("TAVLIN_TEST_NTH"), full;
    size_t colon = when.find(':');
    bool due = !acted && colon != std::string::npos && when.compare(0, colon, kind) == 0;
    if (due)
        full = name == nullptr ? Fd_Path(folder)
               : folder == AT_FDCWD || name[0] == '/' ? std::string(name) : Fd_Path(folder) + "/" + name;
    due = due && full.find(when.substr(colon + 1)) != std::string::npos;
    due = due && ++calls >= (nth.empty() ? 1 : atoi(nth.c_str()));
    acted = acted || due;
    bool after = Env("TAVLIN_TEST_AFTER") == "1";
    if (due && !after)
        Act(kind, full);
    auto result = call();
    if (due && after)
        Act(kind, full);
    return result;
}

}  // namespace

extern "C" {

int openat(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    REAL(openat);
    const char* kind = (flags & O_CREAT) != 0 ? "create" : "open";
    return Around(kind, folder, path, [&] { return real(folder, path, flags, mode); });
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return openat(AT_FDCWD, path, flags, mode);
}

int fsync(int fd)
{
    REAL(fsync);
    return Around("sync", fd, nullptr, [&] { return real(fd); });
}

ssize_t pread(int fd, void* buffer, size_t bytes, off_t at)
{
    REAL(pread);
    return Around("read", fd, nullptr, [&] { return real(fd, buffer, bytes, at); });
}

pid_t getpid() noexcept
{
    std::string pid = Env("TAVLIN_TEST_PID");
    return pid.empty() ? (pid_t)syscall(SYS_getpid) : (pid_t)atoi(pid.c_str());
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument)
{
    if (Env("TAVLIN_TEST_THREADS") == "0") {
        dprintf(2, "[interposer: no thread]\n");
        return EAGAIN;
    }
    REAL(pthread_create);
    return real(thread, attributes, start, argument);
}

}  // extern "C"
