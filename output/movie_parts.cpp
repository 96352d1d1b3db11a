#include "output/movie_parts.hpp"

#include "core/atomic_output.hpp"
#include "output/movie_audio.hpp"
#include "output/movie_error.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/sha.h>
}

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

namespace drevik::MetalMovieRenderer {

namespace {

namespace fs = std::filesystem;

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "\u00d7" + std::to_string(height);
}

std::string durationText(double seconds) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, seconds);
    return std::string(text, result.ptr);
}

std::optional<std::int64_t> readInteger(const std::string& text) {
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// "a<separator>b" as two integers.
std::optional<std::pair<std::int64_t, std::int64_t>> readPair(const std::string& text, char separator) {
    const std::size_t at = text.find(separator);
    if (at == std::string::npos) return std::nullopt;
    const auto first = readInteger(text.substr(0, at));
    const auto second = readInteger(text.substr(at + 1));
    if (!first || !second) return std::nullopt;
    return std::pair{*first, *second};
}

constexpr std::string_view tagMark = "drevik-part=1";

struct FormatCloser {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ParametersFreer {
    void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};

// A file's packets read to its end (count −1 when it cannot be), and how many frames the decoding
// order runs ahead of the presentation order at most (the pictures held back for reordering).
struct PacketCount {
    std::int64_t count = -1;
    std::int64_t reorderDelay = 0;
};

PacketCount countPackets(const fs::path& file, std::int64_t framesPerSecond) {
    AVFormatContext* raw = nullptr;
    if (framesPerSecond <= 0 || avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0 || raw->nb_streams != 1) {
        if (raw != nullptr) avformat_close_input(&raw);
        return {};
    }
    const std::unique_ptr<AVFormatContext, FormatCloser> format(raw);
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    const AVRational timeBase = format->streams[0]->time_base;
    const AVRational frames{1, static_cast<int>(framesPerSecond)};
    PacketCount result{0, 0};
    int status = 0;
    while ((status = av_read_frame(format.get(), packet.get())) >= 0) {
        if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0 || packet->pts == AV_NOPTS_VALUE) return {};
        const std::int64_t pts = av_rescale_q(packet->pts, timeBase, frames);
        result.reorderDelay = std::max(result.reorderDelay, result.count - pts);
        ++result.count;
        av_packet_unref(packet.get());
    }
    return status == AVERROR_EOF ? result : PacketCount{};
}

} // namespace

FrameRange partFrames(const MoviePlan& plan, std::int64_t part, std::int64_t parts) {
    const std::int64_t group = 2 * plan.framesPerSecond;
    const std::int64_t groups = (plan.frameCount + group - 1) / group;
    const auto boundary = [&](std::int64_t k) { return std::min(plan.frameCount, k * groups / parts * group); };
    return {boundary(part), boundary(part + 1)};
}

fs::path partLocation(const fs::path& movie, std::int64_t part, std::int64_t parts) {
    const int digits = std::max<int>(2, static_cast<int>(std::to_string(parts - 1).size()));
    char suffix[96];
    // The movie's own extension where it names another container (a part holds the same codec).
    std::string extension = movie.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != ".mov" && extension != ".mkv" && extension != ".webm") extension = ".mp4";
    std::snprintf(suffix, sizeof suffix, ".part-%0*lld-of-%0*lld%s", digits, static_cast<long long>(part), digits,
                  static_cast<long long>(parts), extension.c_str());
    fs::path location = movie;
    location += suffix;
    return location;
}

std::string fileHash(const fs::path& file) {
    std::unique_ptr<AVSHA, decltype(&av_free)> sha(av_sha_alloc(), &av_free);
    if (!sha) throw std::bad_alloc();
    av_sha_init(sha.get(), 256);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw MoviePartError("Cannot read " + file.string() + ": " + std::strerror(errno));
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        av_sha_update(sha.get(), reinterpret_cast<const std::uint8_t*>(buffer.data()),
                      static_cast<unsigned>(in.gcount()));
    }
    if (in.bad()) throw MoviePartError("Cannot read " + file.string());
    std::uint8_t digest[32];
    av_sha_final(sha.get(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 15]);
    }
    return text;
}

std::string PartFacts::toTag() const {
    return std::string(tagMark) + "; part=" + std::to_string(part) + "/" + std::to_string(parts) +
           "; frames=" + std::to_string(frames.first) + "-" + std::to_string(frames.end) +
           "; movie-frames=" + std::to_string(movieFrameCount) + "; size=" + std::to_string(width) + "x" +
           std::to_string(height) + "; fps=" + std::to_string(framesPerSecond) +
           "; duration=" + durationText(durationSeconds) + "; graphics=" + graphicsHash + "; music=" + musicHash +
           "; encoder=" + encoderSettings;
}

