#pragma once
// Test helpers for recordings: made with ffmpeg in the test's own folder, read back as raw samples,
// and the built program run on them.
#include "tests/output/movie_probe.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace drevik::testing {

// A real recording Debian ships (sound-theme-freedesktop): 6.1 s of stereo Vorbis at 48 kHz.
inline const std::filesystem::path realRecording = "/usr/share/sounds/freedesktop/stereo/alarm-clock-elapsed.oga";

// Runs ffmpeg with the arguments (inputs, filters, output); fails the test when it fails.
inline void ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + arguments;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The file's sound decoded by ffmpeg: interleaved floats of `channels` channels at 48 kHz.
inline std::vector<float> decodedSamples(const std::filesystem::path& file, int channels) {
    const std::string raw = runCommand("ffmpeg -nostdin -loglevel error -i " + quoted(file) + " -vn -ac " +
                                       std::to_string(channels) + " -ar 48000 -f f32le -");
    std::vector<float> samples(raw.size() / sizeof(float));
    std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
    return samples;
}

inline double rms(const std::vector<float>& interleaved, int channels, int channel) {
    double sum = 0.0;
    std::size_t n = 0;
    for (std::size_t i = static_cast<std::size_t>(channel); i < interleaved.size(); i += static_cast<std::size_t>(channels)) {
        sum += static_cast<double>(interleaved[i]) * interleaved[i];
        ++n;
    }
    return n == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(n));
}

inline std::string fileText(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The program run in folder with the arguments, its output captured.
inline Outcome runDrevik(const std::filesystem::path& folder, const std::string& arguments) {
    const std::filesystem::path out = folder / ".stdout", err = folder / ".stderr";
    // The software GPU driver's shader memory looks like leaks at exit under AddressSanitizer.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string command = "cd " + quoted(folder) + " && ASAN_OPTIONS='" +
                                std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0' " +
                                DREVIK_BINARY + " " + arguments + " >" + quoted(out) + " 2>" + quoted(err) +
                                " </dev/null";
    const int status = std::system(command.c_str());
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, fileText(out), fileText(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return outcome;
}

// A drawing of two lines that declares no duration.
inline void writeUndeclaredDrawing(const std::filesystem::path& file) {
    std::ofstream(file) << "time,x1,y1,x2,y2\n0,0.1,0.1,0.9,0.9\n0.5,0.1,0.9,0.9,0.1\n";
}

} // namespace drevik::testing
