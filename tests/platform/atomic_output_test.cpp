// The atomic output facility: temporaries beside the target, moves that never replace (or that
// replace, for caches), removal on failure, on SIGTERM, and of leftovers whose writer was killed.
#include "platform/atomic_output.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace drevik {
namespace {

namespace fs = std::filesystem;

class AtomicOutput : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("drevik-atomic-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        detail::setRenameFunction(nullptr);
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, ignored);
        fs::remove_all(folder);
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path folder;
};

std::string contents(const fs::path& location) {
    std::ifstream stream(location, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

void writeThrough(AtomicFile& file, const std::string& text) {
    std::FILE* stream = file.stream();
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), stream), text.size());
}

// Expects the commit to refuse the taken target.
template <typename Output>
void expectRefused(Output& output, const fs::path& target) {
    try {
        output.commit();
        ADD_FAILURE() << "committed over " << target;
    } catch (const AtomicOutputError& error) {
        EXPECT_TRUE(error.targetExists()) << error.what();
        EXPECT_EQ(std::string(error.what()), target.string() + " already exists");
    }
}

TEST_F(AtomicOutput, AFileAndAFolderAppearWholeUnderTheirNames) {
    const fs::path file = folder / "sub" / "deeper" / "picture.png";
    {
        AtomicFile output(file);
        EXPECT_EQ(output.path().parent_path(), file.parent_path());
        EXPECT_EQ(output.path().filename().string().rfind(".picture.png.", 0), 0u) << output.path();
        writeThrough(output, "pixels");
        EXPECT_FALSE(fs::exists(file));
        output.commit();
    }
    EXPECT_EQ(contents(file), "pixels");
    EXPECT_EQ(fs::directory_iterator(file.parent_path())->path(), file); // no temporary left

    const fs::path frames = folder / "frames";
    {
        AtomicFolder output(frames);
        std::ofstream(output.path() / "0001.png") << "one";
        fs::create_directory(output.path() / "nested");
        output.commit();
    }
    EXPECT_EQ(contents(frames / "0001.png"), "one");
    EXPECT_EQ(entries(), (std::vector<std::string>{"frames", "sub"}));
}

TEST_F(AtomicOutput, WhatIsNotCommittedGoes) {
    {
        AtomicFile output(folder / "a.mp4");
        writeThrough(output, "partial");
        AtomicFolder frames(folder / "frames");
        std::ofstream(frames.path() / "0001.png") << "one";
        fs::create_directories(frames.path() / "nested" / "more");
        std::ofstream(frames.path() / "nested" / "more" / "x") << "x";
        EXPECT_EQ(entries().size(), 2u);
    }
    EXPECT_TRUE(entries().empty());
}

// Whatever is at the target, a dangling link included, is kept: before the write starts (taken)
// and when it appears while the output is being written.
TEST_F(AtomicOutput, NothingIsEverReplacedInNoReplaceMode) {
    const fs::path dangling = folder / "dangling.png";
    fs::create_symlink(folder / "nowhere", dangling);
    EXPECT_TRUE(outputLocationTaken(dangling));
    EXPECT_FALSE(outputLocationTaken(folder / "free.png"));
    {
        AtomicFile output(dangling);
        writeThrough(output, "new");
        expectRefused(output, dangling);
    }
    EXPECT_TRUE(fs::is_symlink(dangling));

    const fs::path late = folder / "late.mp4";
    {
        AtomicFile output(late);
        writeThrough(output, "new");
        std::ofstream(late) << "arrived meanwhile";
        expectRefused(output, late);
    }
    EXPECT_EQ(contents(late), "arrived meanwhile");

    const fs::path lateFolder = folder / "late-frames";
    {
        AtomicFolder output(lateFolder);
        std::ofstream(output.path() / "0001.png") << "one";
        fs::create_directory(lateFolder);
        expectRefused(output, lateFolder);
    }
    EXPECT_TRUE(fs::is_empty(lateFolder));
    EXPECT_EQ(entries(), (std::vector<std::string>{"dangling.png", "late-frames", "late.mp4"}));
}

