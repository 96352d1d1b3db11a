// The readers allocate per file, never per line or per sample: reading ten times as many rows
// costs only the few extra allocations of arrays that grow.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<long> allocations{0};

} // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace drevik {
namespace {

template <class Reading>
long allocationsOf(Reading&& reading) {
    const long before = allocations.load();
    reading();
    return allocations.load() - before;
}

std::string graphicsRows(int rows) {
    std::string text = "# duration_seconds=60\ntime,x1,y1,x2,y2\n";
    for (int row = 0; row < rows; ++row) {
        text += "0." + std::to_string(100000 + row / 3) + ", 0.25,0.5,0.75,1\r\n";
        if (row % 50 == 49) {
            text += "0." + std::to_string(100000 + row / 3) + ",,,,\n# note\n\n";
        }
    }
    return text;
}

std::string musicRows(int rows) {
    std::string text = "# duration_seconds=60\ntime,a,b,c,d,e\n";
    for (int row = 0; row < rows; ++row) {
        text += "0." + std::to_string(100000 + row) + ",0.25,, 0.5 ,1,0\n";
    }
    return text;
}

TEST(ReaderAllocations, DoNotGrowWithTheNumberOfRows) {
    const std::string fewGraphics = graphicsRows(1000);
    const std::string manyGraphics = graphicsRows(10000);
    const long few = allocationsOf([&] { GraphicsTimeline::fromCsvData(fewGraphics, "Graphics.csv"); });
    const long many = allocationsOf([&] { GraphicsTimeline::fromCsvData(manyGraphics, "Graphics.csv"); });
    EXPECT_LE(many - few, 8) << few << " then " << many;

    const std::string fewMusic = musicRows(1000);
    const std::string manyMusic = musicRows(10000);
    const long fewM = allocationsOf([&] { MusicTimeline::fromCsvData(fewMusic, "Music.csv", 48000, 120); });
    const long manyM = allocationsOf([&] { MusicTimeline::fromCsvData(manyMusic, "Music.csv", 48000, 120); });
    EXPECT_EQ(manyM, fewM) << fewM << " then " << manyM;
}

} // namespace
} // namespace drevik
