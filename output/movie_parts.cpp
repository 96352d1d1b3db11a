#include "output/movie_parts.hpp"

#include "platform/atomic_output.hpp"
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
#include <deque>
#include <fstream>
#include <iterator>
#include <string_view>
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
    // Counted while reading: the packets read ahead to learn the reorder delay, and whether the count
    // is still to be checked at the end.
    std::deque<std::unique_ptr<AVPacket, PacketFreer>> readAhead;
    bool countAtEnd = false;
    std::int64_t expectedPackets = 0;
};

PartReader::PartReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
PartReader::~PartReader() = default;
PartReader::PartReader(PartReader&&) noexcept = default;
PartReader& PartReader::operator=(PartReader&&) noexcept = default;

const PartFacts& PartReader::facts() const { return state_->facts; }
const VideoStreamParameters& PartReader::parameters() const { return state_->parameters; }

PartReader PartReader::open(const fs::path& file, Counting counting) {
    auto state = std::make_unique<State>();
    AVFormatContext* raw = nullptr;
    if (const int status = avformat_open_input(&raw, file.c_str(), nullptr, nullptr); status < 0) {
        char reason[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(status, reason, sizeof reason);
        throw MoviePartError(std::string("is not a readable movie file (") + reason + ")");
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
    const bool matroska = std::string_view(format->iformat->name).find("matroska") != std::string_view::npos;
    if (matroska && counting == Counting::whileReading) {
        entries = facts->frames.count(); // checked at the end of reading
        end = fileSize;
        state->remakeDecodingTimes = true;
        state->countAtEnd = true;
        state->expectedPackets = entries;
    } else if (matroska) {
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
    if (state->countAtEnd && facts->framesPerSecond > 0) {
        // The reorder delay from the packets of the first group of pictures, read ahead: the encoder
        // holds back the same number of pictures in every group.
        const AVRational frames{1, static_cast<int>(facts->framesPerSecond)};
        const std::int64_t group = 2 * facts->framesPerSecond;
        while (static_cast<std::int64_t>(state->readAhead.size()) < group) {
            std::unique_ptr<AVPacket, PacketFreer> ahead(av_packet_alloc());
            if (!ahead) throw std::bad_alloc();
            const int status = av_read_frame(format, ahead.get());
            if (status == AVERROR_EOF) break;
            if (status < 0 || (ahead->flags & AV_PKT_FLAG_CORRUPT) != 0 || ahead->pts == AV_NOPTS_VALUE) {
                throw MoviePartError("cannot be read to the end");
            }
            const std::int64_t pts = av_rescale_q(ahead->pts, state->timeBase, frames);
            state->reorderDelay = std::max(state->reorderDelay, static_cast<std::int64_t>(state->readAhead.size()) - pts);
            state->readAhead.push_back(std::move(ahead));
        }
    }
    return PartReader(std::move(state));
}

bool PartReader::next(EncodedVideoPacket& packet) {
    State& s = *state_;
    av_packet_unref(s.packet.get());
    int status = 0;
    if (!s.readAhead.empty()) {
        av_packet_move_ref(s.packet.get(), s.readAhead.front().get());
        s.readAhead.pop_front();
    } else {
        status = av_read_frame(s.format.get(), s.packet.get());
    }
    if (status == AVERROR_EOF) {
        if (s.countAtEnd && s.packetsRead != s.expectedPackets) {
            throw MoviePartError("is incomplete (" + std::to_string(s.packetsRead) + " frames of " +
                                 std::to_string(s.expectedPackets) + ")");
        }
        return false;
    }
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

// ---- The soundtrack ----------------------------------------------------------------------------

namespace {

constexpr std::string_view soundtrackMark = "drevik-soundtrack=1\n";
constexpr std::uint32_t soundtrackEnd = 0xFFFFFFFFu;

struct Soundtrack {
    PartFacts facts;
    std::vector<EncodedAudioPacket> packets;
};

template <class T>
void putRaw(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
bool getRaw(std::string_view& in, T& value) {
    if (in.size() < sizeof value) return false;
    std::memcpy(&value, in.data(), sizeof value);
    in.remove_prefix(sizeof value);
    return true;
}

std::string audioSettings(const MoviePlan& plan, const OutputFormat& format) {
    return std::string("audio ") + (format.container == Container::webm ? "libopus" : "aac") +
           " rate=" + std::to_string(plan.sampleRate) + " samples=" + std::to_string(plan.audioSampleCount);
}

// The whole file, checked: the mark, the facts, every packet and the end record with their count.
Soundtrack readSoundtrack(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw MoviePartError(std::string("cannot be read: ") + std::strerror(errno));
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw MoviePartError("cannot be read to the end");
    std::string_view rest(bytes);
    if (!rest.starts_with(soundtrackMark)) throw MoviePartError("is not the soundtrack of a Drevik movie");
    rest.remove_prefix(soundtrackMark.size());
    const std::size_t lineEnd = rest.find('\n');
    const auto facts = lineEnd == std::string_view::npos ? std::nullopt : PartFacts::fromTag(std::string(rest.substr(0, lineEnd)));
    if (!facts) throw MoviePartError("is not the soundtrack of a Drevik movie");
    rest.remove_prefix(lineEnd + 1);
    Soundtrack soundtrack{*facts, {}};
    const auto incomplete = [&] {
        return MoviePartError("is incomplete (" + std::to_string(soundtrack.packets.size()) + " packets, then " +
                              std::to_string(rest.size()) + " bytes that end short)");
    };
    for (;;) {
        std::uint32_t size = 0;
        if (!getRaw(rest, size)) throw incomplete();
        if (size == soundtrackEnd) {
            std::uint64_t count = 0;
            if (!getRaw(rest, count) || count != soundtrack.packets.size() || !rest.empty()) throw incomplete();
            return soundtrack;
        }
        EncodedAudioPacket packet;
        std::uint32_t sides = 0;
        std::int32_t flags = 0;
        if (!getRaw(rest, packet.pts) || !getRaw(rest, packet.dts) || !getRaw(rest, packet.duration) ||
            !getRaw(rest, flags) || !getRaw(rest, sides)) {
            throw incomplete();
        }
        packet.flags = flags;
        for (std::uint32_t k = 0; k < sides; ++k) {
            std::int32_t type = 0;
            std::uint32_t length = 0;
            if (!getRaw(rest, type) || !getRaw(rest, length) || rest.size() < length) throw incomplete();
            packet.sideData.emplace_back(type, std::vector<std::uint8_t>(rest.begin(), rest.begin() + length));
            rest.remove_prefix(length);
        }
        if (rest.size() < size) throw incomplete();
        packet.data.assign(rest.begin(), rest.begin() + size);
        rest.remove_prefix(size);
        soundtrack.packets.push_back(std::move(packet));
    }
}

} // namespace

fs::path soundtrackLocation(const fs::path& movie) {
    fs::path location = movie;
    location += ".soundtrack";
    return location;
}

PartFacts expectedSoundtrackFacts(const MoviePlan& plan, std::int64_t parts, const OutputFormat& format,
                                  const std::string& graphicsHash, const std::string& musicHash) {
    PartFacts facts = expectedPartFacts(plan, 0, parts, graphicsHash, musicHash);
    facts.frames = {0, plan.frameCount};
    facts.encoderSettings = audioSettings(plan, format);
    return facts;
}

bool writeSoundtrack(const fs::path& location, const MoviePlan& plan, const MusicTimeline& music,
                     const PartFacts& facts, const OutputFormat& format) {
    const auto requireSame = [&] {
        try {
            const Soundtrack existing = readSoundtrack(location);
            if (const auto why = partMismatch(existing.facts, facts)) throw MoviePartError(*why);
        } catch (const MoviePartError& why) {
            throw MoviePartError("The soundtrack " + location.string() + " already exists and " + why.what() +
                                 "; remove it to encode it again.");
        }
    };
    if (outputLocationTaken(location)) {
        requireSame();
        return false;
    }
    std::string bytes(soundtrackMark);
    bytes += facts.toTag() + "\n";
    std::uint64_t count = 0;
    {
        MovieEncoderSettings settings = movieEncoderSettings(plan, true, format);
        settings.audioChannels = music.playbackChannels;
        MovieContainerOptions container;
        container.video = false;
        container.audioPackets = [&](const EncodedAudioPacket& packet) {
            putRaw(bytes, static_cast<std::uint32_t>(packet.data.size()));
            putRaw(bytes, packet.pts);
            putRaw(bytes, packet.dts);
            putRaw(bytes, packet.duration);
            putRaw(bytes, static_cast<std::int32_t>(packet.flags));
            putRaw(bytes, static_cast<std::uint32_t>(packet.sideData.size()));
            for (const auto& [type, side] : packet.sideData) {
                putRaw(bytes, static_cast<std::int32_t>(type));
                putRaw(bytes, static_cast<std::uint32_t>(side.size()));
                bytes.append(side.begin(), side.end());
            }
            bytes.append(packet.data.begin(), packet.data.end());
            ++count;
        };
        MovieEncoder encoder(location, settings, container);
        SoundtrackFeeder feeder(music, plan.audioSampleCount, plan.sampleRate, plan.framesPerSecond);
        feeder.feedAll([&](std::span<const float> samples) { encoder.appendAudio(samples); });
        encoder.finish();
    }
    putRaw(bytes, soundtrackEnd);
    putRaw(bytes, count);
    try {
        AtomicFile file(location);
        std::FILE* stream = file.stream();
        if (stream == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) {
            throw MovieRendererError::writerFailed("cannot write " + location.string() + ": " + std::strerror(errno));
        }
        file.commit();
    } catch (const AtomicOutputError& error) {
        if (!error.targetExists()) throwOutputFailure(error, location, "the soundtrack");
        requireSame(); // another run of part 0 finished first
        return false;
    }
    return true;
}

// ---- The join ----------------------------------------------------------------------------------

namespace {

bool sameHeaders(const AVCodecParameters& a, const AVCodecParameters& b) {
    return a.width == b.width && a.height == b.height && a.profile == b.profile && a.level == b.level &&
           a.extradata_size == b.extradata_size &&
           (a.extradata_size == 0 || std::memcmp(a.extradata, b.extradata, static_cast<std::size_t>(a.extradata_size)) == 0);
}

} // namespace

void joinParts(const fs::path& location, const MoviePlan& plan, std::int64_t parts, const MusicTimeline& music,
               const PartFacts& expected, const JoinOptions& options) {
    requireFreeLocation(location);
    const std::string prefix = "Cannot join " + location.string() + ": ";

    // Every check before anything is written; each part is opened once and read once, below.
    std::vector<std::pair<fs::path, PartReader>> readers;
    std::string encoderSettings;
    VideoStreamParameters parameters;
    MovieEncoderSettings settings = movieEncoderSettings(plan, options.allowHardwareEncoder, options.format);
    settings.audioChannels = music.playbackChannels;
    const auto missing = [&](const fs::path& file, const std::string& what) {
        std::error_code error;
        if (!fs::is_regular_file(file, error)) throw MoviePartError(prefix + file.string() + " is missing (" + what + ").");
    };
    const fs::path soundtrackFile = soundtrackLocation(location);
    missing(soundtrackFile, "the soundtrack, which part 0 encodes");
    Soundtrack soundtrack;
    try {
        PartFacts wanted = expected;
        wanted.part = 0;
        wanted.parts = parts;
        wanted.frames = {0, plan.frameCount};
        wanted.encoderSettings = audioSettings(plan, options.format);
        soundtrack = readSoundtrack(soundtrackFile);
        if (const auto why = partMismatch(soundtrack.facts, wanted)) throw MoviePartError(*why);
    } catch (const MoviePartError& why) {
        throw MoviePartError(prefix + soundtrackFile.string() + " " + why.what() + ".");
    }
    for (std::int64_t k = 0; k < parts; ++k) {
        PartFacts wanted = expected;
        wanted.part = k;
        wanted.parts = parts;
        wanted.frames = partFrames(plan, k, parts);
        wanted.encoderSettings = encoderSettings;
        if (wanted.frames.count() == 0) continue; // nothing to render, no file
        const fs::path file = partLocation(location, k, parts);
        missing(file, "part " + std::to_string(k) + " of " + std::to_string(parts));
        try {
            PartReader reader = PartReader::open(file, PartReader::Counting::whileReading);
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
            readers.emplace_back(file, std::move(reader));
        } catch (const MoviePartError& why) {
            throw MoviePartError(prefix + file.string() + " " + why.what() + ".");
        }
    }

    AtomicFile temporary = openAtomicFile(location);
    MovieContainerOptions container;
    container.copiedVideo = parameters;
    container.copiedAudio = true;
    MovieEncoder encoder(temporary.path(), settings, container);
    // The soundtrack's packets go in beside the pictures of the same time, as the export feeds them.
    std::size_t nextAudio = 0;
    const auto audioThroughFrame = [&](std::int64_t frame) {
        const std::int64_t until = frame < 0 ? 0 : ((frame + 1) * plan.sampleRate + plan.framesPerSecond - 1) / plan.framesPerSecond;
        while (nextAudio < soundtrack.packets.size() && soundtrack.packets[nextAudio].dts < until) {
            encoder.appendAudioPacket(soundtrack.packets[nextAudio++]);
        }
    };
    EncodedVideoPacket packet;
    for (auto& [file, reader] : readers) {
        try {
            const std::int64_t first = reader.facts().frames.first;
            while (reader.next(packet)) {
                packet.pts += first;
                packet.dts += first;
                encoder.appendVideoPacket(packet);
                audioThroughFrame(packet.dts);
            }
        } catch (const MoviePartError& why) {
            throw MoviePartError(prefix + file.string() + " " + why.what() + ".");
        }
    }
    while (nextAudio < soundtrack.packets.size()) encoder.appendAudioPacket(soundtrack.packets[nextAudio++]);
    encoder.finish();
    commitAtomicFile(temporary, location, "the finished movie");
    if (!options.keepParts) {
        std::error_code ignored; // a part left behind does no harm
        for (const auto& entry : readers) fs::remove(entry.first, ignored);
        fs::remove(soundtrackFile, ignored);
    }
}

} // namespace drevik::MetalMovieRenderer