// A file system without the no-replace rename: the name is claimed by a hard link (a file) or a
// placeholder folder instead, which refuses a taken name just the same.
int renameWithoutNoReplace(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    if ((flags & RENAME_NOREPLACE) != 0) {
        errno = EINVAL;
        return -1;
    }
    return ::renameat(fromFolder, from, toFolder, to);
}

TEST_F(AtomicOutput, WithoutTheNoReplaceRenameNothingIsReplacedEither) {
    detail::setRenameFunction(renameWithoutNoReplace);
    {
        AtomicFile file(folder / "new.png");
        writeThrough(file, "new");
        file.commit();
        AtomicFolder frames(folder / "frames");
        std::ofstream(frames.path() / "0001.png") << "one";
        frames.commit();
    }
    EXPECT_EQ(contents(folder / "new.png"), "new");
    EXPECT_EQ(contents(folder / "frames" / "0001.png"), "one");

    fs::create_symlink(folder / "nowhere", folder / "dangling");
    {
        AtomicFile file(folder / "new.png");
        writeThrough(file, "newer");
        expectRefused(file, folder / "new.png");
        AtomicFile linked(folder / "dangling");
        expectRefused(linked, folder / "dangling");
        AtomicFolder frames(folder / "frames");
        expectRefused(frames, folder / "frames");
    }
    EXPECT_EQ(contents(folder / "new.png"), "new");
    EXPECT_EQ(contents(folder / "frames" / "0001.png"), "one");
    EXPECT_EQ(entries(), (std::vector<std::string>{"dangling", "frames", "new.png"}));
}

TEST_F(AtomicOutput, ReplaceModeRenamesOverTheTarget) {
    const fs::path cache = folder / "cache.bin";
    std::ofstream(cache) << "old";
    {
        AtomicFile first(cache, CommitMode::replace);
        AtomicFile second(cache, CommitMode::replace); // a concurrent writer: the last one wins
        writeThrough(first, "first");
        writeThrough(second, "second");
        first.commit();
        EXPECT_EQ(contents(cache), "first");
        second.commit();
    }
    EXPECT_EQ(contents(cache), "second");
    EXPECT_EQ(entries(), std::vector<std::string>{"cache.bin"});
}

TEST_F(AtomicOutput, AnUnwritableFolderIsReportedAndKeptEmpty) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    try {
        AtomicFile output(folder / "picture.png");
        FAIL() << "a temporary was made";
    } catch (const AtomicOutputError& error) {
        EXPECT_EQ(error.stage(), AtomicOutputError::Stage::createTemporary);
        EXPECT_EQ(error.code(), std::errc::permission_denied);
        EXPECT_EQ(std::string(error.what()),
                  "Could not create a temporary file in " + folder.string() + ": Permission denied");
    }
    EXPECT_THROW(AtomicFolder(folder / "frames"), AtomicOutputError);
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_TRUE(entries().empty());
}

TEST_F(AtomicOutput, ANameOfMaximalLengthGetsAShortTemporary) {
    const fs::path target = folder / std::string(255, 'n');
    AtomicFile output(target);
    EXPECT_LE(output.path().filename().string().size(), 255u);
    writeThrough(output, "x");
    output.commit();
    EXPECT_EQ(contents(target), "x");
}

// ---- Other processes ------------------------------------------------------------------------------

