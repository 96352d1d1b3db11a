#include "app/launch.hpp"

#include "app/configuration.hpp"
#include "app/export_progress.hpp"
#include "app/live_sound.hpp"
#include "app/music_report.hpp"
#include "app/scene_report.hpp"
#include "app/show.hpp"
#include "platform/atomic_output.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "import/drawing_source.hpp"
#include "output/movie.hpp"
#include "output/movie_encoder.hpp"
#include "output/output_format.hpp"
#include "output/snapshot.hpp"
#include "render/gpu/gpu.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string_view>
#include <sys/uio.h>
#include <unistd.h>

namespace drevik {

namespace {

// Writes the text and a line feed to standard output (buffered; flushed when the process ends).
void printLine(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// Writes "Drevik: " + description + line feed to standard error in one system call (more only
// when the kernel takes part of it), without allocating, so it also works when memory ran out.
void reportFailure(const char* description) {
    std::fflush(stdout); // what was printed before the failure stays before it
    static constexpr char prefix[] = "Drevik: ";
    iovec pieces[3] = {{const_cast<char*>(prefix), sizeof prefix - 1},
                       {const_cast<char*>(description), std::strlen(description)},
                       {const_cast<char*>("\n"), 1}};
    iovec* next = pieces;
    int left = 3;
    while (left > 0) {
        ssize_t written = ::writev(STDERR_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return; // nowhere left to report to
        }
        auto remaining = static_cast<std::size_t>(written);
        while (left > 0 && remaining >= next->iov_len) {
            remaining -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + remaining;
            next->iov_len -= remaining;
        }
    }
}

// What was left out of an imported drawing, one line each on standard error.
void printNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) {
        std::fprintf(stderr, "Note: %s\n", note.c_str());
    }
}

bool isHelp(const std::string& argument) { return argument == "--help" || argument == "-h"; }

// The GPU device of an offline output, opened by the program once, on first use, with its shader
// cache in cacheFolder (nowhere when empty).
class OutputDevice {
public:
    explicit OutputDevice(std::filesystem::path cacheFolder) : cacheFolder_(std::move(cacheFolder)) {}

    std::shared_ptr<gpu::Device> get() {
        if (!opened_) {
            gpu::DeviceOptions options = gpu::defaultDeviceOptions();
            options.cacheFolder = cacheFolder_;
            device_ = gpu::Device::systemDefault(options);
            opened_ = true;
        }
        return device_;
    }
    std::function<std::shared_ptr<gpu::Device>()> opener() {
        return [this] { return get(); };
    }

private:
    std::filesystem::path cacheFolder_;
    bool opened_ = false;
    std::shared_ptr<gpu::Device> device_;
};

// --movie with --part or --join.
void runPartedMovie(const Configuration& configuration, const OutputFormat& format, const GraphicsTimeline& graphics,
                    const MusicTimeline& music, OutputDevice& device) {
    namespace movie = MetalMovieRenderer;
    movie::PartedMovie parted;
    parted.location = *configuration.movieURL;
    parted.width = configuration.outputWidth;
    parted.height = configuration.outputHeight;
    parted.framesPerSecond = configuration.framesPerSecond;
    parted.durationSeconds = configuration.movieDuration.value_or(graphics.durationSeconds);
    parted.graphicsHash = movie::fileHash(configuration.graphicsURL);
    parted.musicHash = movie::fileHash(configuration.musicURL);
    parted.format = format;
    if (configuration.joinParts) {
        movie::joinPartsOf(parted, *configuration.joinParts, music, configuration.keepParts);
        printLine("Wrote " + parted.location.string());
        return;
    }
    const auto [part, parts] = *configuration.moviePart;
    // A frame sequence's parts write straight into its folder.
    const std::filesystem::path location =
        format.isFrameSequence() ? parted.location : movie::partLocation(parted.location, part, parts);
    const std::string name = "Part " + std::to_string(part) + " of " + std::to_string(parts);
    // Part 0 also encodes the whole soundtrack, once, for the join to copy.
    if (part == 0 && !format.isFrameSequence() && movie::writePartSoundtrack(parted, parts, music)) {
        printLine("Wrote " + movie::soundtrackLocation(parted.location).string());
    }
    movie::PartOutcome outcome = movie::PartOutcome::empty;
    {
        ExportProgressPrinter progress(stdout, progressTerminal());
        outcome = movie::writePart(parted, part, parts, graphics, music, {device.opener(), progress.callback()});
    }
    switch (outcome) {
    case movie::PartOutcome::written:
        printLine("Wrote " + location.string());
        break;
    case movie::PartOutcome::alreadyComplete:
        printLine(name + " is complete already: " + location.string());
        break;
    case movie::PartOutcome::empty:
        printLine(name + " has no frames; nothing to render.");
        break;
    }
}

// The show with its sound live from an input: no soundtrack is read and nothing plays.
void runListeningShow(const GraphicsTimeline& graphics, const Configuration& configuration,
                      const std::filesystem::path& cacheFolder) {
    const std::string input = *configuration.listen == defaultSoundInput ? std::string("the default sound input")
                                                                         : "\"" + *configuration.listen + "\"";
    printLine("Loaded " + std::to_string(graphics.frames.size()) + " frames / " +
              std::to_string(graphics.segments.size()) + " lines; listening to " + input + ".");
    MusicTimeline silence;
    silence.durationSeconds = graphics.durationSeconds;
    runShow(graphics, silence, configuration, cacheFolder);
}

} // namespace

