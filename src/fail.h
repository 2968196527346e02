// The one way the tool stops on a fatal error, and the one way it stops on a command
// line it does not understand; and the one file it removes on the way out: the partial
// output being built, so that an output name only ever holds a whole build.
#pragma once

#include <cstdint>

// Longest name of a partial output within its folder, with its NUL.
constexpr int32_t PARTIAL_NAME_BYTES = 512;

// Prints the formatted line exactly as given (callers add ">> " and the line feed
// where the message wants them), flushes standard output, removes the partial file
// named by Set_Partial and ends the process with exit status 1. When standard error is
// a terminal it first erases the screen below the cursor, where a progress display may
// stand. Never returns.
[[noreturn]] void FAIL(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The command line was not understood: prints the formatted line (callers give the
// whole usage line and its line feed) on standard error and ends the process with
// exit status 2. Called before anything is read or written. Never returns.
[[noreturn]] void FAIL_USAGE(const char* format, ...) __attribute__((format(printf, 1, 2)));

// SIGINT, SIGTERM and SIGHUP remove the partial file, then end the process by the same
// signal (its exit status shows it), or with status 128 + the signal where the signal
// cannot end it (the init of a PID namespace, a container's command, ignores it).
// SIGXFSZ and SIGPIPE are ignored, so a write past the file-size limit or to a closed
// standard output fails and is reported like any other failed write. Called once, at
// the start of a run.
void Catch_Signals();

// Holds the caught signals back (they wait) until Release_Signals, so that a file can be
// created and named by Set_Partial with no moment in between.
void Hold_Signals();
void Release_Signals();

// Names the partial file that FAIL and the caught signals remove: `name` in the folder
// open as `folder` (nullptr: none). The name is copied (at most PARTIAL_NAME_BYTES - 1
// characters, else FAIL); the folder descriptor must stay open while it is named.
void Set_Partial(int folder, const char* name);

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds throw this instead of exiting, so that one process tries many inputs.
struct Refusal {};
#endif
