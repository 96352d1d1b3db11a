#include "platform/atomic_output.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

namespace drevik {

namespace fs = std::filesystem;

namespace {

// ---- Names of the temporaries -------------------------------------------------------------------
//
// ".<stem>.<16 hex digits>.part", where the stem is the target's name, or for a name too long to
// fit, its first bytes (whole UTF-8 characters) followed by "~" and a hash of the whole name.

constexpr std::size_t maximumNameBytes = 255;
constexpr std::size_t randomDigits = 16;
constexpr std::string_view temporarySuffix = ".part";
constexpr std::size_t stemRoom = maximumNameBytes - 2 - randomDigits - temporarySuffix.size();

std::string hexDigits(std::uint64_t value) {
    char text[randomDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::uint64_t nameHash(std::string_view name) {
    std::uint64_t hash = 0xcbf29ce484222325ull; // FNV-1a
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    }
    return hash;
}

std::string stemFor(const std::string& targetName) {
    if (targetName.size() <= stemRoom) return targetName;
    std::size_t keep = stemRoom - 1 - randomDigits;
    while (keep > 0 && (static_cast<unsigned char>(targetName[keep]) & 0xC0) == 0x80) --keep;
    return targetName.substr(0, keep) + "~" + hexDigits(nameHash(targetName));
}

bool isTemporaryOf(std::string_view entry, std::string_view stem) {
    if (entry.size() != stem.size() + 2 + randomDigits + temporarySuffix.size()) return false;
    if (entry[0] != '.' || entry.substr(1, stem.size()) != stem || entry[stem.size() + 1] != '.') return false;
    for (const char c : entry.substr(stem.size() + 2, randomDigits)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return entry.substr(entry.size() - temporarySuffix.size()) == temporarySuffix;
}

// ---- Removal with system calls only (also used by the signal handler) ---------------------------

constexpr int maximumFolderDepth = 16;

// Removes `name` in `folder`: a file, or a folder with everything in it.
void removeEntry(int folder, const char* name, int depth = 0) {
    if (::unlinkat(folder, name, 0) == 0 || errno != EISDIR || depth > maximumFolderDepth) return;
    const int inner = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0) return;
    alignas(8) char entries[2048];
    // Entries removed while listing may shift the listing; list again until nothing is left.
    for (int pass = 0; pass < 4; ++pass) {
        bool removedAny = false;
        ::lseek(inner, 0, SEEK_SET);
        for (;;) {
            const ssize_t bytes = ::getdents64(inner, entries, sizeof entries);
            if (bytes <= 0) break;
            for (ssize_t offset = 0; offset < bytes;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
                offset += entry->d_reclen;
                const char* child = entry->d_name;
                if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) continue;
                removeEntry(inner, child, depth + 1);
                removedAny = true;
            }
        }
        if (!removedAny) break;
    }
    ::close(inner);
    ::unlinkat(folder, name, AT_REMOVEDIR);
}

// ---- The live temporaries, for the signal handler -----------------------------------------------

enum SlotState : int { freeSlot = 0, fillingSlot = 1, armedSlot = 2 };

struct Slot {
    std::atomic<int> state{freeSlot};
    pid_t owner = 0; // a child made by fork() leaves its parent's temporaries alone
    int folder = -1;
    char name[maximumNameBytes + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

// More live temporaries than this are still removed on failure, but not on a signal.
constexpr int slotCount = 64;
Slot slots[slotCount];

int armSlot(int folder, const std::string& name) {
    for (int index = 0; index < slotCount; ++index) {
        int expected = freeSlot;
        if (slots[index].state.compare_exchange_strong(expected, fillingSlot, std::memory_order_acquire)) {
            Slot& slot = slots[index];
            slot.owner = ::getpid();
            slot.folder = folder;
            std::memcpy(slot.name, name.c_str(), name.size() + 1);
            slot.state.store(armedSlot, std::memory_order_release);
            return index;
        }
    }
    return -1;
}

void disarmSlot(int index) {
    if (index >= 0) slots[index].state.store(freeSlot, std::memory_order_release);
}

constexpr int cleanupSignals[2] = {SIGINT, SIGTERM};
struct sigaction previousActions[2];

void removeTemporariesAndReraise(int signalNumber) {
    const int savedErrno = errno;
    const pid_t self = ::getpid();
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == armedSlot && slot.owner == self) {
            removeEntry(slot.folder, slot.name);
        }
    }
    ::sigaction(signalNumber, &previousActions[signalNumber == SIGINT ? 0 : 1], nullptr);
    ::raise(signalNumber); // delivered with the previous disposition once this handler returns
    errno = savedErrno;
}

// ---- The rename -----------------------------------------------------------------------------------

int systemRename(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    return ::renameat2(fromFolder, from, toFolder, to, flags);
}

std::atomic<detail::RenameFunction> renameFunction{systemRename};

int renameEntry(int folder, const char* from, const char* to, unsigned flags) {
    return renameFunction.load()(folder, from, folder, to, flags);
}

// ---- Locks ----------------------------------------------------------------------------------------

bool namesThisFile(int folder, const std::string& name, int descriptor) {
    struct stat named {};
    struct stat opened {};
    return ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(descriptor, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Takes the lock of a temporary just created. False when a cleaner got to it first (it holds the
// lock or has removed the name already): the caller makes another one. File systems without locks
// go unlocked; their leftovers are then never taken for stale.
bool lockNewTemporary(int folder, const std::string& name, int descriptor) {
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return false;
    return namesThisFile(folder, name, descriptor);
}

// Removes the temporaries of the target named by `stem` whose writer has gone.
void removeStaleLeftovers(int folder, const std::string& stem) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* directory = ::fdopendir(listing);
    if (directory == nullptr) {
        ::close(listing);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(directory)) {
        if (isTemporaryOf(entry->d_name, stem)) leftovers.emplace_back(entry->d_name);
    }
    ::closedir(directory);
    for (const std::string& name : leftovers) {
        const int descriptor = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) continue;
        // Removed while locked, and only while the name is still the file that was locked.
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && namesThisFile(folder, name, descriptor)) {
            removeEntry(folder, name.c_str());
        }
        ::close(descriptor);
    }
}

std::string reason(int error) { return std::generic_category().message(error); }

} // namespace

// ---- One temporary ------------------------------------------------------------------------------

namespace detail {

class AtomicTemporary {
public:
    AtomicTemporary(const fs::path& target, CommitMode mode, bool isFolder)
        : target_(target), targetName_(target.filename().string()), mode_(mode), isFolder_(isFolder) {
        createOutputFolder(target);
        const fs::path folderPath = target.has_parent_path() ? target.parent_path() : fs::path(".");
        const std::string what = isFolder ? "folder" : "file";
        auto fail = [&](int error) {
            return AtomicOutputError(AtomicOutputError::Stage::createTemporary, {error, std::generic_category()},
                                     "Could not create a temporary " + what + " in " + folderPath.string() + ": " +
                                         reason(error));
        };
        if (targetName_.empty() || targetName_ == "." || targetName_ == "..") throw fail(EISDIR);
        folder_ = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder_ < 0) throw fail(errno);

