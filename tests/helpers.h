// Test helpers: a scratch folder per test, takes whose every sample is known, and
// running commands (the tool, sox) as a user would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "wav/wav.h"

namespace fs = std::filesystem;

// Each test works in a fresh folder under /tmp, removed afterwards: the tool reads
// its job from the working directory.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_, old_;
};

// The bytes of `path` from byte `from` on (at most `bytes` of them).
std::string Slurp(const std::string& path, int64_t from = 0, int64_t bytes = -1);
void Spit(const std::string& path, const std::string& bytes);
std::string Le16(uint32_t v);
std::string Le32(uint32_t v);
// Every entry under `folder`, links not followed: a file's bytes, a link's target, or
// the kind of entry (a FIFO is never opened).
std::map<std::string, std::string> Snapshot(const std::string& folder = ".");

// Sample (frame, channel) of take `take`: distinct per take, frame and channel and
// spread over the whole range of the width.
int32_t Sample(int take, int64_t frame, int channel, int bits);
// The one WAV writer of the tests: `frames` frames of value(frame, channel), a fraction
// of full scale (integers rounded and held to their width: 1.0 is the highest value,
// -1.0 the lowest; floats as given), behind a canonical header (format code 3 for float),
// with `before_data` chunks between the format and the data chunk.
using Wav_Value = std::function<double(int64_t frame, int channel)>;
void Write_Wav(const std::string& path, int rate, int bits, bool is_float, int channels, int64_t frames,
               const Wav_Value& value, const std::string& before_data = "");
// A take holding Sample(), by default behind a canonical 44-byte header; laid out otherwise:
// chunks around its data chunk, silence in holes that cost no disk but for the frame ranges
// [from, to) in `audio`, and an RF64 header (ds64).
struct Take_Layout {
    std::string before_data, after_data;
    std::vector<std::pair<int64_t, int64_t>> audio{{0, INT64_MAX}};
    bool rf64 = false;
};
void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames,
                const Take_Layout& layout = Take_Layout());
// Sample (frame, channel) of a WAV whose data starts at byte 44: in its bytes, or read from disk.
int32_t Sample_In(const std::string& wav, int64_t frame, int channel, int bits, int channels);
int32_t Sample_At(const std::string& path, int64_t frame, int channel, int bits, int channels);

// Exit status (or 128 + the ending signal), standard output and standard error.
struct Ran { int status; std::string output; };
// Runs `command` in a shell. With `act`, the shell execs it, so that the child is the
// command itself, and once its output holds `cue` for the `count`-th time, `act` is
// called with its process id.
Ran Run_Acting(const std::string& command, const std::string& cue = "", int count = 0,
               const std::function<void(pid_t)>& act = nullptr);
inline Ran Shell(const std::string& command) { return Run_Acting(command); }
inline Ran Run_Tool(const std::string& args = "") { return Shell(std::string(TAVLIN2A) + " " + args); }

// The tool preloaded with the test interposer (tests/interpose.cpp), which acts once as
// `vars` say (TAVLIN_TEST_WHEN, TAVLIN_TEST_DO, ...), as the start of a command line: the
// variables reach the tool alone, not the shell or a program that starts the tool.
std::string Interposed(const std::map<std::string, std::string>& vars);

// A command started in the background by a shell that execs it, so that the child is the
// command itself, for runs that stop themselves (the interposer's "stop") and are then
// acted on. Its standard output and error go into one pipe; with `unread`, standard
// output is a pipe that no process reads from the start, and only standard error is kept.
// A command still running when this goes out of scope is killed.
class Started {
    int output_ = -1;  // declared before pid, whose start sets it
    Ran ran_{-1, ""};
    bool ended_ = false;
    void Read(bool to_the_end);

public:
    explicit Started(const std::string& command, bool unread = false);
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
    ~Started();
    // Waits until the command stops itself (true) or ends (false).
    bool Stopped();
    void Continue();
    // Closes the reading end of the pipe: what the command writes from here on has no reader.
    void Close_Output();
    // Waits for the end: the exit status (or 128 + the ending signal) and the output read.
    Ran Wait();
    const pid_t pid;
};

// Runs `command` to its end; each time it stops itself, calls `act` (when given) and, with
// `close_output`, closes the reading end of its output before continuing it.
Ran Run_Held(const std::string& command, const std::function<void(pid_t)>& act = nullptr,
             bool close_output = false);

// Expects `statement` to end the process with status 1, printing a line that matches `regex`.
#define EXPECT_FAILS(statement, regex) \
    EXPECT_EXIT({ dup2(2, 1); statement; }, ::testing::ExitedWithCode(1), regex)