std::optional<PartFacts> PartFacts::fromTag(const std::string& tag) {
    if (tag.rfind(tagMark, 0) != 0) return std::nullopt;
    std::map<std::string, std::string> fields;
    // The encoder's description comes last and is taken whole.
    std::size_t at = tagMark.size();
    while (at < tag.size()) {
        if (tag.compare(at, 2, "; ") != 0) return std::nullopt;
        at += 2;
        const std::size_t equals = tag.find('=', at);
        if (equals == std::string::npos) return std::nullopt;
        const std::string key = tag.substr(at, equals - at);
        std::size_t end = key == "encoder" ? tag.size() : tag.find("; ", equals);
        if (end == std::string::npos) end = tag.size();
        fields[key] = tag.substr(equals + 1, end - equals - 1);
        at = end;
    }
    PartFacts facts;
    const auto part = readPair(fields["part"], '/');
    const auto frames = readPair(fields["frames"], '-');
    const auto movieFrames = readInteger(fields["movie-frames"]);
    const auto size = readPair(fields["size"], 'x');
    const auto fps = readInteger(fields["fps"]);
    const std::string& duration = fields["duration"];
    const auto read = std::from_chars(duration.data(), duration.data() + duration.size(), facts.durationSeconds);
    if (!part || !frames || !movieFrames || !size || !fps || read.ec != std::errc() ||
        read.ptr != duration.data() + duration.size() || !fields.contains("encoder")) {
        return std::nullopt;
    }
    facts.part = part->first;
    facts.parts = part->second;
    facts.frames = {frames->first, frames->second};
    facts.movieFrameCount = *movieFrames;
    facts.width = size->first;
    facts.height = size->second;
    facts.framesPerSecond = *fps;
    facts.graphicsHash = fields["graphics"];
    facts.musicHash = fields["music"];
    facts.encoderSettings = fields["encoder"];
    return facts;
}

PartFacts expectedPartFacts(const MoviePlan& plan, std::int64_t part, std::int64_t parts,
                            const std::string& graphicsHash, const std::string& musicHash) {
    PartFacts facts;
    facts.part = part;
    facts.parts = parts;
    facts.frames = partFrames(plan, part, parts);
    facts.movieFrameCount = plan.frameCount;
    facts.width = plan.width;
    facts.height = plan.height;
    facts.framesPerSecond = plan.framesPerSecond;
    facts.durationSeconds = plan.durationSeconds;
    facts.graphicsHash = graphicsHash;
    facts.musicHash = musicHash;
    return facts;
}

std::optional<std::string> partMismatch(const PartFacts& found, const PartFacts& expected) {
    if (found.part != expected.part || found.parts != expected.parts) {
        return "is part " + std::to_string(found.part) + " of " + std::to_string(found.parts) + ", not part " +
               std::to_string(expected.part) + " of " + std::to_string(expected.parts);
    }
    if (found.graphicsHash != expected.graphicsHash) return std::string("was rendered from another Graphics.csv");
    if (found.musicHash != expected.musicHash) return std::string("was rendered from another Music.csv");
    if (found.width != expected.width || found.height != expected.height) {
        return "was rendered at " + sizeText(found.width, found.height) + ", not " +
               sizeText(expected.width, expected.height);
    }
    if (found.framesPerSecond != expected.framesPerSecond) {
        return "was rendered at " + std::to_string(found.framesPerSecond) + " frames per second, not " +
               std::to_string(expected.framesPerSecond);
    }
    if (found.durationSeconds != expected.durationSeconds || found.movieFrameCount != expected.movieFrameCount) {
        return "belongs to a movie of " + durationText(found.durationSeconds) + " s (" +
               std::to_string(found.movieFrameCount) + " frames), not " + durationText(expected.durationSeconds) +
               " s (" + std::to_string(expected.movieFrameCount) + " frames)";
    }
    if (found.frames != expected.frames) {
        return "holds frames " + std::to_string(found.frames.first) + " to " + std::to_string(found.frames.end) +
               ", not " + std::to_string(expected.frames.first) + " to " + std::to_string(expected.frames.end);
    }
    if (!expected.encoderSettings.empty() && found.encoderSettings != expected.encoderSettings) {
        return "was encoded with other settings (" + found.encoderSettings + ")";
    }
    return std::nullopt;
}

// ---- Reading a part ----------------------------------------------------------------------------

struct PartReader::State {
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVPacket, PacketFreer> packet;
    VideoStreamParameters parameters;
    PartFacts facts;
    AVRational timeBase{1, 1};
    // Matroska keeps no decoding times: they are made again from the packets' order, each a frame
    // after the one before, starting reorderDelay frames before the first picture.
    bool remakeDecodingTimes = false;
    std::int64_t reorderDelay = 0;
    std::int64_t packetsRead = 0;
};

