// A movie in parts through the built program, on the demo show at a tiny size: the joined movie
// against a one-process export of the same show (decoded with FFmpeg), resuming, and the parts the
// join refuses.
#include "tests/output/movie_probe.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::quoted;
using testing::runCommand;

using Outcome = testing::ProcessOutcome;

std::string contents(const fs::path& file) { return testing::readText(file); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

// The drevik processes run without leak checking under AddressSanitizer (see movie_cli_test.cpp).
std::string sanitizerEnvironment() {
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    return "ASAN_OPTIONS='" + std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0' ";
}

// A small show of turning lines, 30 s long (times are fractions of the show), shown in 6 s at 4 fps and 64×36: 24 frames in 3 groups
// of 8. Split into 4 parts, part 0 is empty and parts 1 to 3 hold frames 0-7, 8-15 and 16-23.
class PartedMovie : public ::testing::Test {
protected:
    static constexpr const char* show = "--width 64 --height 36 --fps 4 --duration 6";

    void SetUp() override {
        std::ofstream graphics(folder() / "Graphics.csv");
        graphics << std::fixed << std::setprecision(4);
        graphics << "# duration_seconds=30\ntime,x1,y1,x2,y2\n";
        for (int step = 0; step < 120; ++step) {
            for (int k = 0; k < 12; ++k) {
                const double angle = k * 0.5 + step * 0.15;
                graphics << step / 120.0 << "," << 0.5 << "," << 0.5 << "," << 0.5 + 0.45 * std::cos(angle) << ","
                         << 0.5 + 0.45 * std::sin(angle * 1.3) << "\n";
            }
        }
        std::ofstream music(folder() / "Music.csv");
        music << "# duration_seconds=30\ntime,lead,bass\n";
        for (int step = 0; step < 60; ++step) music << step / 60.0 << "," << (step % 4) * 0.25 << ",0.5\n";
    }

    const fs::path& folder() const { return root_.path(); }
    fs::path part(int k, int parts = 4) const {
        char name[64];
        std::snprintf(name, sizeof name, "show.mp4.part-%02d-of-%02d.mp4", k, parts);
        return folder() / name;
    }

    Outcome run(const std::string& arguments) const {
        return testing::runShell(DREVIK_BINARY " " + arguments, testing::ProcessOptions().in(folder()));
    }

    void renderParts(const std::string& options = show, int parts = 4) const {
        for (int k = 0; k < parts; ++k) {
            const Outcome outcome =
                run(std::string(options) + " --movie show.mp4 --part " + std::to_string(k) + "/" + std::to_string(parts));
            ASSERT_EQ(outcome.status, 0) << outcome.err;
        }
    }

    // Joins and expects a refusal that names the part and says why; nothing is written or removed.
    void expectJoinRefused(const fs::path& culprit, const std::string& why) const {
        std::vector<std::string> before;
        for (const auto& entry : fs::directory_iterator(folder())) before.push_back(entry.path().filename());
        const Outcome outcome = run(std::string(show) + " --movie show.mp4 --join 4");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, "Drevik: Cannot join " + (folder() / "show.mp4").string() + ": " + culprit.string() +
                                   " " + why + ".\n");
        std::vector<std::string> after;
        for (const auto& entry : fs::directory_iterator(folder())) after.push_back(entry.path().filename());
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, before);
    }

    testing::TemporaryFolder root_{"drevik-parts"};
};

// One line per packet of one stream: "pts,dts,size,flags".
std::vector<std::string> packets(const fs::path& movie, const char* stream) {
    return lines(runCommand(std::string("ffprobe -v error -select_streams ") + stream +
                            " -show_entries packet=pts,dts,size,flags -of csv=p=0 " + quoted(movie)));
}

