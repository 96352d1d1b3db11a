#pragma once
// Test helpers: read an MP4 back with ffprobe (JSON) and ffmpeg.
#include "tests/support/process.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace drevik::testing {

// A one-second show of four lines, as Graphics.csv and Music.csv in folder.
inline void writeFourLineShow(const std::filesystem::path& folder) {
    std::ofstream(folder / "Graphics.csv") << "# duration_seconds=1\n"
                                              "time,x1,y1,x2,y2\n"
                                              "0,0.1,0.1,0.9,0.9\n"
                                              "0,0.1,0.9,0.9,0.1\n"
                                              "0.5,0,0,1,1\n"
                                              "0.5,0.5,0,0.5,1\n";
    std::ofstream(folder / "Music.csv") << "# duration_seconds=1\n"
                                           "time,lead,bass\n"
                                           "0,1,0.5\n"
                                           "0.5,,0.2\n";
}

// The flat "key": value pairs of one JSON object (nested objects such as tags are skipped).
using ProbeFields = std::map<std::string, std::string>;

inline ProbeFields parseFlatObject(const std::string& json, std::size_t& at) {
    ProbeFields fields;
    int depth = 0;
    for (; at < json.size(); ++at) {
        const char c = json[at];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) {
                ++at;
                break;
            }
        } else if (c == '"' && depth == 1) {
            const std::size_t keyEnd = json.find('"', at + 1);
            const std::string key = json.substr(at + 1, keyEnd - at - 1);
            std::size_t value = json.find_first_not_of(" :", keyEnd + 1);
            if (json[value] == '"') {
                const std::size_t valueEnd = json.find('"', value + 1);
                fields[key] = json.substr(value + 1, valueEnd - value - 1);
                at = valueEnd;
            } else if (json[value] == '{' || json[value] == '[') {
                at = value - 1; // nested: skipped through the depth count
            } else {
                const std::size_t valueEnd = json.find_first_of(",}\n", value);
                fields[key] = json.substr(value, valueEnd - value);
                at = valueEnd - 1;
            }
        }
    }
    return fields;
}

struct Probe {
    std::vector<ProbeFields> streams;
    ProbeFields format;
};

inline Probe probeMovie(const std::filesystem::path& file) {
    const std::string json =
        runCommand("ffprobe -v error -count_frames -show_streams -show_format -of json " + quoted(file));
    Probe probe;
    std::size_t at = json.find("\"streams\"");
    while (at != std::string::npos) {
        const std::size_t open = json.find('{', at);
        const std::size_t formatKey = json.find("\"format\"", at);
        if (open == std::string::npos || (formatKey != std::string::npos && open > formatKey)) {
            break;
        }
        at = open;
        probe.streams.push_back(parseFlatObject(json, at));
    }
    if (const std::size_t formatKey = json.find("\"format\""); formatKey != std::string::npos) {
        std::size_t open = json.find('{', formatKey);
        probe.format = parseFlatObject(json, open);
    }
    return probe;
}

} // namespace drevik::testing
