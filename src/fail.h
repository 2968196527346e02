// The one way the tool stops on a fatal error, and the one way it stops on a command
// line it does not understand.
#pragma once

// Prints the formatted line exactly as given (callers add ">> " and the line feed
// where the message wants them), flushes standard output and ends the process with
// exit status 1. When standard error is a terminal it first erases the screen below
// the cursor, where a progress display may stand. Never returns.
[[noreturn]] void FAIL(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The command line was not understood: prints the formatted line (callers give the
// whole usage line and its line feed) on standard error and ends the process with
// exit status 2. Called before anything is read or written. Never returns.
[[noreturn]] void FAIL_USAGE(const char* format, ...) __attribute__((format(printf, 1, 2)));

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds throw this instead of exiting, so that one process tries many inputs.
struct Refusal {};
#endif