// A child process that starts writing `target` (a file, or with `asFolder` a folder with a file
// in it), says so through a pipe and waits to be killed or released.
class Writer {
public:
    Writer(const fs::path& target, bool asFolder) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            installSignalCleanup();
            if (asFolder) {
                AtomicFolder output(target);
                std::ofstream(output.path() / "0001.png") << "one";
                waitForRelease(ready[1], release[0]);
            } else {
                AtomicFile output(target);
                std::fputs("partial", output.stream());
                std::fflush(output.stream());
                waitForRelease(ready[1], release[0]);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        char byte = 0;
        started_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        release_ = release[1];
    }
    ~Writer() {
        if (pid_ > 0 && !ended_) end(SIGKILL);
        if (release_ >= 0) ::close(release_);
    }

    bool started() const { return started_; }
    // Ends the writer with a signal; returns its wait status.
    int end(int signalNumber) {
        ::kill(pid_, signalNumber);
        return wait();
    }
    // Lets the writer leave without cleaning up (as if it had crashed after writing).
    int abandon() {
        ::close(release_);
        release_ = -1;
        return wait();
    }

private:
    [[noreturn]] static void waitForRelease(int ready, int release) {
        char byte = 1;
        if (::write(ready, &byte, 1) != 1) ::_exit(2);
        static_cast<void>(::read(release, &byte, 1));
        ::_exit(0); // no destructors: the temporary stays behind, unlocked
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ended_ = true;
        return status;
    }

    pid_t pid_ = -1;
    int release_ = -1;
    bool started_ = false;
    bool ended_ = false;
};

TEST_F(AtomicOutput, SigtermRemovesTheTemporariesAndStillEndsTheProcess) {
    for (const bool asFolder : {false, true}) {
        Writer writer(folder / "interrupted", asFolder);
        ASSERT_TRUE(writer.started());
        ASSERT_EQ(entries().size(), 1u);
        const int status = writer.end(SIGTERM);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_TRUE(entries().empty()) << asFolder;
    }
}

// A writer killed outright leaves its temporary; the next write to the same target removes it,
// but never the temporary of a writer that is still running, nor those of other targets.
TEST_F(AtomicOutput, LeftoversOfKilledWritersGoWithTheNextWriteAndLiveOnesStay) {
    const std::string longName(255, 'm');
    for (const std::string& name : {std::string("movie.mp4"), longName}) {
        for (const bool asFolder : {false, true}) {
            const fs::path target = folder / name;
            Writer killed(target, asFolder);
            ASSERT_TRUE(killed.started());
            EXPECT_EQ(killed.end(SIGKILL), SIGKILL);
            const std::vector<std::string> killedLeftover = entries();
            ASSERT_EQ(killedLeftover.size(), 1u);
            // Each writer removes the one before it, whose writer has gone.
            Writer crashed(target, asFolder);
            ASSERT_TRUE(crashed.started());
            EXPECT_EQ(crashed.abandon(), 0);
            const std::vector<std::string> crashedLeftover = entries();
            ASSERT_EQ(crashedLeftover.size(), 1u);
            EXPECT_NE(crashedLeftover, killedLeftover);
            Writer live(target, asFolder);
            ASSERT_TRUE(live.started());
            const std::vector<std::string> liveTemporary = entries();
            ASSERT_EQ(liveTemporary.size(), 1u);
            EXPECT_NE(liveTemporary, crashedLeftover);
            Writer otherTarget(folder / "other.mp4", asFolder);
            ASSERT_TRUE(otherTarget.started());
            ASSERT_EQ(entries().size(), 2u);
            {
                AtomicFile next(target);
                const std::vector<std::string> now = entries();
                EXPECT_EQ(now.size(), 3u); // live, otherTarget and next
                EXPECT_TRUE(std::find(now.begin(), now.end(), liveTemporary[0]) != now.end());
                writeThrough(next, "complete");
                next.commit();
            }
            EXPECT_EQ(contents(target), "complete");
            EXPECT_EQ(live.end(SIGKILL), SIGKILL);
            EXPECT_EQ(otherTarget.end(SIGKILL), SIGKILL);
            fs::remove_all(folder);
            fs::create_directories(folder);
        }
    }
}

} // namespace
} // namespace drevik