TEST_F(PartedMovie, JoinedMovieMatchesTheOneProcessExport) {
    ASSERT_EQ(run(std::string(show) + " --movie one.mp4").status, 0);

    const Outcome empty = run(std::string(show) + " --movie show.mp4 --part 0/4");
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(lines(empty.out).back(), "Part 0 of 4 has no frames; nothing to render.");
    const Outcome second = run(std::string(show) + " --movie show.mp4 --part 2/4");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(lines(second.out), (std::vector<std::string>{lines(second.out)[0], "Metal movie  12.5% (1 / 8 frames)",
                                                           "Metal movie 100.0% (8 / 8 frames)",
                                                           "Wrote " + part(2).string()}));
    renderParts(); // parts 1 and 3; 0 and 2 are done
    const Outcome joined = run(std::string(show) + " --movie show.mp4 --join 4");
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(lines(joined.out).back(), "Wrote " + (folder() / "show.mp4").string());
    for (int k = 0; k < 4; ++k) EXPECT_FALSE(fs::exists(part(k))) << "part " << k << " was kept";

    // The same streams: H.264 High and AAC mono at 48 kHz, same frame count and rate, index first.
    const auto one = testing::probeMovie(folder() / "one.mp4");
    const auto all = testing::probeMovie(folder() / "show.mp4");
    ASSERT_EQ(all.streams.size(), 2u);
    for (std::size_t s = 0; s < 2; ++s) {
        for (const char* field : {"codec_name", "profile", "width", "height", "pix_fmt", "avg_frame_rate",
                                  "nb_read_frames", "sample_rate", "channels", "time_base", "color_space"}) {
            const bool has = one.streams[s].contains(field);
            ASSERT_EQ(all.streams[s].contains(field), has) << field;
            if (has) {
                EXPECT_EQ(all.streams[s].at(field), one.streams[s].at(field)) << field;
            }
        }
    }
    EXPECT_EQ(all.streams[0].at("nb_read_frames"), "24");
    EXPECT_EQ(contents(folder() / "show.mp4").substr(4, 4), "ftyp");
    EXPECT_EQ(contents(folder() / "show.mp4").find("moov"), contents(folder() / "one.mp4").find("moov"));

    // The soundtrack's packets byte for byte.
    const std::string audioCommand = "ffmpeg -v error -i %s -map 0:a -c copy -f data - | od -An -tx1 | md5sum";
    auto audioOf = [&](const char* name) {
        char command[512];
        std::snprintf(command, sizeof command, audioCommand.c_str(), quoted(folder() / name).c_str());
        return runCommand(command);
    };
    EXPECT_EQ(audioOf("show.mp4"), audioOf("one.mp4"));
    EXPECT_EQ(packets(folder() / "show.mp4", "a"), packets(folder() / "one.mp4", "a"));

    // Video: presentation times exactly one frame apart, decoding times strictly increasing, a key
    // frame at the start of every part and never more than 2 × fps frames between key frames.
    std::vector<long> pts, dts, keys;
    for (const std::string& packet : packets(folder() / "show.mp4", "v")) {
        long p = 0, d = 0;
        char flags[8] = {};
        ASSERT_EQ(std::sscanf(packet.c_str(), "%ld,%ld,%*d,%7s", &p, &d, flags), 3) << packet;
        pts.push_back(p);
        dts.push_back(d);
        if (flags[0] == 'K') keys.push_back(p);
    }
    ASSERT_EQ(pts.size(), 24u);
    EXPECT_TRUE(std::is_sorted(dts.begin(), dts.end()) && std::adjacent_find(dts.begin(), dts.end()) == dts.end());
    std::sort(pts.begin(), pts.end());
    const long step = pts[1] - pts[0];
    for (std::size_t i = 0; i < pts.size(); ++i) EXPECT_EQ(pts[i], pts[0] + static_cast<long>(i) * step) << i;
    for (long start : {0L, 8 * step, 16 * step}) {
        EXPECT_NE(std::find(keys.begin(), keys.end(), pts[0] + start), keys.end()) << "no key frame at " << start;
    }
    for (std::size_t i = 1; i < keys.size(); ++i) EXPECT_LE(keys[i] - keys[i - 1], 8 * step);
    EXPECT_LE(pts.back() + step - keys.back(), 8 * step);

    // Every picture within 40 dB of the one-process export's: the pictures before encoding are the
    // same, only the rate control saw other frames.
    const std::string psnr = runCommand("ffmpeg -v error -i " + quoted(folder() / "show.mp4") + " -i " +
                                        quoted(folder() / "one.mp4") + " -lavfi psnr=stats_file=- -f null -");
    const std::vector<std::string> frames = lines(psnr);
    ASSERT_EQ(frames.size(), 24u) << psnr;
    for (const std::string& frame : frames) {
        const std::size_t at = frame.find("psnr_avg:");
        ASSERT_NE(at, std::string::npos) << frame;
        const std::string value = frame.substr(at + 9, frame.find(' ', at) - at - 9);
        if (value != "inf") {
            EXPECT_GE(std::stod(value), 40.0) << frame;
        }
    }
}

