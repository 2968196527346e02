#include "fail.h"

#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// The path of the partial output being built; empty when there is none. This is the
// tool's one piece of process-wide state, on purpose: a signal handler receives
// nothing but the signal number, so the file it must remove can only be found here.
// A fixed buffer and unlink() keep the handler async-signal-safe.
static char partial_path[PARTIAL_PATH_BYTES];

static void Remove_Partial()
{
    if (partial_path[0] != '\0')
        (void)unlink(partial_path);  // on the way out; a partial already gone is as good
}

static void On_Signal(int signal_number)
{
    Remove_Partial();
    // The handler was installed with SA_RESETHAND, so the signal's default action is
    // back; raised again it ends the process as soon as this handler returns.
    (void)raise(signal_number);
}

void Catch_Signals()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = On_Signal;
    action.sa_flags = SA_RESETHAND;
    (void)sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(signal_number, &action, nullptr) != 0)
            FAIL(">> Cannot catch signal %i, exiting\n", signal_number);
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
        FAIL(">> Cannot ignore SIGXFSZ, exiting\n");
}

void Set_Partial(const char* path)
{
    size_t length = path == nullptr ? 0 : strlen(path);
    if (length >= sizeof partial_path)
        FAIL(">> The partial file name %s is longer than %i characters, exiting\n", path, PARTIAL_PATH_BYTES - 1);
    // The caught signals wait while the buffer is half copied.
    sigset_t caught, previous;
    (void)sigemptyset(&caught);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        (void)sigaddset(&caught, signal_number);
    if (sigprocmask(SIG_BLOCK, &caught, &previous) != 0)
        FAIL(">> Cannot hold signals, exiting\n");
    memcpy(partial_path, path == nullptr ? "" : path, length);
    partial_path[length] = '\0';
    if (sigprocmask(SIG_SETMASK, &previous, nullptr) != 0)
        FAIL(">> Cannot release signals, exiting\n");
}

// Ends the process with `status`, or under the fuzzer hands the refusal to the harness.
[[noreturn]] static void Stop(int status)
{
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Under the fuzzer a refusal is an answer, not a crash: the harness catches it.
    (void)status;
    throw Refusal{};
#else
    exit(status);
#endif
}

void FAIL(const char* format, ...)
{
    // A progress display stands on the line below the cursor; the message and the
    // prompt that follows it would otherwise land on its leftovers. Losing this
    // erase only leaves stale text on the screen.
    if (isatty(2))
        (void)!write(2, "\033[J", 3);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // The process ends here; a failed flush has nowhere left to be reported.
    (void)fflush(stdout);
    Remove_Partial();
    partial_path[0] = '\0';
    Stop(1);
}

void FAIL_USAGE(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // Standard error is unbuffered; a line that cannot be written has nowhere else to go.
    (void)vfprintf(stderr, format, args);
    va_end(args);
    Stop(2);
}
