// Writes the bundled demo show: Graphics.csv and Music.csv.
//
// The show is fully deterministic: the same program always writes the same bytes. It runs
// through thirteen scenes of six seconds, each a different kind of moving line drawing
// chosen so that the analysis lifts them into every volume family, and a soundtrack of
// four channels (lead, counter, bass, percussion) with a steady beat and accents.
//
// Usage: drevik-demo-generator OUTPUT_FOLDER
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSceneSeconds = 6.0;
constexpr int kSceneCount = 13;
constexpr double kDuration = kSceneSeconds * kSceneCount; // 78 s
constexpr int kFramesPerSecond = 30;
constexpr double kAspect = 16.0 / 9.0;

// Small, fast and reproducible pseudo-random numbers.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }

private:
    std::uint64_t state_;
};

struct Point {
    double x, y;
};
struct Segment {
    Point a, b;
};
using Frame = std::vector<Segment>;

double clamp01(double v) { return std::min(std::max(v, 0.0), 1.0); }
double smooth(double u) {
    u = clamp01(u);
    return u * u * (3 - 2 * u);
}

// Image coordinates from a point in aspect-corrected units around a centre.
Point place(double cx, double cy, double ax, double ay) { return {cx + ax / kAspect, cy + ay}; }

void addPolyline(Frame& frame, const std::vector<Point>& points, bool closed) {
    for (std::size_t i = 0; i + 1 < points.size(); ++i) frame.push_back({points[i], points[i + 1]});
    if (closed && points.size() > 2) frame.push_back({points.back(), points.front()});
}

// 0. Morphing polygons: three nested rings whose corner count drifts between 3 and 9.
Frame morphingPolygons(double u, double t) {
    Frame frame;
    for (int ring = 0; ring < 3; ++ring) {
        const double sides = 3 + 6 * smooth(std::fmod(u * 1.5 + ring * 0.33, 1.0));
        const int n = 36;
        std::vector<Point> points;
        const double radius = 0.12 + 0.09 * ring + 0.015 * std::sin(t * 3 + ring);
        for (int i = 0; i < n; ++i) {
            const double a = 2 * kPi * i / n + t * (0.4 - 0.25 * ring);
            // Distance to a regular polygon's edge gives straight sides that morph with `sides`.
            const double sector = 2 * kPi / sides;
            const double local = std::fmod(a + 100 * sector, sector) - sector / 2;
            const double r = radius * std::cos(sector / 2) / std::cos(local);
            points.push_back(place(0.5, 0.5, r * std::cos(a), r * std::sin(a)));
        }
        addPolyline(frame, points, true);
    }
    return frame;
}

// 1. A lattice whose nodes ripple: shared corners make junctions and closed cells.
Frame rippleLattice(double, double t) {
    Frame frame;
    const int columns = 14, rows = 10;
    auto node = [&](int i, int j) {
        const double x = (i - (columns - 1) / 2.0) * 0.085;
        const double y = (j - (rows - 1) / 2.0) * 0.075;
        const double d = std::sqrt(x * x + y * y);
        const double wave = 0.018 * std::sin(d * 18 - t * 4);
        return place(0.5, 0.5, x * (1 + wave * 4), y + wave);
    };
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            if (i + 1 < columns) frame.push_back({node(i, j), node(i + 1, j)});
            if (j + 1 < rows) frame.push_back({node(i, j), node(i, j + 1)});
        }
    return frame;
}

// 2. Radial spokes that breathe and turn.
Frame radialSpokes(double, double t) {
    Frame frame;
    const int n = 180;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * kPi * i / n + t * 0.3;
        const double inner = 0.06 + 0.02 * std::sin(t * 2 + i * 0.7);
        const double outer = 0.26 + 0.1 * std::sin(t * 1.7 + i * 0.21) * std::sin(t * 0.9);
        frame.push_back({place(0.5, 0.5, inner * std::cos(a), inner * std::sin(a)),
                         place(0.5, 0.5, outer * std::cos(a), outer * std::sin(a))});
    }
    return frame;
}

// 3. Strata: short horizontal dashes drifting sideways in layers.
Frame strata(double, double t) {
    Frame frame;
    Random random(31);
    for (int layer = 0; layer < 18; ++layer) {
        const double y = 0.1 + 0.8 * layer / 17.0;
        const double speed = (layer % 2 ? 1 : -1) * (0.02 + 0.01 * (layer % 5));
        for (int k = 0; k < 9; ++k) {
            const double length = random.range(0.02, 0.04);
            double x = std::fmod(random.uniform() + t * speed + 10, 1.0);
            x = 0.36 + 0.26 * x;
            const double wobble = 0.004 * std::sin(t * 3 + layer + k);
            frame.push_back({{x, y + wobble}, {x + length, y + wobble}});
        }
    }
    return frame;
}

