#pragma once
// The body of the process: options, loading both inputs, and running exactly one mode.
#include "app/inputs.hpp"
#include "platform/error.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace drevik {

// Runs the program for the given arguments (without the program path); throws on any failure.
// GPU devices keep compiled shaders and pipelines in cacheFolder (nowhere when empty).
void run(const std::vector<std::string>& arguments, const std::filesystem::path& cacheFolder = {});

// The process entry: runs, reports a failure as one line on standard error, returns the exit status.
int launchMain(int argc, char** argv, const std::filesystem::path& cacheFolder = {});

} // namespace drevik