TEST_F(PartedMovie, AResubmittedPartIsSkippedOnlyWhenItIsCompleteAndTheSame) {
    renderParts();
    const std::string before = contents(part(1));
    Outcome again = run(std::string(show) + " --movie show.mp4 --part 1/4");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(lines(again.out).back(), "Part 1 of 4 is complete already: " + part(1).string());
    EXPECT_EQ(contents(part(1)), before);

    // Made from other settings, or cut short: refused, and left for a person to look at.
    again = run("--width 80 --height 36 --fps 4 --duration 6 --movie show.mp4 --part 1/4");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "Drevik: Part " + part(1).string() +
                             " already exists and was rendered at 64\u00d736, not 80\u00d736; remove it to render "
                             "the part again.\n");
    fs::resize_file(part(1), before.size() - 200);
    again = run(std::string(show) + " --movie show.mp4 --part 1/4");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.find("already exists and is incomplete") != std::string::npos) << again.err;
    EXPECT_EQ(contents(part(1)), before.substr(0, before.size() - 200));

    // Once the movie is there, a part run has nothing to add.
    fs::remove(part(1));
    ASSERT_EQ(run(std::string(show) + " --movie show.mp4 --part 1/4").status, 0);
    ASSERT_EQ(run(std::string(show) + " --movie show.mp4 --join 4 --keep-parts").status, 0);
    for (int k = 1; k < 4; ++k) EXPECT_TRUE(fs::exists(part(k))) << k;
    again = run(std::string(show) + " --movie show.mp4 --part 1/4");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "Drevik: Movie already exists: " + (folder() / "show.mp4").string() + "\n");
}

TEST_F(PartedMovie, TheJoinRefusesMissingForeignAndDamagedParts) {
    renderParts();
    const fs::path keep = folder() / "keep";
    fs::create_directory(keep);

    fs::rename(part(2), keep / "2");
    expectJoinRefused(part(2), "is missing (part 2 of 4)");

    // Part 2 from a show rendered at another width.
    ASSERT_EQ(run("--width 80 --height 36 --fps 4 --duration 6 --movie show.mp4 --part 2/4").status, 0);
    expectJoinRefused(part(2), "was rendered at 80\u00d736, not 64\u00d736");

    // Part 2 from another Music.csv.
    fs::remove(part(2));
    std::string music = contents(folder() / "Music.csv");
    std::ofstream(folder() / "Other.csv", std::ios::binary) << music << "\n";
    ASSERT_EQ(run(std::string(show) + " --music Other.csv --movie show.mp4 --part 2/4").status, 0);
    expectJoinRefused(part(2), "was rendered from another Music.csv");

    // Part 2 cut short by hand.
    fs::remove(part(2));
    fs::copy_file(keep / "2", part(2));
    fs::resize_file(part(2), fs::file_size(part(2)) - 100);
    const Outcome outcome = run(std::string(show) + " --movie show.mp4 --join 4");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(part(2).string() + " is incomplete ("), std::string::npos) << outcome.err;

    // The soundtrack part 0 encodes: missing, or cut short.
    fs::remove(part(2));
    fs::copy_file(keep / "2", part(2));
    const fs::path soundtrack = folder() / "show.mp4.soundtrack";
    fs::rename(soundtrack, keep / "soundtrack");
    expectJoinRefused(soundtrack, "is missing (the soundtrack, which part 0 encodes)");
    fs::copy_file(keep / "soundtrack", soundtrack);
    fs::resize_file(soundtrack, fs::file_size(soundtrack) - 5);
    const Outcome cut = run(std::string(show) + " --movie show.mp4 --join 4");
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find(soundtrack.string() + " is incomplete ("), std::string::npos) << cut.err;
    fs::remove(soundtrack);
    fs::copy_file(keep / "soundtrack", soundtrack);

    // Not a part at all: another file, or a movie of the one-process export.
    fs::remove(part(2));
    fs::copy_file(folder() / "Music.csv", part(2));
    expectJoinRefused(part(2), "is not a readable movie file (Invalid data found when processing input)");
    fs::remove(part(2));
    ASSERT_EQ(run(std::string(show) + " --movie " + quoted(part(2))).status, 0);
    expectJoinRefused(part(2), "is not a part of a Drevik movie");

    EXPECT_EQ(run("--movie x.mp4 --part 4/4").err, "Drevik: --part needs K/N, part K of N with 0 \u2264 K < N \u2264 "
                                                   "100000, got '4/4'.\n");
    EXPECT_EQ(run("--join 4").err, "Drevik: --join goes with --movie PATH, the movie the parts make up.\n");
}