// 4. A double spiral that winds and unwinds.
Frame spiral(double u, double t) {
    Frame frame;
    for (int arm = 0; arm < 2; ++arm) {
        std::vector<Point> points;
        const int n = 110;
        const double turns = 3.0 + 1.5 * std::sin(u * 2 * kPi);
        for (int i = 0; i <= n; ++i) {
            const double s = double(i) / n;
            const double a = arm * kPi + s * turns * 2 * kPi + t * 0.8;
            const double r = 0.02 + 0.36 * s;
            points.push_back(place(0.5, 0.5, r * std::cos(a), r * std::sin(a)));
        }
        addPolyline(frame, points, false);
    }
    return frame;
}

// 5. An equaliser: a long row of vertical bars dancing to the beat.
Frame equaliser(double, double t) {
    Frame frame;
    const int n = 150;
    for (int i = 0; i < n; ++i) {
        const double x = 0.06 + 0.88 * i / (n - 1);
        const double beat = std::pow(std::fabs(std::sin(t * kPi * 2)), 4.0);
        const double h = 0.02 + 0.06 * std::fabs(std::sin(i * 0.37 + t * 2.3)) + 0.04 * beat;
        frame.push_back({{x, 0.5 - h}, {x, 0.5 + h}});
    }
    return frame;
}

// 6. Diagonal hatching along a long band that twists.
Frame twistedHatching(double, double t) {
    Frame frame;
    const int n = 150;
    for (int i = 0; i < n; ++i) {
        const double x = 0.08 + 0.84 * i / (n - 1);
        const double y = 0.5 + 0.05 * std::sin(x * 9 + t * 1.5);
        const double d = 0.045;
        const double lean = (std::sin(t * 0.8 + x * 4) > 0) ? 1 : -1;
        frame.push_back({{x - d / kAspect, y - d * lean}, {x + d / kAspect, y + d * lean}});
    }
    return frame;
}

// 7. A hand-drawn figure: a wobbly star with a face, redrawn with a little tremor.
Frame handDrawnFigure(double, double t) {
    Frame frame;
    Random random(std::uint64_t(t * 10) + 7); // the tremor changes ten times a second
    auto jitter = [&](Point p) { return Point{p.x + random.range(-0.004, 0.004), p.y + random.range(-0.004, 0.004)}; };
    std::vector<Point> star;
    for (int i = 0; i < 10; ++i) {
        const double a = kPi / 2 + 2 * kPi * i / 10 + 0.1 * std::sin(t);
        const double r = (i % 2 ? 0.16 : 0.36);
        star.push_back(jitter(place(0.5, 0.5, r * std::cos(a), r * std::sin(a))));
    }
    addPolyline(frame, star, true);
    std::vector<Point> mouth;
    for (int i = 0; i <= 8; ++i) {
        const double a = kPi * (1.15 + 0.7 * i / 8.0);
        mouth.push_back(jitter(place(0.5, 0.5, 0.07 * std::cos(a), 0.01 + 0.07 * std::sin(a))));
    }
    addPolyline(frame, mouth, false);
    for (int eye = -1; eye <= 1; eye += 2) {
        const Point c = place(0.5, 0.54, eye * 0.045, 0);
        frame.push_back({jitter({c.x, c.y - 0.02}), jitter({c.x, c.y + 0.02})});
    }
    return frame;
}

// 8. A constellation: short strokes in every direction, drifting and turning.
Frame constellation(double, double t) {
    Frame frame;
    Random random(77);
    for (int i = 0; i < 220; ++i) {
        const double r = 0.38 * std::sqrt(random.uniform());
        const double a = random.range(0, 2 * kPi) + t * 0.05;
        const double spin = random.range(0, 2 * kPi) + t * random.range(-1.5, 1.5);
        const double len = random.range(0.015, 0.04);
        const Point c = place(0.5, 0.5, r * std::cos(a), r * std::sin(a));
        const Point d{len * std::cos(spin) / kAspect, len * std::sin(spin)};
        frame.push_back({{c.x - d.x, c.y - d.y}, {c.x + d.x, c.y + d.y}});
    }
    return frame;
}

