#pragma once
// A private sound server for tests and benchmarks that capture sound: a PulseAudio daemon of its own
// (its own runtime folder and home, so it touches nothing of the user's) with a null sink whose
// monitor is a capture device, sounds played into that sink, and sinks that come and go.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace drevik::testing {

class SoundServer {
public:
    // The sink every server has; its monitor is named monitorName() among the capture devices.
    static constexpr const char* sinkName = "drevik_test";
    static constexpr const char* sinkDescription = "DrevikTestSink";
    static std::string monitorName(const std::string& description = sinkDescription) {
        return "Monitor of " + description;
    }

    SoundServer() {
        char pattern[] = "/tmp/drevik-sound-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        std::filesystem::create_directories(folder_ / "home");
        std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
        const std::string sink =
            std::string("module-null-sink sink_name=") + sinkName + " sink_properties=device.description=" +
            sinkDescription;
        const std::string runtime = folder_.string();
        const std::string home = (folder_ / "home").string();
        pid_t child = ::fork();
        if (child == 0) {
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            ::setenv("HOME", home.c_str(), 1);
            const std::string log = (folder_ / "server.log").string();
            std::freopen(log.c_str(), "w", stderr);
            std::freopen("/dev/null", "w", stdout);
            ::execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--disable-shm=yes", "-L", "module-native-protocol-unix", "-L", sink.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (child < 0) return;
        pid_ = child;
        for (int i = 0; i < 1000 && !std::filesystem::exists(folder_ / "pulse" / "native"); ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!std::filesystem::exists(folder_ / "pulse" / "native")) stop();
    }

    ~SoundServer() {
        stop();
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool running() const { return pid_ > 0; }
    // Where clients find the server, as PULSE_SERVER takes it.
    std::string address() const { return "unix:" + (folder_ / "pulse" / "native").string(); }
    const std::filesystem::path& folder() const { return folder_; }

    // Points this process's sound clients (and the processes it starts) at the server, through the
    // sound library's PulseAudio driver.
    void becomeTheProcessServer() const {
        ::setenv("PULSE_SERVER", address().c_str(), 1);
        ::setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    }

    // Runs one of the server's command-line clients with arguments; its exit status (and output).
    int client(const std::string& arguments, std::string* output = nullptr) const {
        const std::string command = "PULSE_SERVER='" + address() + "' HOME='" + (folder_ / "home").string() + "' " +
                                    arguments + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return -1;
        std::string text;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
        const int status = ::pclose(pipe);
        if (output != nullptr) *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Adds a null sink (a description without spaces); the module's index (to remove it again), or -1.
    int addSink(const std::string& name, const std::string& description) const {
        std::string index;
        if (client("pactl load-module module-null-sink sink_name=" + name + " sink_properties=device.description=" +
                       description,
                   &index) != 0)
            return -1;
        return std::atoi(index.c_str());
    }
    bool removeSink(int module) const { return client("pactl unload-module " + std::to_string(module)) == 0; }

    // Plays a sound file into a sink in the background; the player's process id (waitPlayer ends it).
    pid_t play(const std::filesystem::path& sound, const std::string& sink = sinkName) const {
        const std::string address = this->address();
        pid_t child = ::fork();
        if (child == 0) {
            ::setenv("PULSE_SERVER", address.c_str(), 1);
            std::freopen("/dev/null", "w", stderr);
            ::execlp("paplay", "paplay", "--latency-msec=10", "-d", sink.c_str(), sound.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return child;
    }
    static void waitPlayer(pid_t player, bool stopNow = false) {
        if (player <= 0) return;
        if (stopNow) ::kill(player, SIGTERM);
        ::waitpid(player, nullptr, 0);
    }

private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    std::filesystem::path folder_;
    pid_t pid_ = -1;
};

// Writes a 48 kHz mono 16-bit WAV: `silentSeconds` of silence, then a `hertz` sine of `amplitude`
// (0...1) for `toneSeconds`, then silence again for `silentSeconds`.
inline void writeToneFile(const std::filesystem::path& location, double toneSeconds, double hertz = 440,
                          double amplitude = 0.5, double silentSeconds = 0) {
    constexpr int rate = 48000;
    const auto silent = static_cast<std::int64_t>(silentSeconds * rate);
    const auto tone = static_cast<std::int64_t>(toneSeconds * rate);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(2 * silent + tone), 0);
    for (std::int64_t i = 0; i < tone; ++i) {
        samples[static_cast<std::size_t>(silent + i)] =
            static_cast<std::int16_t>(std::lround(32767.0 * amplitude * std::sin(2 * M_PI * hertz * static_cast<double>(i) / rate)));
    }
    const auto put = [](std::ofstream& out, std::uint32_t value, int bytes) {
        for (int b = 0; b < bytes; ++b) out.put(static_cast<char>((value >> (8 * b)) & 0xff));
    };
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::ofstream out(location, std::ios::binary);
    out.write("RIFF", 4);
    put(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    put(out, 16, 4);
    put(out, 1, 2); // PCM
    put(out, 1, 2); // mono
    put(out, rate, 4);
    put(out, rate * 2, 4);
    put(out, 2, 2);
    put(out, 16, 2);
    out.write("data", 4);
    put(out, dataBytes, 4);
    for (std::int16_t sample : samples) put(out, static_cast<std::uint16_t>(sample), 2);
}

} // namespace drevik::testing
