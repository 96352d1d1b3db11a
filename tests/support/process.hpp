#pragma once
// Starting programs from the tests: the built drevik, a shell command or any other program, in a
// chosen folder, with a changed environment, standard input from /dev/null, both outputs kept apart,
// and a time limit after which the program is killed and the test fails.
//
// Under the leak checker the software GPU driver leaves its shader memory behind at exit from a
// module that is already unloaded, which no suppression can name, so the programs started here run
// without leak checking; our own code is leak-checked in process by the other tests.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace drevik::testing {

struct ProcessOutcome {
    int status = -1;  // the exit status; 128 + the signal for a program that was killed
    std::string out;  // standard output
    std::string err;  // standard error
};

// Where and how a program runs: ProcessOptions().in(folder).set("NAME=value").unset("DISPLAY").
struct ProcessOptions {
    std::filesystem::path folder;          // where the program runs; empty: where the test runs
    std::vector<std::string> environment;  // "NAME=value" sets, a bare "NAME" removes
    std::chrono::seconds timeout{120};

    ProcessOptions& in(std::filesystem::path where) { folder = std::move(where); return *this; }
    ProcessOptions& set(std::string variable) { environment.push_back(std::move(variable)); return *this; }
    ProcessOptions& unset(std::string name) { environment.push_back(std::move(name)); return *this; }
    ProcessOptions& limit(std::chrono::seconds seconds) { timeout = seconds; return *this; }
};

// A program started in the background; the destructor kills one still running.
class RunningProcess {
public:
    RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {})
        : timeout_(options.timeout) {
        std::string pattern = (std::filesystem::temp_directory_path() / "drevik-process-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot make a folder for the outputs of " << argv.at(0);
            return;
        }
        outputs_ = pattern;
        std::vector<std::string> words = argv;
        std::vector<char*> arguments;
        for (std::string& word : words) arguments.push_back(word.data());
        arguments.push_back(nullptr);
        std::vector<std::string> variables = environmentWith(options.environment);
        std::vector<char*> environment;
        for (std::string& variable : variables) environment.push_back(variable.data());
        environment.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!options.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (outputs_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (outputs_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = posix_spawnp(&pid_, arguments[0], &actions, nullptr, arguments.data(), environment.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            ADD_FAILURE() << "cannot start " << argv[0];
        }
        started_ = std::chrono::steady_clock::now();
    }
    ~RunningProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        if (!outputs_.empty()) std::filesystem::remove_all(outputs_, ignored);
    }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    pid_t pid() const { return pid_; }
    // What the program has written to standard output so far.
    std::string outputSoFar() const { return contents(outputs_ / "out"); }
    void signal(int number) const {
        if (pid_ > 0) ::kill(pid_, number);
    }

    // Waits for the end (killing the program past its time limit) and gives its outcome.
    ProcessOutcome wait() {
        ProcessOutcome outcome;
        if (pid_ <= 0) return outcome;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() - started_ > timeout_) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                ADD_FAILURE() << "the program did not end within " << timeout_.count() << " s";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = contents(outputs_ / "out");
        outcome.err = contents(outputs_ / "err");
        return outcome;
    }

private:
    static std::string contents(const std::filesystem::path& file) {
        std::ifstream stream(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }

    // The test's environment with the changes applied and leak checking off.
    static std::vector<std::string> environmentWith(std::vector<std::string> changes) {
        changes.push_back("LSAN_OPTIONS=detect_leaks=0");
        const auto nameOf = [](std::string_view variable) { return variable.substr(0, variable.find('=')); };
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view variable(*entry);
            bool changed = false;
            for (const std::string& change : changes) changed = changed || nameOf(change) == nameOf(variable);
            if (!changed) variables.emplace_back(variable);
        }
        for (const std::string& change : changes) {
            if (change.find('=') != std::string::npos) variables.push_back(change);
        }
        return variables;
    }

    pid_t pid_ = -1;
    std::filesystem::path outputs_;
    std::chrono::seconds timeout_;
    std::chrono::steady_clock::time_point started_;
};

// Runs the program to its end.
inline ProcessOutcome runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {}) {
    return RunningProcess(argv, options).wait();
}

// Runs the built drevik with these arguments.
inline ProcessOutcome runDrevik(std::vector<std::string> arguments, const ProcessOptions& options = {}) {
    arguments.insert(arguments.begin(), DREVIK_BINARY);
    return runProcess(arguments, options);
}

// Runs a command line through /bin/sh.
inline ProcessOutcome runShell(const std::string& command, const ProcessOptions& options = {}) {
    return runProcess({"/bin/sh", "-c", command}, options);
}

// A path quoted for a shell command line (paths with a single quote are not supported).
inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// The standard output of a shell command line.
inline std::string runCommand(const std::string& command) { return runShell(command).out; }

// The words of a command line split at spaces (no quoting): runDrevik(words("--movie out.mp4")).
inline std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> result;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        if (space != 0) result.emplace_back(line.substr(0, space));
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
    }
    return result;
}

} // namespace drevik::testing
