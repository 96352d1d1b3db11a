#pragma once
// A movie rendered in parts: part K of N holds a contiguous run of whole groups of pictures (one
// key frame each, 2 × fps frames), video only, in a file beside the movie that records what it is
// (frame range, movie, encoder settings, inputs). Parts can be rendered anywhere that sees the
// movie's folder; part 0 also encodes the whole soundtrack once into a file of its own; the join
// checks them all and copies their packets, in order, into the movie, encoding nothing.
#include "platform/error.hpp"
#include "core/music_timeline.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_export.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace drevik::MetalMovieRenderer {

// Most parts a movie can be split into.
inline constexpr std::int64_t maximumParts = 100'000;

// A part, or the join, that cannot go ahead: the message names the file and says why.
class MoviePartError : public Error {
public:
    using Error::Error;
};

// The frames of part `part` of `parts`: whole groups of 2 × fps frames (the last group of the
// movie may be shorter), the groups shared out as evenly as they allow. Empty when there are
// more parts than groups.
FrameRange partFrames(const MoviePlan& plan, std::int64_t part, std::int64_t parts);

// "<movie>.part-03-of-16.mp4": the numbers with as many digits as parts − 1 needs, two at least.
std::filesystem::path partLocation(const std::filesystem::path& movie, std::int64_t part, std::int64_t parts);

// The SHA-256 of a file's bytes as 64 lower-case hex digits. Throws MoviePartError when it cannot be read.
std::string fileHash(const std::filesystem::path& file);

// What a part file records about itself, and what the join checks.
struct PartFacts {
    std::int64_t part = 0;
    std::int64_t parts = 0;
    FrameRange frames;
    std::int64_t movieFrameCount = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    double durationSeconds = 0;
    std::string encoderSettings; // describeEncoderSettings of the part's encoder
    std::string graphicsHash;    // fileHash of Graphics.csv
    std::string musicHash;       // fileHash of Music.csv

    // One line for the file's comment tag, and back; nullopt for anything else.
    std::string toTag() const;
    static std::optional<PartFacts> fromTag(const std::string& tag);

    friend bool operator==(const PartFacts&, const PartFacts&) = default;
};

// The facts a part of this plan would record (encoderSettings left empty: it depends on the encoder
// that opens).
PartFacts expectedPartFacts(const MoviePlan& plan, std::int64_t part, std::int64_t parts,
                            const std::string& graphicsHash, const std::string& musicHash);

// A part file opened for reading. open() fails with MoviePartError when the file is not a complete
// part of a Drevik movie (unreadable, untagged, other streams, data cut off).
class PartReader {
public:
    // Where a Matroska part, which indexes only its key frames, is counted to the end: at once
    // (reading it through before the first packet), or while its packets are read, once, by a
    // reader that takes them all (next() then fails at the end of an incomplete part).
    enum class Counting { atOpen, whileReading };
    static PartReader open(const std::filesystem::path& file, Counting counting = Counting::atOpen);
    ~PartReader();
    PartReader(PartReader&&) noexcept;
    PartReader& operator=(PartReader&&) noexcept;

    const PartFacts& facts() const;
    const VideoStreamParameters& parameters() const;
    // The next packet in decoding order, times in frames from the part's start; false at the end.
    bool next(EncodedVideoPacket& packet);

private:
    struct State;
    explicit PartReader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// Why an existing part file cannot stand for part `expected`, or nullopt when it can.
std::optional<std::string> partMismatch(const PartFacts& found, const PartFacts& expected);

// "<movie>.soundtrack": the whole soundtrack, encoded once by part 0, which the join copies.
std::filesystem::path soundtrackLocation(const std::filesystem::path& movie);

// The facts the soundtrack of a movie of this plan in `parts` parts records: part 0, every frame, and
// the audio encoder's settings in place of the video encoder's.
PartFacts expectedSoundtrackFacts(const MoviePlan& plan, std::int64_t parts, const OutputFormat& format,
                                  const std::string& graphicsHash, const std::string& musicHash);

// Encodes the movie's whole soundtrack, as the one-process export encodes it, into the file at
// location through an AtomicFile: the facts, then the encoder's packets as it gave them. False,
// leaving it as it is, when a complete soundtrack with these facts is there already; one that is
// not is refused with MoviePartError.
bool writeSoundtrack(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                     const PartFacts& facts, const OutputFormat& format);

// What a part run did.
enum class PartOutcome { written, alreadyComplete, empty };

struct JoinOptions {
    bool keepParts = false;        // leave the part files once the movie is in place
    bool allowHardwareEncoder = true;
    OutputFormat format;           // the movie's codec, container, quality, preset and alpha
};

// Checks that the `parts` parts of the movie at location are all there, complete and made from the
// same inputs and settings (expected: expectedPartFacts of part 0, whose part number is ignored),
// and that part 0's soundtrack is there, complete and of the same movie, then writes the movie
// through an AtomicFile: their video packets in order and the soundtrack's packets beside them, so
// the sound is byte for byte the one-process export's (the music is not read again). Each part is
// opened and read once. The parts and the soundtrack are removed once the movie is in place.
// MoviePartError names the first part that fails a check; nothing is written and nothing removed.
void joinParts(const std::filesystem::path& location, const MoviePlan& plan, std::int64_t parts,
               const MusicTimeline& music, const PartFacts& expected, const JoinOptions& options = {});

} // namespace drevik::MetalMovieRenderer