// 9. Open boxes: window frames with a gap in every corner, rising like a building at night.
Frame openBoxes(double, double t) {
    Frame frame;
    const double gap = 0.006;
    for (int j = 0; j < 7; ++j)
        for (int i = 0; i < 8; ++i) {
            const double cx = 0.5 + (i - 3.5) * 0.045;
            const double cy = 0.5 + (j - 3) * 0.075 + 0.01 * std::sin(t * 2 + i);
            const double s = 0.028 * (0.8 + 0.2 * std::sin(t * 3 + i * j));
            const double w = s / kAspect, h = s;
            const double gx = gap / kAspect;
            frame.push_back({{cx - w + gx, cy - h}, {cx + w - gx, cy - h}});
            frame.push_back({{cx - w + gx, cy + h}, {cx + w - gx, cy + h}});
            frame.push_back({{cx - w, cy - h + gap}, {cx - w, cy + h - gap}});
            frame.push_back({{cx + w, cy - h + gap}, {cx + w, cy + h - gap}});
        }
    return frame;
}

// 10. A skyline: a city of towers whose roofs and floors are horizontal strokes.
Frame skyline(double, double t) {
    Frame frame;
    Random random(5);
    double x = 0.2;
    while (x < 0.8) {
        const double w = random.range(0.02, 0.05);
        const double height = random.range(0.1, 0.45) * (0.85 + 0.15 * std::sin(t * 1.3 + x * 20));
        const int floors = int(height / 0.02);
        for (int f = 0; f <= floors; ++f) {
            const double y = 0.25 + f * 0.02;
            frame.push_back({{x, y}, {x + w, y}});
        }
        x += w + 0.01;
    }
    return frame;
}

// 11. Lissajous ribbons: two curves that knot and unknot.
Frame lissajous(double u, double t) {
    Frame frame;
    for (int k = 0; k < 2; ++k) {
        std::vector<Point> points;
        const int n = 140;
        for (int i = 0; i <= n; ++i) {
            const double s = 2 * kPi * i / n;
            const double x = 0.4 * std::sin(3 * s + t * 0.7 + k);
            const double y = 0.3 * std::sin((2 + u) * s + k * 0.5);
            points.push_back(place(0.5, 0.5, x, y));
        }
        addPolyline(frame, points, false);
    }
    return frame;
}

// 12. Finale: a triangular lattice that folds in on itself.
Frame triangleLattice(double u, double t) {
    Frame frame;
    const int n = 9;
    auto node = [&](int i, int j) {
        const double x = (i + 0.5 * j - n * 0.75) * 0.075;
        const double y = (j - n / 2.0) * 0.065;
        const double fold = 1 - 0.25 * smooth(u * 1.4) * std::sin(t * 2 + i * 0.5);
        return place(0.5, 0.5, x * fold, y * fold);
    };
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            if (i + 1 < n) frame.push_back({node(i, j), node(i + 1, j)});
            if (j + 1 < n) frame.push_back({node(i, j), node(i, j + 1)});
            if (i + 1 < n && j + 1 < n) frame.push_back({node(i + 1, j), node(i, j + 1)});
        }
    return frame;
}

using SceneDrawing = std::function<Frame(double, double)>;

const std::array<SceneDrawing, kSceneCount>& scenes() {
    static const std::array<SceneDrawing, kSceneCount> all = {
        morphingPolygons, rippleLattice, radialSpokes, strata,     spiral,     equaliser,      twistedHatching,
        handDrawnFigure,  constellation, openBoxes,    skyline,    lissajous,  triangleLattice,
    };
    return all;
}

bool writeGraphics(const std::filesystem::path& path) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fprintf(out, "# Drevik demo show: thirteen scenes of six seconds\n");
    std::fprintf(out, "# duration_seconds=%.0f\n", kDuration);
    std::fprintf(out, "# scene_boundaries_seconds=");
    for (int s = 0; s <= kSceneCount; ++s) std::fprintf(out, "%s%.0f", s ? "," : "", s * kSceneSeconds);
    std::fprintf(out, "\ntime,x1,y1,x2,y2\n");
    const int frameCount = int(kDuration * kFramesPerSecond);
    for (int f = 0; f < frameCount; ++f) {
        const double seconds = double(f) / kFramesPerSecond;
        const int scene = std::min(int(seconds / kSceneSeconds), kSceneCount - 1);
        const double u = (seconds - scene * kSceneSeconds) / kSceneSeconds;
        // Times are written a hair early (never late), so that a frame meant to begin exactly at
        // a scene boundary is already on screen when that scene starts.
        const double time = std::max(std::floor((seconds / kDuration - 1e-9) * 1e8) / 1e8, 0.0);
        for (const Segment& s : scenes()[std::size_t(scene)](u, seconds))
            std::fprintf(out, "%.8f,%.5f,%.5f,%.5f,%.5f\n", time, clamp01(s.a.x), clamp01(s.a.y), clamp01(s.b.x),
                         clamp01(s.b.y));
    }
    return std::fclose(out) == 0;
}