PartReader::PartReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
PartReader::~PartReader() = default;
PartReader::PartReader(PartReader&&) noexcept = default;
PartReader& PartReader::operator=(PartReader&&) noexcept = default;

const PartFacts& PartReader::facts() const { return state_->facts; }
const VideoStreamParameters& PartReader::parameters() const { return state_->parameters; }

PartReader PartReader::open(const fs::path& file) {
    auto state = std::make_unique<State>();
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) {
        throw MoviePartError("is not a readable movie file");
    }
    state->format.reset(raw);
    AVFormatContext* format = raw;
    const AVDictionaryEntry* comment = av_dict_get(format->metadata, "comment", nullptr, 0);
    const auto facts = comment != nullptr ? PartFacts::fromTag(comment->value) : std::nullopt;
    if (!facts) throw MoviePartError("is not a part of a Drevik movie");
    state->facts = *facts;
    if (format->nb_streams != 1 || format->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        throw MoviePartError("is not a part of a Drevik movie: it should hold one video stream");
    }
    AVStream* stream = format->streams[0];
    state->timeBase = stream->time_base;
    // Complete: every frame of the range there, and every byte of it in the file. MP4 and QuickTime
    // files index every frame at the end; Matroska indexes only key frames, so its frames are counted.
    std::int64_t entries = 0;
    std::int64_t end = 0;
    const std::int64_t fileSize = avio_size(format->pb);
    if (std::string_view(format->iformat->name).find("matroska") != std::string_view::npos) {
        const PacketCount packets = countPackets(file, facts->framesPerSecond);
        entries = packets.count;
        end = fileSize;
        state->remakeDecodingTimes = true;
        state->reorderDelay = packets.reorderDelay;
    } else {
        entries = avformat_index_get_entries_count(stream);
        for (int i = 0; i < entries; ++i) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream, static_cast<int>(i));
            end = std::max<std::int64_t>(end, entry->pos + entry->size);
        }
    }
    if (entries != facts->frames.count() || fileSize < end) {
        throw MoviePartError("is incomplete (" + std::to_string(std::max<std::int64_t>(fileSize, 0)) + " bytes of " +
                             std::to_string(end) + ", " + std::to_string(entries) + " frames of " +
                             std::to_string(facts->frames.count()) + ")");
    }
    std::unique_ptr<AVCodecParameters, ParametersFreer> parameters(avcodec_parameters_alloc());
    state->packet.reset(av_packet_alloc());
    if (!parameters || !state->packet || avcodec_parameters_copy(parameters.get(), stream->codecpar) < 0) {
        throw std::bad_alloc();
    }
    state->parameters = VideoStreamParameters(parameters.release(), ParametersFreer{});
    return PartReader(std::move(state));
}

