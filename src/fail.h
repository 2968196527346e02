// The one way the tool stops on a fatal error.
#pragma once

// Prints the formatted line exactly as given (callers add ">> " and the line feed
// where the message wants them), flushes standard output and ends the process with
// exit status 1. Never returns.
[[noreturn]] void FAIL(const char* format, ...) __attribute__((format(printf, 1, 2)));

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds throw this instead of exiting, so that one process tries many inputs.
struct Refusal {};
#endif