// ---- Soundtrack ---------------------------------------------------------------------------

struct Event {
    double seconds;
    int channel;
    double value;
};

constexpr double kBeat = 0.5; // 120 beats per minute

// A square wave of the given frequency and amplitude between two times: the channel swings
// around its rest value 0.5 and returns to rest at the end.
void squareTone(std::vector<Event>& events, int channel, double start, double end, double frequency,
                double amplitude, double decay) {
    const double half = 0.5 / frequency;
    int k = 0;
    for (double t = start; t < end; t += half, ++k) {
        const double envelope = std::exp(-(t - start) * decay);
        const double swing = amplitude * envelope * (k % 2 ? -1 : 1);
        events.push_back({t, channel, 0.5 + swing / 2});
    }
    events.push_back({end, channel, 0.5});
}

void noiseBurst(std::vector<Event>& events, Random& random, int channel, double start, double length,
                double amplitude) {
    for (double t = start; t < start + length; t += 1.0 / 4000) {
        const double envelope = std::exp(-(t - start) * 40);
        events.push_back({t, channel, 0.5 + amplitude * envelope * random.range(-0.5, 0.5)});
    }
    events.push_back({start + length, channel, 0.5});
}

double noteFrequency(int semitonesFromA3) { return 220.0 * std::pow(2.0, semitonesFromA3 / 12.0); }

bool writeMusic(const std::filesystem::path& path) {
    std::vector<Event> events;
    Random random(2024);
    const std::array<int, 8> melody = {0, 3, 7, 10, 12, 10, 7, 5};
    const std::array<int, 4> bassLine = {-24, -21, -17, -19};
    const int beats = int(kDuration / kBeat);
    for (int b = 0; b < beats; ++b) {
        const double t = b * kBeat;
        const int bar = b / 4;
        const int scene = int(t / kSceneSeconds);
        // Lead: two notes a beat, louder on the first beat of every bar.
        for (int h = 0; h < 2; ++h) {
            const int note = melody[std::size_t((b * 2 + h + scene) % 8)] + (bar % 4 == 3 ? 12 : 0);
            const double amplitude = (b % 4 == 0 && h == 0) ? 0.34 : 0.22;
            squareTone(events, 0, t + h * kBeat / 2, t + h * kBeat / 2 + kBeat * 0.42, noteFrequency(note),
                       amplitude, 4.0);
        }
        // Counter: a long, soft note every second bar.
        if (b % 8 == 0)
            squareTone(events, 1, t, t + kBeat * 7.5, noteFrequency(melody[std::size_t(bar % 8)] - 5), 0.16, 0.4);
        // Bass: on beats one and three.
        if (b % 2 == 0)
            squareTone(events, 2, t, t + kBeat * 0.9, noteFrequency(bassLine[std::size_t(bar % 4)]), 0.3, 2.5);
        // Percussion: every beat, accented on one, with an off-beat hat in the busier scenes.
        noiseBurst(events, random, 3, t, 0.09, b % 4 == 0 ? 0.8 : 0.45);
        if (scene % 3 != 0) noiseBurst(events, random, 3, t + kBeat / 2, 0.03, 0.25);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.seconds < b.seconds; });

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fprintf(out, "# Drevik demo soundtrack: lead, counter, bass and percussion at 120 beats per minute\n");
    std::fprintf(out, "# duration_seconds=%.0f\n", kDuration);
    std::fprintf(out, "time,lead,counter,bass,percussion\n");
    for (const Event& e : events) {
        if (e.seconds >= kDuration) continue;
        std::fprintf(out, "%.9f", e.seconds / kDuration);
        for (int c = 0; c < 4; ++c) {
            if (c == e.channel)
                std::fprintf(out, ",%.4f", clamp01(e.value));
            else
                std::fputs(",", out);
        }
        std::fputc('\n', out);
    }
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 1;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!writeGraphics(folder / "Graphics.csv") || !writeMusic(folder / "Music.csv")) {
        std::fprintf(stderr, "drevik-demo-generator: could not write the demo show into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