// A part killed outright leaves only its hidden temporary; the join refuses the missing part, and
// the part run again replaces the leftover and completes the movie.
TEST_F(PartedMovie, APartKilledOutrightIsRenderedAgain) {
    const std::string longer = "--width 160 --height 90 --fps 8"; // 240 frames: parts of 112 and 128
    const std::string command = "cd " + quoted(folder()) + " && exec env " + sanitizerEnvironment() + DREVIK_BINARY +
                                " " + longer + " --movie show.mp4 --part 1/2";
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    // Killed once it has rendered its first frame.
    std::string seen;
    char c = 0;
    while (seen.find("Metal movie") == std::string::npos && ::read(pipeEnds[0], &c, 1) == 1) seen.push_back(c);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeEnds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << seen;
    EXPECT_FALSE(fs::exists(folder() / "show.mp4.part-01-of-02.mp4"));

    ASSERT_EQ(run(longer + " --movie show.mp4 --part 0/2").status, 0);
    Outcome join = run(longer + " --movie show.mp4 --join 2");
    EXPECT_EQ(join.status, 1);
    EXPECT_TRUE(join.err.ends_with("show.mp4.part-01-of-02.mp4 is missing (part 1 of 2).\n")) << join.err;

    ASSERT_EQ(run(longer + " --movie show.mp4 --part 1/2").status, 0);
    join = run(longer + " --movie show.mp4 --join 2");
    ASSERT_EQ(join.status, 0) << join.err;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Graphics.csv", "Music.csv", "show.mp4"}));
    EXPECT_EQ(testing::probeMovie(folder() / "show.mp4").streams.at(0).at("nb_read_frames"), "240");
}

// The same part started twice at once (a task run twice): one writes it, the other finds it done.
TEST_F(PartedMovie, ThePartStartedTwiceAtOnceIsWrittenOnce) {
    const std::string options = "--width 160 --height 90 --fps 8 --movie show.mp4 --part 1/2";
    const std::string command = "cd " + quoted(folder()) + " && (" + sanitizerEnvironment() + DREVIK_BINARY + " " +
                                options + " >a.out 2>&1 & " + sanitizerEnvironment() + DREVIK_BINARY + " " +
                                options + " >b.out 2>&1; wait)";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string both = contents(folder() / "a.out") + contents(folder() / "b.out");
    std::size_t wrote = 0, done = 0;
    for (const std::string& line : lines(both)) {
        wrote += line == "Wrote " + (folder() / "show.mp4.part-01-of-02.mp4").string();
        done += line.starts_with("Part 1 of 2 is complete already: ");
    }
    EXPECT_EQ(wrote, 1u) << both;
    EXPECT_EQ(done, 1u) << both;
    EXPECT_EQ(both.find("Drevik: "), std::string::npos) << both;
}

