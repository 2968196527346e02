#include "fail.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// The partial output being built: its folder and its name there; the name is empty
// when there is none. This is the tool's one piece of process-wide state, on purpose: a
// signal handler receives nothing but the signal number, so the file it must remove can
// only be found here. A fixed buffer and unlinkat() keep the handler async-signal-safe.
static int partial_folder = -1;
static char partial_name[PARTIAL_NAME_BYTES];

static void Remove_Partial()
{
    if (partial_name[0] != '\0')
        (void)unlinkat(partial_folder, partial_name, 0);  // on the way out; a partial already gone is as good
}

static void On_Signal(int signal_number)
{
    Remove_Partial();
    // The handler was installed with SA_RESETHAND, so the signal's default action is
    // back; unblocked and raised again it ends the process at once. Where it does not
    // (a namespace's init ignores a signal left to its default action), the process
    // ends here all the same, with the status a shell gives a process ended by it.
    sigset_t raised;
    (void)sigemptyset(&raised);
    (void)sigaddset(&raised, signal_number);
    (void)sigprocmask(SIG_UNBLOCK, &raised, nullptr);
    (void)raise(signal_number);
    _exit(128 + signal_number);
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
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        FAIL(">> Cannot ignore SIGXFSZ and SIGPIPE, exiting\n");
}

// The caught signals; Hold_Signals blocks them, Release_Signals lets them through.
static void Mask_Signals(int how)
{
    sigset_t caught;
    (void)sigemptyset(&caught);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        (void)sigaddset(&caught, signal_number);
    if (sigprocmask(how, &caught, nullptr) != 0)
        FAIL(">> Cannot %s signals, exiting\n", how == SIG_BLOCK ? "hold" : "release");
}

void Hold_Signals()
{
    Mask_Signals(SIG_BLOCK);
}

void Release_Signals()
{
    Mask_Signals(SIG_UNBLOCK);
}

void Set_Partial(int folder, const char* name)
{
    size_t length = name == nullptr ? 0 : strlen(name);
    if (length >= sizeof partial_name)
        FAIL(">> The partial file name %s is longer than %i characters, exiting\n", name, PARTIAL_NAME_BYTES - 1);
    // The caught signals wait while the name is half copied. Callers that hold them
    // already (around a file's creation) keep holding them.
    sigset_t caught, previous;
    (void)sigemptyset(&caught);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        (void)sigaddset(&caught, signal_number);
    if (sigprocmask(SIG_BLOCK, &caught, &previous) != 0)
        FAIL(">> Cannot hold signals, exiting\n");
    partial_folder = folder;
    memcpy(partial_name, name == nullptr ? "" : name, length);
    partial_name[length] = '\0';
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
    partial_name[0] = '\0';
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
