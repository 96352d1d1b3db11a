#pragma once
// Running drevik-import (or drevik) as a process from the tests: its status and its two streams.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace drevik::testing {

struct ProcessResult {
    int status = -1;
    std::string out, err;
};

inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string fileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs program with arguments, its streams caught in files of folder.
inline ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                                const std::filesystem::path& folder) {
    std::string command = shellQuoted(program);
    for (const std::string& argument : arguments) command += " " + shellQuoted(argument);
    const auto out = folder / ".out", err = folder / ".err";
    command += " >" + shellQuoted(out.string()) + " 2>" + shellQuoted(err.string()) + " </dev/null";
    const int raw = std::system(command.c_str());
    ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = fileText(out), result.err = fileText(err);
    std::filesystem::remove(out), std::filesystem::remove(err);
    return result;
}

} // namespace drevik::testing