void run(const std::vector<std::string>& arguments, const std::filesystem::path& cacheFolder) {
    for (const auto& argument : arguments) {
        if (isHelp(argument)) {
            printLine(usageText());
            return;
        }
    }

    const Configuration configuration = Configuration::fromArguments(arguments);
    if (configuration.listInputs) {
        for (const std::string& name : soundInputNames()) printLine(name);
        return;
    }
    // The output's format is decided, and refused when it cannot be written, before any input is read.
    OutputFormat format;
    if (configuration.movieURL) {
        format = chooseMovieFormat(configuration.outputFormat, *configuration.movieURL);
        requireEncoders(format);
        if (format.isFrameSequence() && configuration.joinParts) {
            throw MetalMovieRenderer::MoviePartError(
                "A frame sequence needs no join: each part writes its frames into the folder itself.");
        }
    } else if (configuration.snapshotURL) {
        format = chooseSnapshotFormat(configuration.outputFormat);
    }
    if (configuration.describeMusic) {
        printMusicReport(readMusic(configuration.musicURL));
        return;
    }
    // A drawing from another source than a Graphics.csv lasts as long as the soundtrack.
    const std::optional<ImportedSource> imported = readDrawingSource(configuration.graphicsURL);
    if (imported) printNotes(imported->notes);
    GraphicsTimeline graphics =
        imported ? GraphicsTimeline() : GraphicsTimeline::fromCsvFile(configuration.graphicsURL);
    if (configuration.describeScenes) {
        if (imported) graphics = buildImportedTimeline(*imported, std::nullopt);
        printSceneReport(graphics);
        return;
    }

    if (configuration.listen) {
        if (imported) graphics = buildImportedTimeline(*imported, std::nullopt);
        runListeningShow(graphics, configuration, cacheFolder);
        return;
    }

    const MusicTimeline music = readMusic(configuration.musicURL);
    if (imported) graphics = buildImportedTimeline(*imported, music.durationSeconds);
    fitToSoundtrack(graphics, music);
    printLine("Loaded " + std::to_string(graphics.frames.size()) + " frames / " +
              std::to_string(graphics.segments.size()) + " lines; " + std::to_string(music.samples.size()) +
              " audio samples at " + std::to_string(music.sampleRate) + " Hz.");

    if (configuration.snapshotURL || configuration.movieURL) {
        // Files written from here on are removed when the process is interrupted. The show leaves
        // SIGINT and SIGTERM to the window system, which turns them into a quit that unwinds.
        installSignalCleanup();
    }
    OutputDevice device(cacheFolder);
    if (configuration.snapshotURL) {
        MetalSnapshot::write(*configuration.snapshotURL, configuration.outputWidth, configuration.outputHeight,
                             configuration.normalizedTime, graphics, music, device.opener(), format.transparent);
        printLine("Wrote " + configuration.snapshotURL->string());
        return;
    }
    if (configuration.movieURL && (configuration.moviePart || configuration.joinParts)) {
        runPartedMovie(configuration, format, graphics, music, device);
        return;
    }
    if (configuration.movieURL) {
        {
            ExportProgressPrinter progress(stdout, progressTerminal());
            MetalMovieRenderer::write(*configuration.movieURL, configuration.outputWidth, configuration.outputHeight,
                                      configuration.framesPerSecond,
                                      configuration.movieDuration.value_or(graphics.durationSeconds), graphics, music,
                                      {device.opener(), progress.callback()}, format);
        } // the bar is cleared before the last line
        printLine("Wrote " + configuration.movieURL->string());
        return;
    }
    runShow(graphics, music, configuration, cacheFolder);
}

int launchMain(int argc, char** argv, const std::filesystem::path& cacheFolder) {
    try {
        std::vector<std::string> arguments;
        for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
        run(arguments, cacheFolder);
    } catch (const std::bad_alloc&) {
        reportFailure("Not enough memory to continue.");
        return 1;
    } catch (const std::exception& error) {
        reportFailure(error.what());
        return 1;
    } catch (...) {
        reportFailure("An unexpected internal error stopped the program.");
        return 1;
    }
    // Output that never arrived is a failure, not a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        reportFailure("Standard output could not be written.");
        return 1;
    }
    return 0;
}

} // namespace drevik
