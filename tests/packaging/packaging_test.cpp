// The .deb package and the portable bundle, each built from this build folder with its one command,
// unpacked into a temporary folder and run; and the GPU check's verdict on a picture that differs.
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <fnmatch.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace drevik {
namespace {

using Path = std::filesystem::path;

const std::string kVersion = DREVIK_VERSION;
const char* const kLavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";

struct TemporaryFolder : testing::TemporaryFolder {
    TemporaryFolder() : testing::TemporaryFolder("drevik-package") {}
};

struct Result {
    int status = -1;
    std::string output; // standard output and standard error together
};

Result shell(const std::string& command) {
    // Making a package takes a while; the test's own limit (ctest's) is ten minutes.
    const testing::ProcessOutcome outcome =
        testing::runShell("( " + command + " ) 2>&1", testing::ProcessOptions().limit(std::chrono::seconds(580)));
    return {outcome.status, outcome.out};
}

std::string contents(const Path& file) { return testing::readText(file); }

using testing::quoted;

// The last line of a command's output: the scripts print the path of what they made there.
std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
}

// A small snapshot of the demo by the program of this build folder, to compare the packaged
// programs' pictures with: the software driver draws the same bytes every time.
const std::string& referenceSnapshot() {
    static const std::string bytes = [] {
        TemporaryFolder folder;
        const Path picture = folder.path() / "reference.png";
        const Result run = shell("VK_DRIVER_FILES=" + std::string(kLavapipe) + " " + DREVIK_BINARY + " --graphics " +
                                 DREVIK_DEMO_DIR "/Graphics.csv --music " DREVIK_DEMO_DIR "/Music.csv" +
                                 " --snapshot " + quoted(picture) + " --width 96 --height 54 --time 0.12");
        EXPECT_EQ(run.status, 0) << run.output;
        return contents(picture);
    }();
    return bytes;
}
const char* const kSnapshotOptions = " --snapshot shot.png --width 96 --height 54 --time 0.12";

TEST(DebPackage, HoldsTheProgramAndItsFilesAndRunsUnpacked) {
    TemporaryFolder folder;
    const Result build = shell(std::string(DREVIK_SOURCE_DIR) + "/scripts/build-deb.sh --from " DREVIK_BUILD_DIR
                               " --out " + quoted(folder.path() / "out"));
    ASSERT_EQ(build.status, 0) << build.output;
    const Path package = lastLine(build.output);
    EXPECT_EQ(package, folder.path() / "out" / ("drevik_" + kVersion + "_amd64.deb"));
    ASSERT_TRUE(std::filesystem::is_regular_file(package)) << build.output;

    const Result info = shell("dpkg-deb --field " + quoted(package) + " Package Version Architecture Depends");
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Package: drevik\nVersion: " + kVersion + "\nArchitecture: amd64\n"),
              std::string::npos)
        << info.output;
    // Computed from the linked libraries, plus a Vulkan driver, which no library names.
    for (const char* dependency : {"libc6 (", "libstdc++6 (", "libvulkan1 (", "libsdl2-2.0-0 (", "libasound2 (",
                                   "libavcodec59 (", "libavformat59 (", "libswscale6 (", "libpng16-16 (",
                                   "mesa-vulkan-drivers | vulkan-icd"}) {
        EXPECT_NE(info.output.find(dependency), std::string::npos) << dependency << " missing in\n" << info.output;
    }

    const Result list = shell("dpkg-deb --contents " + quoted(package) + " | awk '{print $6}'");
    ASSERT_EQ(list.status, 0) << list.output;
    std::set<std::string> files;
    std::istringstream lines(list.output);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.rfind("./usr/", 0) == 0 || line == "./") << "outside /usr: " << line;
        if (!line.empty() && line.back() != '/') files.insert(line);
    }
    EXPECT_EQ(files, (std::set<std::string>{"./usr/bin/drevik", "./usr/bin/drevik-import",
                                            "./usr/share/applications/drevik.desktop",
                                            "./usr/share/doc/drevik/copyright",
                                            "./usr/share/drevik/demo/Graphics.csv",
                                            "./usr/share/drevik/demo/Music.csv",
                                            "./usr/share/icons/hicolor/256x256/apps/drevik.png",
                                            "./usr/share/man/man1/drevik-import.1.gz",
                                            "./usr/share/man/man1/drevik.1.gz"}));

    // Unpacked into a root of its own, the program finds its demo show and draws what this build draws.
    const Path root = folder.path() / "root";
    const Result unpack = shell("dpkg -x " + quoted(package) + " " + quoted(root));
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    const std::string desktop = contents(root / "usr/share/applications/drevik.desktop");
    EXPECT_NE(desktop.find("\nExec=drevik\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nIcon=drevik\n"), std::string::npos);
    EXPECT_NE(contents(root / "usr/share/doc/drevik/copyright").find("License: GPL-3.0-or-later"), std::string::npos);
    EXPECT_EQ(contents(root / "usr/share/icons/hicolor/256x256/apps/drevik.png").substr(1, 3), "PNG");
    EXPECT_EQ(shell("readelf -S " + quoted(root / "usr/bin/drevik") + " | grep -c debug_info").output, "0\n")
        << "the packaged program is not stripped";

    const Path empty = folder.path() / "elsewhere";
    std::filesystem::create_directory(empty);
    const Result run = shell("cd " + quoted(empty) + " && VK_DRIVER_FILES=" + kLavapipe + " " +
                             quoted(root / "usr/bin/drevik") + kSnapshotOptions);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Loaded 2340 frames"), std::string::npos) << run.output;
    EXPECT_TRUE(contents(empty / "shot.png") == referenceSnapshot()) << "the unpacked program draws another picture";
}