        const std::string stem = stemFor(targetName_);
        removeStaleLeftovers(folder_, stem);

        std::random_device entropy;
        std::mt19937_64 generator((std::uint64_t{entropy()} << 32) ^ entropy());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = "." + stem + "." + hexDigits(generator()) + std::string(temporarySuffix);
            const int descriptor = create(name);
            if (descriptor < 0) {
                if (errno == EEXIST) continue;
                const int error = errno;
                ::close(folder_);
                throw fail(error);
            }
            if (!lockNewTemporary(folder_, name, descriptor)) {
                ::close(descriptor);
                continue;
            }
            descriptor_ = descriptor;
            name_ = std::move(name);
            path_ = folderPath / name_;
            slot_ = armSlot(folder_, name_);
            return;
        }
        ::close(folder_);
        throw fail(EEXIST);
    }

    ~AtomicTemporary() {
        if (!committed_) removeEntry(folder_, name_.c_str());
        disarmSlot(slot_);
        ::close(descriptor_);
        ::close(folder_);
    }
    AtomicTemporary(const AtomicTemporary&) = delete;
    AtomicTemporary& operator=(const AtomicTemporary&) = delete;

    const fs::path& path() const { return path_; }
    int descriptor() const { return descriptor_; }

    [[noreturn]] void failWriting(int error) const {
        throw AtomicOutputError(AtomicOutputError::Stage::write, {error, std::generic_category()},
                                "Could not write " + target_.string() + ": " + reason(error));
    }

