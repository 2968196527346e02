#include "helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
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

// A WAV header through the data chunk's size, for `data` bytes of audio and then `after` bytes of
// chunks: RIFF, or RF64 with the sizes in its ds64 chunk.
static std::string Wav_Header(int rate, int bits, bool is_float, int channels, const std::string& before_data,
                              int64_t data, int64_t after = 0, bool rf64 = false)
{
    int bytes = bits / 8;
    std::string fmt = "fmt " + Le32(16) + Le16(is_float ? 3 : 1) + Le16(channels) + Le32(rate) +
                      Le32(rate * bytes * channels) + Le16(bytes * channels) + Le16(bits);
    int64_t riff = 4 + (rf64 ? 36 : 0) + (int64_t)(fmt.size() + before_data.size()) + 8 + data + after;
    if (!rf64)
        return "RIFF" + Le32((uint32_t)riff) + "WAVE" + fmt + before_data + "data" + Le32((uint32_t)data);
    auto le64 = [](int64_t v) { return Le32((uint32_t)v) + Le32((uint32_t)(v >> 32)); };
    std::string ds64 = "ds64" + Le32(28) + le64(riff) + le64(data) + le64(data / (bytes * channels)) + Le32(0);
    return "RF64" + Le32(0xFFFFFFFF) + "WAVE" + ds64 + fmt + before_data + "data" + Le32(0xFFFFFFFF);
}

// Frames [from, to) of value(frame, channel) as a WAV file holds them (see Write_Wav).
static std::string Data_Of(int bits, bool is_float, int channels, int64_t from, int64_t to, const Wav_Value& value)
{
    int bytes = bits / 8;
    std::string data;
    data.reserve((size_t)(std::max<int64_t>(0, to - from) * channels * bytes));
    for (int64_t f = from; f < to; f++)
        for (int c = 0; c < channels; c++) {
            double v = value(f, c);
            uint64_t raw;
            if (is_float && bits == 32) {
                float narrow = (float)v;
                uint32_t b;
                memcpy(&b, &narrow, 4);
                raw = b;
            } else if (is_float) {
                memcpy(&raw, &v, 8);
            } else {
                double top = std::ldexp(1.0, bits - 1);
                raw = (uint64_t)(int64_t)std::max(-top, std::min(top - 1, std::round(v * top)));
            }
            for (int k = 0; k < bytes; k++)
                data += char(raw >> (8 * k));
        }
    return data;
}

void Write_Wav(const std::string& path, int rate, int bits, bool is_float, int channels, int64_t frames,
               const Wav_Value& value, const std::string& before_data)
{
    std::string data = Data_Of(bits, is_float, channels, 0, frames, value);
    Spit(path, Wav_Header(rate, bits, is_float, channels, before_data, (int64_t)data.size()) + data);
}

void Write_Take(const std::string& path, int take, int rate, int bits, int channels, int64_t frames,
                const Take_Layout& layout)
{
    int frame_bytes = bits / 8 * channels;
    std::string head = Wav_Header(rate, bits, false, channels, layout.before_data, frames * frame_bytes,
                                  (int64_t)layout.after_data.size(), layout.rf64);
    Spit(path, head);
    ASSERT_EQ(truncate(path.c_str(), (off_t)head.size() + frames * frame_bytes), 0) << path;
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const double top = std::ldexp(1.0, bits - 1);
    for (auto [from, to] : layout.audio) {
        from = std::max<int64_t>(0, from);
        std::string data = Data_Of(bits, false, channels, from, std::min(frames, to),
                                   [&](int64_t f, int c) { return Sample(take, f, c, bits) / top; });
        file.seekp((std::streamoff)head.size() + from * frame_bytes);
        file.write(data.data(), (std::streamsize)data.size());
    }
    file.seekp(0, std::ios::end);
    file << layout.after_data;
}

static int32_t Sample_Of(const std::string& raw, size_t at, int bits)
{
    uint32_t v = 0;
    for (int k = 0; k < bits / 8; k++)
        v |= (uint32_t)(uint8_t)raw.at(at + k) << (8 * k);
    return (int32_t)(v << (32 - bits)) >> (32 - bits);
}