// Glob patterns of the libraries a bundle leaves to the system.
std::vector<std::string> systemLibraries() {
    std::vector<std::string> patterns;
    std::ifstream file(Path(DREVIK_SOURCE_DIR) / "packaging/bundle/system-libraries.txt");
    for (std::string line; std::getline(file, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string pattern;
        if (words >> pattern) patterns.push_back(pattern);
    }
    return patterns;
}

bool isSystemLibrary(const std::string& soname, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (::fnmatch(pattern.c_str(), soname.c_str(), 0) == 0) return true;
    }
    return false;
}

// Where the process traced into `trace` (LD_DEBUG=files) loaded `library` from; empty when it did not.
std::string loadedFrom(const Path& trace, const std::string& library) {
    const std::string loaded = shell("cat " + quoted(trace) + ".* | sed -n 's/.*calling init: //p' | sort -u").output;
    std::istringstream lines(loaded);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > library.size() && line.compare(line.size() - library.size() - 1, std::string::npos,
                                                         "/" + library) == 0)
            return line;
    }
    return {};
}

TEST(PortableBundle, RunsOnItsOwnLibrariesAndSoftwareDriver) {
    TemporaryFolder folder;
    const Result build = shell(std::string(DREVIK_SOURCE_DIR) + "/scripts/build-bundle.sh --from " DREVIK_BUILD_DIR
                               " --out " + quoted(folder.path() / "out"));
    ASSERT_EQ(build.status, 0) << build.output;
    const std::string name = "drevik-" + kVersion + "-linux-x86_64";
    const Path archive = lastLine(build.output);
    EXPECT_EQ(archive, folder.path() / "out" / (name + ".tar.gz"));
    ASSERT_TRUE(std::filesystem::is_regular_file(archive)) << build.output;
    // 61 MiB with drevik-import, libxml2 and the libraries' notices.
    EXPECT_LT(std::filesystem::file_size(archive), 62u << 20);

    const Result unpack = shell("tar -xzf " + quoted(archive) + " -C " + quoted(folder.path()));
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    const Path bundle = folder.path() / name;
    for (const char* file : {"drevik", "drevik-import", "drevik-gpu-check", "README.txt", "LICENSE", "bin/drevik",
                             "bin/drevik-import", "bin/drevik-gpu-check", "lib/notices/libx264-164.copyright",
                             "lib/vulkan/libvulkan_lvp.so", "lib/vulkan-loader/libvulkan.so.1",
                             "share/vulkan/icd.d/drevik_lvp_icd.json", "share/drevik/demo/Graphics.csv",
                             "share/drevik/demo/Music.csv", "share/drevik/gpu-check/cases.txt",
                             "share/drevik/gpu-check/deep-prism.png", "share/drevik/libraries.txt"}) {
        EXPECT_TRUE(std::filesystem::exists(bundle / file)) << file;
    }
    EXPECT_NE(contents(bundle / "lib/notices/libx264-164.copyright").find("GPL"), std::string::npos);
    // The SVG reader's library is the real one: the converter in the bundle reads an SVG.
    const Result converted = shell(quoted(bundle / "drevik-import") + " svg " +
                                   quoted(Path(DREVIK_SOURCE_DIR) / "fuzz/corpus/svg/features.svg") + " -o " +
                                   quoted(folder.path() / "features.csv"));
    EXPECT_EQ(converted.status, 0) << converted.output;
    EXPECT_NE(contents(bundle / "share/vulkan/icd.d/drevik_lvp_icd.json")
                  .find("\"library_path\": \"../../../lib/vulkan/libvulkan_lvp.so\""),
              std::string::npos);

    // Every library a bundled program or library names directly is the system's own kind (the
    // exclude list) or resolves inside the bundle, with the bundle's Vulkan loader as where the
    // system has none.
    const std::vector<std::string> patterns = systemLibraries();
    ASSERT_GT(patterns.size(), 20u);
    std::vector<Path> objects = {bundle / "bin/drevik", bundle / "bin/drevik-import", bundle / "bin/drevik-gpu-check",
                                 bundle / "lib/vulkan/libvulkan_lvp.so"};
    for (const auto& entry : std::filesystem::directory_iterator(bundle / "lib")) {
        if (entry.is_regular_file()) objects.push_back(entry.path());
    }
    EXPECT_GT(objects.size(), 20u);
    const std::regex neededLine(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (const Path& object : objects) {
        const Result needed = shell("readelf -d " + quoted(object));
        ASSERT_EQ(needed.status, 0) << object << needed.output;
        const Result resolved =
            shell("LD_LIBRARY_PATH=" + quoted(bundle / "lib/vulkan-loader") + " ldd " + quoted(object));
        ASSERT_EQ(resolved.status, 0) << object << resolved.output;
        for (std::sregex_iterator it(needed.output.begin(), needed.output.end(), neededLine), end; it != end; ++it) {
            const std::string soname = (*it)[1];
            if (isSystemLibrary(soname, patterns)) continue;
            const std::regex resolvedLine("\\s" + std::regex_replace(soname, std::regex(R"([.+])"), R"(\$&)") +
                                          R"( => (\S+))");
            std::smatch where;
            ASSERT_TRUE(std::regex_search(resolved.output, where, resolvedLine)) << soname << " of " << object;
            EXPECT_EQ(where[1].str().rfind(bundle.string() + "/", 0), 0u)
                << object.filename() << " needs " << soname << ", found at " << where[1];
        }
    }

    // Through the launcher, on the bundle's own loader and software driver, from an empty folder:
    // the program finds the bundled demo show and draws what this build draws.
    const Path empty = folder.path() / "elsewhere";
    std::filesystem::create_directory(empty);
    const Path trace = folder.path() / "loaded";
    const Result run = shell("cd " + quoted(empty) + " && DREVIK_VULKAN=bundled LD_DEBUG=files LD_DEBUG_OUTPUT=" +
                             quoted(trace) + " " + quoted(bundle / "drevik") + kSnapshotOptions);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contents(empty / "shot.png") == referenceSnapshot()) << "the bundle draws another picture";
    for (const char* library : {"libvulkan.so.1", "libvulkan_lvp.so", "libLLVM-15.so.1", "libavcodec.so.59"}) {
        EXPECT_EQ(loadedFrom(trace, library).rfind(bundle.string() + "/", 0), 0u)
            << library << " loaded from " << loadedFrom(trace, library);
    }

    // By default the launcher prefers the system's loader, and uses the bundle's software driver
    // only where no driver manifest is found (here: none in the folders it is told to look in).
    std::filesystem::remove(empty / "shot.png");
    const Path trace2 = folder.path() / "fallback";
    const Result fallback =
        shell("cd " + quoted(empty) + " && XDG_DATA_DIRS=/nonexistent XDG_CONFIG_DIRS=/nonexistent HOME=/nonexistent " +
              "LD_DEBUG=files LD_DEBUG_OUTPUT=" + quoted(trace2) + " " + quoted(bundle / "drevik") + kSnapshotOptions);
    ASSERT_EQ(fallback.status, 0) << fallback.output;
    EXPECT_TRUE(contents(empty / "shot.png") == referenceSnapshot());
    EXPECT_EQ(loadedFrom(trace2, "libvulkan_lvp.so").rfind(bundle.string() + "/", 0), 0u)
        << loadedFrom(trace2, "libvulkan_lvp.so");
    const std::string loader = loadedFrom(trace2, "libvulkan.so.1");
    EXPECT_TRUE(!loader.empty() && loader.rfind(bundle.string() + "/", 0) != 0) << "loader: " << loader;

    // A codec whose library the bundle carries only as a stub is refused as missing, before
    // anything is read or written; ProRes, FFmpeg's own, is written.
    const Result stubbed = shell("cd " + quoted(empty) + " && " + quoted(bundle / "drevik") +
                                 " --movie x.mp4 --codec hevc --width 64 --height 36 --duration 0.1");
    EXPECT_EQ(stubbed.status, 1) << stubbed.output;
    EXPECT_NE(stubbed.output.find("Drevik: The hevc encoder is missing from this FFmpeg; it writes h264, prores.\n"),
              std::string::npos)
        << stubbed.output;
    EXPECT_FALSE(std::filesystem::exists(empty / "x.mp4"));
    const Result prores = shell("cd " + quoted(empty) + " && " + quoted(bundle / "drevik") +
                                " --movie x.mov --codec prores --width 64 --height 36 --duration 0.1");
    EXPECT_EQ(prores.status, 0) << prores.output;
    EXPECT_TRUE(std::filesystem::exists(empty / "x.mov"));

    // On this machine's own stack (the launcher's default here) it works as well, from anywhere.
    const Result report = shell("cd " + quoted(empty) + " && " + quoted(bundle / "drevik") + " --describe-scenes");
    ASSERT_EQ(report.status, 0) << report.output;
    EXPECT_NE(report.output.find("folded-crystal"), std::string::npos) << report.output;

    // The GPU check passes against its own references on the software driver, movie export included.
    const Result check = shell("DREVIK_VULKAN=bundled " + quoted(bundle / "drevik-gpu-check") + " --quick");
    ASSERT_EQ(check.status, 0) << check.output;
    for (const char* line :
         {"Vulkan device: llvmpipe", "\nSet-up: ", "\nFrame 320x180, 4 samples: median ", "\nFrame 640x360, 4 samples",
          ", encoder libx264 (software)", "Result: all 8 pictures match the software driver's"}) {
        EXPECT_NE(check.output.find(line), std::string::npos) << line << " missing in\n" << check.output;
    }
}

