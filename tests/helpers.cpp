#include "helpers.h"

#include <sys/wait.h>

#include <cstring>
#include <fstream>

void InFolder::SetUp()
{
    char folder[] = "/tmp/tavlin-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    dir_ = folder, old_ = fs::current_path();
    fs::current_path(folder);
}

void InFolder::TearDown()
{
    fs::current_path(old_);
    fs::remove_all(dir_);
}

std::string Slurp(const std::string& path, int64_t from, int64_t bytes)
{
    std::error_code error;
    int64_t size = (int64_t)fs::file_size(path, error);
    std::string text(error ? 0 : (size_t)std::max<int64_t>(0, bytes < 0 ? size - from : std::min(bytes, size - from)), '\0');
    std::ifstream in(path, std::ios::binary);
    in.seekg(from);
    in.read(&text[0], (std::streamsize)text.size());
    return text;
}

void Spit(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string Le16(uint32_t v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::map<std::string, std::string> Snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        fs::file_status s = e.symlink_status();
        std::string name = e.path().lexically_relative(folder).string();
        files[name] = fs::is_symlink(s)        ? "<link to " + fs::read_symlink(e.path()).string() + ">"
                      : fs::is_regular_file(s) ? Slurp(e.path().string())
                      : fs::is_directory(s)    ? "<folder>"
                                               : "<other>";
    }
    return files;
}

int32_t Sample(int take, int64_t frame, int channel, int bits)
{
    int64_t v = (frame * 2654435761LL + channel * 40503LL + take * 1000003LL) % 16777216 - 8388608;
    return (int32_t)(bits == 16 ? v / 256 : bits == 32 ? v * 256 : v);
}

void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames)
{
    int bytes = bits / 8;
    std::string data(frames * channels * bytes, '\0');
    for (size_t at = 0; at < data.size(); at++) {
        size_t sample = at / bytes;
        data[at] = char((uint32_t)Sample(take, sample / channels, sample % channels, bits) >> (8 * (at % bytes)));
    }
    std::string fmt = "fmt " + Le32(16) + Le16(1) + Le16(channels) + Le32(rate) + Le32(rate * bytes * channels) +
                      Le16(bytes * channels) + Le16(bits);
    std::string body = "WAVE" + fmt + "data" + Le32(data.size()) + data;
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

Ran Run_Acting(const std::string& command, const std::string& cue, int count, const std::function<void(pid_t)>& act)
{
    int ends[2];
    if (pipe(ends) != 0)
        return Ran{-1, "pipe failed"};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], 1), dup2(ends[1], 2), close(ends[0]);
        execl("/bin/sh", "sh", "-c", ((act ? "exec " : "") + command).c_str(), (char*)nullptr);
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
        if (!acted && seen >= count)
            act(pid), acted = true;
    }
    close(ends[0]);
    int status;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return r;
}
