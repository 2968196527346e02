#include "fail.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
