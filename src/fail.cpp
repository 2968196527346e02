#include "fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void FAIL(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // The process ends here; a failed flush has nowhere left to be reported.
    (void)fflush(stdout);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Under the fuzzer a refusal is an answer, not a crash: the harness catches it.
    throw Refusal{};
#else
    exit(1);
#endif
}
