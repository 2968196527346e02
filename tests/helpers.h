// Test helpers: a scratch folder per test, takes whose every sample is known, and
// running commands (the tool, sox) as a user would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "wav/wav.h"

// Each test works in a fresh folder under /tmp, removed afterwards: the tool reads
// its job from the working directory.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_, old_;
};

std::string Slurp(const std::string& path);
std::string Slurp_Head(const std::string& path, size_t bytes);  // the first bytes only
void Spit(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
std::string Le16(uint32_t v);
std::string Le32(uint32_t v);

// Sample (frame, channel) of take `take`: distinct per take, frame and channel and
// spread over the whole range of the width.
int32_t Sample(int take, int64_t frame, int channel, int bits);
// A take with a canonical header (and `extra` chunks before its data) holding Sample().
void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames,
                const std::string& extra = "");
// Sample (frame, channel) of a WAV whose data starts at byte 44.
int32_t Sample_In(const std::string& wav, int64_t frame, int channel, int bits, int channels);

// `path` opened for reading and writing with its data area as a canonical 44-byte
// header declares it (clamped to the file), as the crossfade engine and copies take it.
Wav_File Open_Wav(const std::string& path);

struct Ran {
    int status;
    std::string output;  // standard output and standard error
};
Ran Shell(const std::string& command);
inline Ran Run_Tool(const std::string& args = "") { return Shell(std::string(TAVLIN2A) + " " + args); }
// Runs `command` in a shell that execs it, so that the child is the command itself;
// once its standard output holds `cue` for the `count`-th time, calls `act` with the
// child's process id (once). Status: the exit status, or 128 + the ending signal.
Ran Run_Acting(const std::string& command, const std::string& cue = "", int count = 0,
               const std::function<void(pid_t)>& act = nullptr);

// Expects `statement` to end the process with status 1, printing a line that matches `regex`.
#define EXPECT_FAILS(statement, regex) \
    EXPECT_EXIT({ dup2(2, 1); statement; }, ::testing::ExitedWithCode(1), regex)