// Parts carry the export's format: they take the movie's container, the join copies into it and
// refuses parts made with other settings.
TEST_F(PartedMovie, PartsCarryTheCodecQualityAndTransparency) {
    const std::string hevc = std::string(show) + " --codec hevc --quality 30 --movie show.mkv";
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(run(hevc + " --part " + std::to_string(k) + "/4").status, 0) << k;
    }
    EXPECT_TRUE(fs::exists(folder() / "show.mkv.part-01-of-04.mkv"));
    const Outcome mixed = run(std::string(show) + " --codec hevc --quality 20 --movie show.mkv --join 4");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_TRUE(mixed.err.starts_with("Drevik: Cannot join " + (folder() / "show.mkv").string() + ": " +
                                      (folder() / "show.mkv.part-01-of-04.mkv").string() +
                                      " was encoded with other settings (hevc in mkv, quality 30;"))
        << mixed.err;
    EXPECT_FALSE(fs::exists(folder() / "show.mkv"));

    // A Matroska part is counted while the join copies it, once: one cut short stops the join there.
    const fs::path cut = folder() / "show.mkv.part-02-of-04.mkv";
    const std::string whole = contents(cut);
    std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() * 2 / 3);
    const Outcome shortened = run(hevc + " --join 4");
    EXPECT_EQ(shortened.status, 1);
    EXPECT_TRUE(shortened.err.starts_with("Drevik: Cannot join " + (folder() / "show.mkv").string() + ": " +
                                          cut.string() + " "))
        << shortened.err;
    EXPECT_FALSE(fs::exists(folder() / "show.mkv"));
    std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole;
    ASSERT_EQ(run(hevc + " --join 4").status, 0);

    // Matroska keeps no decoding times; the joined ones must still run on without a repeat.
    const auto movie = testing::probeMovie(folder() / "show.mkv");
    ASSERT_EQ(movie.streams.size(), 2u);
    EXPECT_EQ(movie.streams[0].at("codec_name"), "hevc");
    EXPECT_EQ(movie.streams[0].at("nb_read_frames"), "24");
    EXPECT_EQ(movie.streams[1].at("codec_name"), "aac");
    std::vector<long> pts;
    for (const std::string& packet : packets(folder() / "show.mkv", "v")) pts.push_back(std::stol(packet));
    std::sort(pts.begin(), pts.end());
    EXPECT_EQ(std::adjacent_find(pts.begin(), pts.end()), pts.end());

    // VP9 with alpha: the alpha plane travels with the copied packets.
    const std::string vp9 = std::string(show) + " --transparent --movie glow.webm";
    for (int k = 0; k < 4; ++k) ASSERT_EQ(run(vp9 + " --part " + std::to_string(k) + "/4").status, 0) << k;
    ASSERT_EQ(run(vp9 + " --join 4").status, 0);
    EXPECT_EQ(runCommand("ffprobe -v error -select_streams v -show_entries stream_tags=alpha_mode -of csv=p=0 " +
                         quoted(folder() / "glow.webm")),
              "1\n");
    const std::string alpha = runCommand("ffmpeg -v error -c:v libvpx-vp9 -i " + quoted(folder() / "glow.webm") +
                                         " -vf alphaextract,signalstats,metadata=mode=print:key=lavfi.signalstats.YMAX:file=- "
                                         "-f null - 2>&1 | grep -c 'YMAX=2[0-9][0-9]'");
    EXPECT_GT(std::stoi(alpha), 12) << "few decoded frames carry opaque light";
}

// A frame sequence needs no join: each part writes its own files into the shared folder.
TEST_F(PartedMovie, FrameSequencePartsFillOneFolder) {
    for (int k : {3, 1, 0, 2}) {
        const Outcome outcome = run(std::string(show) + " --movie frames/ --part " + std::to_string(k) + "/4");
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(lines(outcome.out).back(), "Wrote " + (folder() / "frames").string()) << k;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder() / "frames")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 25u);
    EXPECT_EQ(names.front(), "000001.png");
    EXPECT_EQ(names[23], "000024.png");
    EXPECT_EQ(names.back(), "soundtrack.wav");
    EXPECT_EQ(fs::file_size(folder() / "frames" / "soundtrack.wav"), 44u + 6u * 48'000u * 2u);

    const Outcome again = run(std::string(show) + " --movie frames/ --part 2/4");
    EXPECT_EQ(lines(again.out).back(), "Part 2 of 4 is complete already: " + (folder() / "frames").string());
    fs::remove(folder() / "frames" / "000012.png");
    ASSERT_EQ(run(std::string(show) + " --movie frames/ --part 2/4").status, 0);
    EXPECT_TRUE(fs::exists(folder() / "frames" / "000012.png"));

    // A folder that cannot be made says why.
    std::ofstream(folder() / "file") << "x";
    const Outcome blocked = run(std::string(show) + " --movie file/frames/ --part 1/4");
    EXPECT_EQ(blocked.status, 1);
    EXPECT_EQ(blocked.err, "Drevik: Movie writer failed: cannot create the folder " +
                               (folder() / "file" / "frames").string() + ": Not a directory\n");

    const Outcome join = run(std::string(show) + " --movie frames/ --join 4");
    EXPECT_EQ(join.status, 1);
    EXPECT_EQ(join.err, "Drevik: A frame sequence needs no join: each part writes its frames into the folder itself.\n");
}

} // namespace
} // namespace drevik