bool PartReader::next(EncodedVideoPacket& packet) {
    State& s = *state_;
    av_packet_unref(s.packet.get());
    const int status = av_read_frame(s.format.get(), s.packet.get());
    if (status == AVERROR_EOF) return false;
    if (status < 0 || (s.packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
        throw MoviePartError("cannot be read to the end");
    }
    const AVRational frames{1, static_cast<int>(s.facts.framesPerSecond)};
    packet.data.assign(s.packet->data, s.packet->data + s.packet->size);
    packet.pts = av_rescale_q(s.packet->pts, s.timeBase, frames);
    packet.dts = s.remakeDecodingTimes ? s.packetsRead - s.reorderDelay : av_rescale_q(s.packet->dts, s.timeBase, frames);
    ++s.packetsRead;
    packet.duration = std::max<std::int64_t>(1, av_rescale_q(s.packet->duration, s.timeBase, frames));
    packet.key = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
    std::size_t additionSize = 0;
    const std::uint8_t* addition =
        av_packet_get_side_data(s.packet.get(), AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL, &additionSize);
    packet.blockAdditional.assign(addition, addition == nullptr ? addition : addition + additionSize);
    return true;
}

// ---- The join ----------------------------------------------------------------------------------

namespace {

bool sameHeaders(const AVCodecParameters& a, const AVCodecParameters& b) {
    return a.width == b.width && a.height == b.height && a.profile == b.profile && a.level == b.level &&
           a.extradata_size == b.extradata_size &&
           (a.extradata_size == 0 || std::memcmp(a.extradata, b.extradata, static_cast<std::size_t>(a.extradata_size)) == 0);
}

// The soundtrack, resampled, up to a sample position.
class SoundFeeder {
public:
    SoundFeeder(const MusicTimeline& music, const MoviePlan& plan) : music_(music), plan_(plan) {}

    void feedThroughFrame(MovieEncoder& encoder, std::int64_t frameIndex) {
        if (frameIndex < 0) return;
        const std::int64_t numerator = (frameIndex + 1) * plan_.sampleRate;
        feedUntil(encoder, (numerator + plan_.framesPerSecond - 1) / plan_.framesPerSecond);
    }
    void feedAll(MovieEncoder& encoder) { feedUntil(encoder, plan_.audioSampleCount); }

private:
    void feedUntil(MovieEncoder& encoder, std::int64_t target) {
        target = std::min(target, plan_.audioSampleCount);
        while (fed_ < target) {
            const std::int64_t chunk = std::min<std::int64_t>(target - fed_, 65'536);
            scratch_.resize(static_cast<std::size_t>(chunk * music_.playbackChannels));
            copyResampledFrames(music_.playback(), music_.playbackChannels, plan_.audioSampleCount, fed_, scratch_);
            encoder.appendAudio(scratch_);
            fed_ += chunk;
        }
    }

    const MusicTimeline& music_;
    const MoviePlan& plan_;
    std::int64_t fed_ = 0;
    std::vector<float> scratch_;
};

} // namespace

void joinParts(const fs::path& location, const MoviePlan& plan, std::int64_t parts, const MusicTimeline& music,
               const PartFacts& expected, const JoinOptions& options) {
    requireFreeLocation(location);
    const std::string prefix = "Cannot join " + location.string() + ": ";

    // Every check before anything is written.
    std::vector<fs::path> files;
    std::string encoderSettings;
    VideoStreamParameters parameters;
    MovieEncoderSettings settings = movieEncoderSettings(plan, options.allowHardwareEncoder, options.format);
    settings.audioChannels = music.playbackChannels;
    for (std::int64_t k = 0; k < parts; ++k) {
        PartFacts wanted = expected;
        wanted.part = k;
        wanted.parts = parts;
        wanted.frames = partFrames(plan, k, parts);
        wanted.encoderSettings = encoderSettings;
        if (wanted.frames.count() == 0) continue; // nothing to render, no file
        const fs::path file = partLocation(location, k, parts);
        std::error_code error;
        if (!fs::is_regular_file(file, error)) {
            throw MoviePartError(prefix + file.string() + " is missing (part " + std::to_string(k) + " of " +
                                 std::to_string(parts) + ").");
        }
        try {
            PartReader reader = PartReader::open(file);
            if (const auto why = partMismatch(reader.facts(), wanted)) throw MoviePartError(*why);
            if (parameters == nullptr) {
                encoderSettings = reader.facts().encoderSettings;
                // Any encoder of the codec may have made the parts; everything else must be the join's.
                if (!encoderSettings.starts_with(describeEncoderSettings(settings, ""))) {
                    throw MoviePartError("was encoded with other settings (" + encoderSettings + ")");
                }
                parameters = reader.parameters();
            } else if (!sameHeaders(*reader.parameters(), *parameters)) {
                throw MoviePartError("was encoded with other stream headers than the parts before it");
            }
        } catch (const MoviePartError& why) {
            throw MoviePartError(prefix + file.string() + " " + why.what() + ".");
        }
        files.push_back(file);
    }

    AtomicFile temporary = [&] {
        try {
            return AtomicFile(location);
        } catch (const AtomicOutputError& error) {
            throw MovieRendererError::writerFailed(error.what());
        }
    }();
    MovieContainerOptions container;
    container.copiedVideo = parameters;
    MovieEncoder encoder(temporary.path(), settings, container);
    SoundFeeder sound(music, plan);
    EncodedVideoPacket packet;
    for (const fs::path& file : files) {
        try {
            PartReader reader = PartReader::open(file);
            const std::int64_t first = reader.facts().frames.first;
            while (reader.next(packet)) {
                packet.pts += first;
                packet.dts += first;
                encoder.appendVideoPacket(packet);
                sound.feedThroughFrame(encoder, packet.dts);
            }
        } catch (const MoviePartError& why) {
            throw MoviePartError(prefix + file.string() + " " + why.what() + ".");
        }
    }
    sound.feedAll(encoder);
    encoder.finish();
    try {
        temporary.commit();
    } catch (const AtomicOutputError& error) {
        if (error.targetExists()) throw MovieRendererError::outputExists(location);
        throw MovieRendererError::writerFailed(error.what());
    }
    if (!options.keepParts) {
        for (const fs::path& file : files) {
            std::error_code ignored; // a part left behind does no harm
            fs::remove(file, ignored);
        }
    }
}

} // namespace drevik::MetalMovieRenderer