int32_t Sample_In(const std::string& wav, int64_t frame, int channel, int bits, int channels)
{
    return Sample_Of(wav, 44 + (frame * channels + channel) * (bits / 8), bits);
}

int32_t Sample_At(const std::string& path, int64_t frame, int channel, int bits, int channels)
{
    return Sample_Of(Slurp(path, 44 + (frame * channels + channel) * (bits / 8), bits / 8), 0, bits);
}

static int Status_Of(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Runs `command` in a shell, its standard output and error into a pipe whose reading end is
// `*output` (with `unread`, standard output is a pipe without a reader).
static pid_t Start(const std::string& command, bool unread, int* output)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    // Room for all the tool says, so that it never waits on a full pipe while the test
    // waits for it to stop or end.
    (void)fcntl(ends[0], F_SETPIPE_SZ, 1 << 20);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], 2);
        int unread_ends[2];
        if (unread && pipe(unread_ends) == 0)  // made here, its reading end closed here: no reader anywhere
            close(unread_ends[0]), dup2(unread_ends[1], 1), close(unread_ends[1]);
        else
            dup2(ends[1], 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(ends[1]);
    *output = ends[0];
    return pid;
}

Ran Run_Acting(const std::string& command, const std::string& cue, int count, const std::function<void(pid_t)>& act)
{
    int output;
    pid_t pid = Start((act ? "exec " : "") + command, false, &output);
    if (pid < 0)
        return Ran{-1, "pipe failed"};
    Ran r{-1, ""};
    char buf[4096];
    bool acted = !act;
    for (ssize_t n; (n = read(output, buf, sizeof buf)) > 0;) {
        r.output.append(buf, (size_t)n);
        int seen = 0;
        for (size_t at = 0; !acted && (at = r.output.find(cue, at)) != std::string::npos; at += cue.size())
            seen++;
        if (!acted && seen >= count)
            act(pid), acted = true;
    }
    close(output);
    int status;
    waitpid(pid, &status, 0);
    r.status = Status_Of(status);
    return r;
}

std::string Interposed(const std::map<std::string, std::string>& vars)
{
    // A sanitized tool checks that its runtime is loaded first; a preloaded library comes
    // before it, which is harmless here.
    std::string line = std::string("env LD_PRELOAD='") + TAVLIN_INTERPOSE +
                       "' ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\"";
    for (const auto& [name, value] : vars)
        line += " " + name + "='" + value + "'";
    return line + " " + TAVLIN2A;
}

Started::Started(const std::string& command, bool unread) : pid(Start("exec " + command, unread, &output_)) {}

Started::~Started()
{
    if (!ended_ && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (output_ >= 0)
        close(output_);
}

void Started::Read(bool to_the_end)
{
    if (output_ < 0)
        return;
    if (!to_the_end)
        (void)fcntl(output_, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(output_, buf, sizeof buf)) > 0;)
        ran_.output.append(buf, (size_t)n);
    (void)fcntl(output_, F_SETFL, 0);
}

bool Started::Stopped()
{
    int status;
    if (ended_ || pid <= 0 || waitpid(pid, &status, WUNTRACED) != pid)
        return false;
    if (WIFSTOPPED(status)) {
        Read(false);
        return true;
    }
    ended_ = true, ran_.status = Status_Of(status);
    Read(true);
    return false;
}

void Started::Continue() { kill(pid, SIGCONT); }

void Started::Close_Output()
{
    Read(false);
    if (output_ >= 0)
        close(output_), output_ = -1;
}

Ran Started::Wait()
{
    int status;
    if (!ended_ && pid > 0 && waitpid(pid, &status, 0) == pid)
        ran_.status = Status_Of(status);
    ended_ = true;
    Read(true);
    return ran_;
}

Ran Run_Held(const std::string& command, const std::function<void(pid_t)>& act, bool close_output)
{
    Started run(command);
    while (run.Stopped()) {
        if (act)
            act(run.pid);
        if (close_output)
            run.Close_Output();
        run.Continue();
    }
    return run.Wait();
}
