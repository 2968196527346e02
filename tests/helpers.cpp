#include "helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <list>
#include <sstream>

void InFolder::SetUp()
{
    char folder[] = "/tmp/tavlin-test-XXXXXX";
    char cwd[4096];
    ASSERT_TRUE(mkdtemp(folder) && getcwd(cwd, sizeof cwd));
    dir_ = folder, old_ = cwd;
    ASSERT_EQ(chdir(folder), 0);
}

void InFolder::TearDown()
{
    ASSERT_EQ(chdir(old_.c_str()), 0);
    ASSERT_EQ(Shell("rm -rf '" + dir_ + "'").status, 0);
}

std::string Slurp(const std::string& path)
{
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

std::string Slurp_Head(const std::string& path, size_t bytes)
{
    std::string head(bytes, '\0');
    std::ifstream(path, std::ios::binary).read(&head[0], (std::streamsize)bytes);
    return head;
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

std::string Le16(uint32_t v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

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
    for (size_t at = 0; at < data.size(); at++) {
        size_t sample = at / bytes;
        uint32_t v = (uint32_t)Sample(take, sample / channels, sample % channels, bits);
        data[at] = char(v >> (8 * (at % bytes)));
    }
    std::string fmt = "fmt " + Le32(16) + Le16(1) + Le16(channels) + Le32(rate) + Le32(rate * bytes * channels) +
                      Le16(bytes * channels) + Le16(bits);
    std::string body = "WAVE" + fmt + extra + "data" + Le32(data.size()) + data;
    Spit(path, "RIFF" + Le32(body.size()) + body);
}

int32_t Sample_In(const std::string& wav, int64_t frame, int channel, int bits, int channels)
{
    size_t at = 44 + (frame * channels + channel) * (bits / 8);
    uint32_t v = 0;
    for (int k = 0; k < bits / 8; k++)
        v |= (uint32_t)(uint8_t)wav.at(at + k) << (8 * k);
    return (int32_t)(v << (32 - bits)) >> (32 - bits);
}

Wav_File Open_Wav(const std::string& path)
{
    std::string bytes = Slurp(path);
    int64_t size = (int64_t)bytes.size();
    uint32_t declared = 0;
    for (int k = 0; k < 4 && 40 + k < size; k++)
        declared |= (uint32_t)(uint8_t)bytes[40 + k] << (8 * k);
    int64_t end = 44 + (int64_t)declared < size ? 44 + (int64_t)declared : size;
    // The stream keeps a pointer to its path for messages: the names live as long as
    // the test process.
    static std::list<std::string> names;
    names.push_back(path);
    return Wav_File{Stream{open(path.c_str(), O_RDWR), names.back().c_str()}, 44, end, size};
}

Ran Shell(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    Ran r{-1, ""};
    char buf[4096];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        r.output.append(buf, n);
    int status = pipe ? pclose(pipe) : -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

Ran Run_Acting(const std::string& command, const std::string& cue, int count, const std::function<void(pid_t)>& act)
{
    int ends[2];
    if (pipe(ends) != 0)
        return Ran{-1, "pipe failed"};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], 1);
        dup2(ends[1], 2);
        close(ends[0]);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), (char*)nullptr);
        _exit(127);
    }
    close(ends[1]);
    Ran r{-1, ""};
    char buf[4096];
    bool acted = !act;
    for (ssize_t n; (n = read(ends[0], buf, sizeof buf)) > 0;) {
        r.output.append(buf, (size_t)n);
        int seen = 0;
        for (size_t at = 0; !acted && (at = r.output.find(cue, at)) != std::string::npos; at += cue.size())
            seen++;
        if (!acted && seen >= count) {
            act(pid);
            acted = true;
        }
    }
    close(ends[0]);
    int status;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return r;
}