    void commit() {
        // New output reaches the disk before its name does, so that a crash never leaves a named
        // but empty file. Cache files (replace) skip the wait: their readers check what they read.
        if (!isFolder_ && mode_ == CommitMode::noReplace && ::fsync(descriptor_) != 0 && errno != EINVAL) {
            failWriting(errno);
        }
        if (!move()) {
            const int error = errno;
            const std::string message = error == EEXIST
                                            ? target_.string() + " already exists"
                                            : "Could not move the finished " + std::string(isFolder_ ? "folder" : "file") +
                                                  " to " + target_.string() + ": " + reason(error);
            throw AtomicOutputError(AtomicOutputError::Stage::commit, {error, std::generic_category()}, message);
        }
        committed_ = true;
        disarmSlot(slot_);
        slot_ = -1;
    }

private:
    int create(const std::string& name) const {
        if (!isFolder_) {
            int descriptor;
            do {
                descriptor = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            } while (descriptor < 0 && errno == EINTR);
            return descriptor;
        }
        if (::mkdirat(folder_, name.c_str(), 0777) != 0) return -1;
        const int descriptor = ::openat(folder_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) {
            const int error = errno;
            ::unlinkat(folder_, name.c_str(), AT_REMOVEDIR);
            errno = error;
        }
        return descriptor;
    }

    // The move into place; false with errno set when it failed.
    bool move() {
        if (mode_ == CommitMode::replace) return renameEntry(folder_, name_.c_str(), targetName_.c_str(), 0) == 0;
        if (renameEntry(folder_, name_.c_str(), targetName_.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return false;
        // No no-replace rename here: claim the name in a way that also refuses an existing one.
        if (!isFolder_) {
            if (::linkat(folder_, name_.c_str(), folder_, targetName_.c_str(), 0) != 0) return false;
            ::unlinkat(folder_, name_.c_str(), 0);
            return true;
        }
        if (::mkdirat(folder_, targetName_.c_str(), 0700) != 0) return false;
        // A rename replaces an empty folder, and only an empty one.
        if (renameEntry(folder_, name_.c_str(), targetName_.c_str(), 0) == 0) return true;
        const int error = errno;
        ::unlinkat(folder_, targetName_.c_str(), AT_REMOVEDIR);
        errno = error;
        return false;
    }

    fs::path target_;
    std::string targetName_;
    CommitMode mode_;
    bool isFolder_;
    int folder_ = -1;
    int descriptor_ = -1; // holds the lock
    std::string name_;
    fs::path path_;
    int slot_ = -1;
    bool committed_ = false;
};

} // namespace detail

// ---- Public ---------------------------------------------------------------------------------------

bool outputLocationTaken(const fs::path& location) {
    struct stat status {};
    return ::lstat(location.c_str(), &status) == 0;
}

void createOutputFolder(const fs::path& location) {
    if (!location.has_parent_path()) return;
    std::error_code error;
    fs::create_directories(location.parent_path(), error);
    if (error) {
        throw Error("Could not create the folder " + location.parent_path().string() + ": " + error.message());
    }
}

AtomicFile::AtomicFile(const fs::path& target, CommitMode mode)
    : temporary_(std::make_unique<detail::AtomicTemporary>(target, mode, false)) {}

AtomicFile::~AtomicFile() {
    if (stream_ != nullptr) std::fclose(stream_);
}

const fs::path& AtomicFile::path() const { return temporary_->path(); }

std::FILE* AtomicFile::stream() {
    if (stream_ == nullptr) {
        // A descriptor of its own, so that closing the stream keeps the lock.
        const int copy = ::fcntl(temporary_->descriptor(), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) return nullptr;
        stream_ = ::fdopen(copy, "wb");
        if (stream_ == nullptr) ::close(copy);
    }
    return stream_;
}

void AtomicFile::commit() {
    if (stream_ != nullptr) {
        std::FILE* stream = stream_;
        stream_ = nullptr;
        if (std::fclose(stream) != 0) temporary_->failWriting(errno);
    }
    temporary_->commit();
}

AtomicFolder::AtomicFolder(const fs::path& target, CommitMode mode)
    : temporary_(std::make_unique<detail::AtomicTemporary>(target, mode, true)) {}

AtomicFolder::~AtomicFolder() = default;

const fs::path& AtomicFolder::path() const { return temporary_->path(); }

void AtomicFolder::commit() { temporary_->commit(); }

void installSignalCleanup() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int index = 0; index < 2; ++index) {
            struct sigaction previous {};
            if (::sigaction(cleanupSignals[index], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
                continue; // an ignored signal stays ignored
            }
            previousActions[index] = previous;
            struct sigaction action {};
            action.sa_handler = removeTemporariesAndReraise;
            sigemptyset(&action.sa_mask);
            for (const int other : cleanupSignals) sigaddset(&action.sa_mask, other);
            action.sa_flags = SA_RESTART;
            ::sigaction(cleanupSignals[index], &action, nullptr);
        }
    });
}

void detail::setRenameFunction(RenameFunction rename) {
    renameFunction.store(rename != nullptr ? rename : systemRename);
}

} // namespace drevik