TEST(GpuCheck, NamesAPictureThatDiffersAndExitsWithOne) {
    TemporaryFolder folder;
    const Path references = folder.path() / "references";
    std::filesystem::create_directory(references);
    const Path golden = Path(DREVIK_SOURCE_DIR) / "tests/golden";
    std::ofstream(references / "cases.txt") << "# two moments\ndeep-prism 3\nspace-frame 27\n";
    std::filesystem::copy_file(golden / "space-frame.png", references / "space-frame.png");
    std::filesystem::copy_file(golden / "strata-frame.png", references / "deep-prism.png");

    const Result check = shell("VK_DRIVER_FILES=" + std::string(kLavapipe) + " " + DREVIK_GPU_CHECK +
                               " --pictures-only --demo " DREVIK_DEMO_DIR " --references " + quoted(references));
    EXPECT_EQ(check.status, 1) << check.output;
    EXPECT_TRUE(std::regex_search(check.output, std::regex("Picture deep-prism .*: MISMATCH\n"))) << check.output;
    EXPECT_TRUE(std::regex_search(check.output, std::regex("Picture space-frame .*: match\n"))) << check.output;
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(check.output, kept,
                                  std::regex("Result: 1 of 2 pictures differ from the software driver's; this "
                                             "machine's pictures are in (\\S+)\n")))
        << check.output;
    EXPECT_TRUE(std::filesystem::exists(Path(kept[1].str()) / "deep-prism.png"));
    std::filesystem::remove_all(kept[1].str());

    const Result missing = shell(std::string(DREVIK_GPU_CHECK) + " --references " +
                                 quoted(folder.path() / "nowhere") + " --demo " DREVIK_DEMO_DIR);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Drevik: Could not read "), std::string::npos) << missing.output;
}

} // namespace
} // namespace drevik
