#include "helpers.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

void InFolder::SetUp()
{
    char tmpl[] = "/tmp/tavlin-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
}

void InFolder::TearDown()
{
    ASSERT_EQ(chdir(old_.c_str()), 0);
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Le16(uint32_t v)
{
    return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)};
}

std::string Le32(uint32_t v)
{
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}

int32_t Sample(int take, int64_t frame, int channel, int bits)
{
    int64_t v = (frame * 2654435761LL + channel * 40503LL + take * 1000003LL) % 16777216 - 8388608;
    return (int32_t)(bits == 16 ? v / 256 : bits == 32 ? v * 256 : v);
}

void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames,
                const std::string& extra)
{
    int bytes = bits / 8;
    std::string data(frames * channels * bytes, '\0');
    size_t at = 0;
    for (int64_t f = 0; f < frames; f++)
        for (int c = 0; c < channels; c++) {
            uint32_t v = (uint32_t)Sample(take, f, c, bits);
            for (int k = 0; k < bytes; k++)
                data[at++] = char((v >> (8 * k)) & 0xFF);
        }
    std::string fmt = "fmt " + Le32(16) + Le16(1) + Le16(channels) + Le32(rate) +
                      Le32(rate * bytes * channels) + Le16(bytes * channels) + Le16(bits);
    std::string body = "WAVE" + fmt + extra + "data" + Le32(data.size()) + data;
    Spit(path, "RIFF" + Le32(body.size()) + body);
}

int32_t Sample_In(const std::string& bytes, int64_t frame, int channel, int bits, int channels)
{
    int width = bits / 8;
    size_t at = 44 + (frame * channels + channel) * width;
    uint32_t v = 0;
    for (int k = 0; k < width; k++)
        v |= (uint32_t)(uint8_t)bytes.at(at + k) << (8 * k);
    int shift = 32 - bits;
    return (int32_t)(v << shift) >> shift;
}

RunResult Run_Tool(const std::string& args)
{
    FILE* pipe = popen((std::string(TAVLIN2A) + " " + args + " 2>&1").c_str(), "r");
    RunResult r{-1, ""};
    if (pipe == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        r.output.append(buf, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
