#pragma once
// Every file and folder Drevik writes appears complete or not at all. The content goes into a
// hidden temporary beside the target (".<name>.<16 hex digits>.part", the name shortened and
// tagged with its hash where it would be too long), which is then moved into place:
//
// - CommitMode::noReplace (user output: snapshots, movies, frame folders) never replaces
//   anything at the target, a dangling symbolic link included; where the file system lacks the
//   no-replace rename, a hard link (for a file) or a placeholder folder (for a folder) claims
//   the name instead, which refuses an existing one just the same.
// - CommitMode::replace (cache files shared by several processes) renames over the target; the
//   last writer wins and a reader sees either the old file or the new one.
//
// A temporary that is not committed is removed when its owner goes (RAII), and on SIGINT or
// SIGTERM once installSignalCleanup() has been called by the program's start-up. A temporary
// left by a writer that was killed outright is removed by the next write to the same target:
// every writer holds an advisory lock (flock) on its temporary while it lives, and a leftover
// whose lock can be taken has lost its writer. A running writer's temporary is never touched.
#include "platform/error.hpp"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace drevik {

enum class CommitMode { noReplace, replace };

// A failure of the facility itself. Writers turn it into their own messages; what() names the
// location and the system's reason.
class AtomicOutputError : public Error {
public:
    enum class Stage { createTemporary, write, commit };

    AtomicOutputError(Stage stage, std::error_code code, const std::string& message)
        : Error(message), stage_(stage), code_(code) {}

    Stage stage() const noexcept { return stage_; }
    std::error_code code() const noexcept { return code_; }
    // The no-replace move found something at the target; the target was left as it was.
    bool targetExists() const noexcept {
        return stage_ == Stage::commit && code_ == std::errc::file_exists;
    }

private:
    Stage stage_;
    std::error_code code_;
};

// True when anything is at location, a dangling symbolic link included.
bool outputLocationTaken(const std::filesystem::path& location);

// Creates the folder that will hold location, with every missing parent. Fails with
// "Could not create the folder <folder>: <reason>".
void createOutputFolder(const std::filesystem::path& location);

namespace detail {
class AtomicTemporary;
}

// A temporary file beside target. The constructor creates the folder that will hold target
// (see createOutputFolder), removes stale leftovers of target and creates the temporary;
// it fails with AtomicOutputError (Stage::createTemporary) when the temporary cannot be made.
class AtomicFile {
public:
    explicit AtomicFile(const std::filesystem::path& target, CommitMode mode = CommitMode::noReplace);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Where the content goes, for writers that open the file by name themselves.
    const std::filesystem::path& path() const;
    // A buffered stream on the temporary, made on first use; commit() closes it.
    std::FILE* stream();

    // Closes the stream, flushes the content to the disk (noReplace) and moves the file into
    // place. Fails with AtomicOutputError: Stage::write when the content could not be written
    // out, Stage::commit when the move failed (targetExists() when the target is taken). After a
    // failure the temporary is still removed when this object goes.
    void commit();

private:
    std::unique_ptr<detail::AtomicTemporary> temporary_;
    std::FILE* stream_ = nullptr;
};

// A temporary folder beside target, for outputs made of several files. Same rules as
// AtomicFile; replace mode can only replace an empty folder.
class AtomicFolder {
public:
    explicit AtomicFolder(const std::filesystem::path& target, CommitMode mode = CommitMode::noReplace);
    ~AtomicFolder();
    AtomicFolder(const AtomicFolder&) = delete;
    AtomicFolder& operator=(const AtomicFolder&) = delete;

    const std::filesystem::path& path() const;
    void commit();

private:
    std::unique_ptr<detail::AtomicTemporary> temporary_;
};

// Installs the SIGINT and SIGTERM handler that removes every live temporary and then lets the
// signal take its previous course. Call once from the program's start-up; a signal that is
// ignored at that point stays ignored. Further calls do nothing.
void installSignalCleanup();

namespace detail {
// The rename the facility uses, replaceable so that tests can act as a file system without the
// no-replace rename (renameat2 failing with EINVAL). Null restores the system's.
using RenameFunction = int (*)(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
void setRenameFunction(RenameFunction rename);
} // namespace detail

} // namespace drevik
