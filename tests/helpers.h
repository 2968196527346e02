// Test helpers: a scratch folder per test, WAV takes whose every sample is known,
// and running the tool as a user would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// A fresh folder under /tmp that the test works in (the tool reads its job from the
// working directory); removed afterwards.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_, old_;
};

std::string Slurp(const std::string& path);
void Spit(const std::string& path, const std::string& bytes);

// The value of a take's sample: distinct per take, frame and channel, spanning the
// whole range of the width (24-bit scale divided down for 16 and 32 bits).
int32_t Sample(int take, int64_t frame, int channel, int bits);
// A canonical 44-byte-header take of `frames` frames holding Sample(take, ...).
// `extra` is put between the format and the data chunk.
void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames,
                const std::string& extra = "");
// Reads sample (frame, channel) of a WAV whose data starts at byte 44.
int32_t Sample_In(const std::string& bytes, int64_t frame, int channel, int bits, int channels);
std::string Le16(uint32_t v);
std::string Le32(uint32_t v);

struct RunResult {
    int status;
    std::string output;
};
// Runs tavlin2a in the working directory with `args` (already quoted for the shell).
RunResult Run_Tool(const std::string& args = "");
bool Exists(const std::string& path);

// Expects `statement` to end the process with status 1 and a line on standard output
// that matches `regex`.
#define EXPECT_FAILS(statement, regex) \
    EXPECT_EXIT({ dup2(2, 1); statement; }, ::testing::ExitedWithCode(1), regex)
