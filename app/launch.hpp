#pragma once
// The body of the process: options, loading both inputs, and running exactly one mode.
#include "core/error.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace drevik {

// The two inputs declare different lengths of show.
class LaunchError : public Error {
public:
    LaunchError(double graphicsSeconds, double musicSeconds);
    double graphics() const { return graphics_; }
    double music() const { return music_; }

private:
    double graphics_;
    double music_;
};

// The shortest decimal text that reads back as the same double, with ".0" for whole numbers.
std::string durationText(double seconds);

// Throws LaunchError unless the two declared durations differ by less than a microsecond.
void checkDurations(double graphicsSeconds, double musicSeconds);

// Runs the program for the given arguments (without the program path); throws on any failure.
// GPU devices keep compiled shaders and pipelines in cacheFolder (nowhere when empty).
void run(const std::vector<std::string>& arguments, const std::filesystem::path& cacheFolder = {});

// The process entry: runs, reports a failure as one line on standard error, returns the exit status.
int launchMain(int argc, char** argv, const std::filesystem::path& cacheFolder = {});

} // namespace drevik
