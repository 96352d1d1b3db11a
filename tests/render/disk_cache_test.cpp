// The warm-start cache: the key → bytes store and its checks, the compiled modules and the driver's
// pipeline cache kept by a device, and the folder the program chooses.
#include "app/cache_folder.hpp"
#include "render/gpu/disk_cache.hpp"
#include "render/gpu/pipeline_cache.hpp"
#include "render/gpu/vulkan_internal.hpp"
#include "render/scene_renderer.hpp"
#include "render/shader_source.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct TemporaryFolder : testing::TemporaryFolder {
    TemporaryFolder() : testing::TemporaryFolder("drevik-cache-test") {}
};

Bytes readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(stream), {});
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
    return bytes;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    return files;
}

// ---------------------------------------------------------------------------------------------------
// The store

TEST(DiskCacheTest, GivesBackWhatWasStoredUnderTheSameKeyOnly) {
    TemporaryFolder folder;
    const gpu::DiskCache cache(folder.path() / "nested" / "drevik");
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
    const Bytes payload = pattern(1000, 3);
    ASSERT_TRUE(cache.store("spirv", "key", payload));
    EXPECT_EQ(cache.load("spirv", "key"), payload);
    EXPECT_FALSE(cache.load("spirv", "other key").has_value());
    EXPECT_FALSE(cache.load("pipelines", "key").has_value());
    ASSERT_TRUE(cache.store("spirv", "key", Bytes{}));   // an empty payload is a payload
    EXPECT_EQ(cache.load("spirv", "key"), Bytes{});
    // Only the entry itself is left in the folder: no temporary files.
    EXPECT_EQ(filesIn(cache.folder()), std::vector<fs::path>{cache.entryPath("spirv", "key")});
}

TEST(DiskCacheTest, AStoreWithoutAFolderKeepsNothing) {
    const gpu::DiskCache cache{fs::path()};
    EXPECT_FALSE(cache.enabled());
    EXPECT_FALSE(cache.store("spirv", "key", pattern(10, 1)));
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
}

TEST(DiskCacheTest, AnEntryWhoseFileNameMatchesButWhoseKeyDiffersIsNotTrusted) {
    TemporaryFolder folder;
    const gpu::DiskCache cache(folder.path());
    ASSERT_TRUE(cache.store("spirv", "first", pattern(64, 1)));
    // Another key's valid file put where "second" is looked for, as a hash collision would.
    fs::copy_file(cache.entryPath("spirv", "first"), cache.entryPath("spirv", "second"));
    EXPECT_FALSE(cache.load("spirv", "second").has_value());
}

TEST(DiskCacheTest, DamagedFilesAreIgnoredAndRewritten) {
    TemporaryFolder folder;
    const gpu::DiskCache cache(folder.path());
    const Bytes payload = pattern(300, 9);
    ASSERT_TRUE(cache.store("spirv", "the key", payload));
    const fs::path file = cache.entryPath("spirv", "the key");
    const Bytes good = readFile(file);

    std::vector<Bytes> damaged;
    for (std::size_t length : {std::size_t{0}, std::size_t{7}, std::size_t{39}, std::size_t{40}, good.size() - 1}) {
        damaged.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    }
    Bytes longer = good;
    longer.push_back(0);
    damaged.push_back(longer);
    // One flipped bit anywhere: magic, version, lengths, checksum, key, payload.
    for (std::size_t at = 0; at < good.size(); at += 5) {
        Bytes flipped = good;
        flipped[at] ^= 0x10;
        damaged.push_back(flipped);
    }
    for (const Bytes& bytes : damaged) {
        writeFile(file, bytes);
        EXPECT_FALSE(cache.load("spirv", "the key").has_value()) << bytes.size() << " bytes";
        ASSERT_TRUE(cache.store("spirv", "the key", payload));
        EXPECT_EQ(cache.load("spirv", "the key"), payload);
    }
    // Not a file at all.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(cache.load("spirv", "the key").has_value());
}

TEST(DiskCacheTest, AnUnwritableFolderOnlyLosesTheCache) {
    TemporaryFolder folder;
    writeFile(folder.path() / "a file", pattern(4, 0));
    // A folder inside a regular file can never be made, whoever runs the test.
    const gpu::DiskCache cache(folder.path() / "a file" / "drevik");
    EXPECT_FALSE(cache.store("spirv", "key", pattern(10, 1)));
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
    EXPECT_FALSE(gpu::replaceFileAtomically(folder.path() / "a file" / "target", pattern(4, 0)));
}

TEST(DiskCacheTest, ProcessesWritingTheSameEntryAtOnceLeaveOneWholeFile) {
    TemporaryFolder folder;
    const gpu::DiskCache cache(folder.path());
    // Large payloads, so that a reader would catch a half-written file if there could be one.
    const std::vector<Bytes> payloads = {pattern(600000, 1), pattern(900000, 2), pattern(700000, 3)};
    std::vector<pid_t> writers;
    for (std::size_t w = 0; w < payloads.size(); ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int round = 0; round < 15; ++round) ok = cache.store("spirv", "shared", payloads[w]) && ok;
            ::_exit(ok ? 0 : 1);
        }
        writers.push_back(pid);
    }
    int reads = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (auto payload = cache.load("spirv", "shared")) {
            ++reads;
            EXPECT_NE(std::find(payloads.begin(), payloads.end(), *payload), payloads.end());
        }
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto last = cache.load("spirv", "shared");
    ASSERT_TRUE(last.has_value());
    EXPECT_NE(std::find(payloads.begin(), payloads.end(), *last), payloads.end());
    EXPECT_EQ(filesIn(folder.path()).size(), 1u);   // no temporary file left behind
    RecordProperty("reads while writing", reads);
}

TEST(CacheFolderTest, FollowsTheUsersCacheHome) {
    EXPECT_EQ(cacheFolderFor("/var/cache/me", "/home/me"), fs::path("/var/cache/me/drevik"));
    EXPECT_EQ(cacheFolderFor("relative/cache", "/home/me"), fs::path("/home/me/.cache/drevik"));
    EXPECT_EQ(cacheFolderFor("", "/home/me/"), fs::path("/home/me/.cache/drevik"));
    EXPECT_EQ(cacheFolderFor(nullptr, "/home/me"), fs::path("/home/me/.cache/drevik"));
    EXPECT_EQ(cacheFolderFor(nullptr, nullptr), fs::path());
    EXPECT_EQ(cacheFolderFor(nullptr, "home"), fs::path());
}

TEST(PipelineCacheHeaderTest, AcceptsOnlyThisDevicesVersionOneHeader) {
    VkPhysicalDeviceProperties properties{};
    properties.vendorID = 0x10005;
    properties.deviceID = 0x42;
    for (std::uint8_t i = 0; i < VK_UUID_SIZE; ++i) properties.pipelineCacheUUID[i] = i;
    auto header = [&](std::uint32_t length, std::uint32_t version, std::uint32_t vendor, std::uint32_t device) {
        Bytes bytes(48, 0);
        std::memcpy(bytes.data(), &length, 4);
        std::memcpy(bytes.data() + 4, &version, 4);
        std::memcpy(bytes.data() + 8, &vendor, 4);
        std::memcpy(bytes.data() + 12, &device, 4);
        std::memcpy(bytes.data() + 16, properties.pipelineCacheUUID, VK_UUID_SIZE);
        return bytes;
    };
    EXPECT_TRUE(gpu::vk::pipelineCacheHeaderMatches(header(32, 1, 0x10005, 0x42), properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(header(32, 2, 0x10005, 0x42), properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(header(32, 1, 0x10de, 0x42), properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(header(32, 1, 0x10005, 0x43), properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(header(16, 1, 0x10005, 0x42), properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(header(64, 1, 0x10005, 0x42), properties));
    Bytes otherUuid = header(32, 1, 0x10005, 0x42);
    otherUuid[20] ^= 1;
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(otherUuid, properties));
    EXPECT_FALSE(gpu::vk::pipelineCacheHeaderMatches(Bytes(31, 0), properties));
}

// ---------------------------------------------------------------------------------------------------
// A device with a cache folder

GraphicsTimeline crossedLines() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 20;
    for (int f = 0; f < 6; ++f) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        const float d = 0.02f * static_cast<float>(f);
        timeline.segments.push_back(PackedLine::make(0.2f + d, 0.2f, 0.8f, 0.7f - d));
        timeline.segments.push_back(PackedLine::make(0.2f, 0.8f - d, 0.75f + d, 0.25f));
        timeline.frames.push_back({f / 600.0, {first, first + 2}});
    }
    return timeline;
}

class WarmStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::preferSoftwareDriver();
        gpu::takeValidationMessages();
    }
    void TearDown() override {
        for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
    }

    static std::shared_ptr<gpu::Device> makeDevice(const fs::path& cacheFolder) {
        gpu::DeviceOptions options;
        options.validation = std::getenv("DREVIK_TEST_NO_VALIDATION") == nullptr;
        options.cacheFolder = cacheFolder;
        return gpu::Device::systemDefault(options);
    }

    // A 4-sample 96×54 frame with afterimages, read back.
    static Bytes render(const std::shared_ptr<gpu::Device>& device) {
        const std::size_t width = 96;
        const std::size_t height = 54;
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
        auto target = device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
        auto color = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
        auto depth = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width, height);
        color.textureType = depth.textureType = gpu::TextureType::type2DMultisample;
        color.sampleCount = depth.sampleCount = 4;
        gpu::RenderPassDescriptor pass;
        pass.colorAttachments[0].texture = device->makeTexture(color);
        pass.colorAttachments[0].resolveTexture = target;
        pass.colorAttachments[0].storeAction = gpu::StoreAction::multisampleResolve;
        pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
        pass.colorAttachments[0].clearColor = {0, 0, 0, 1};
        pass.depthAttachment.texture = device->makeTexture(depth);
        pass.depthAttachment.loadAction = gpu::LoadAction::clear;
        auto commandBuffer = renderer.commandQueue()->commandBuffer();
        const GraphicsTimeline timeline = crossedLines();
        renderer.encode(*commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline,
                        5.5 / 600.0, AudioFeatures::silence());
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        EXPECT_FALSE(commandBuffer->error().has_value());
        Bytes picture(width * height * 4);
        target->getBytes(picture.data(), width * 4, {0, 0, width, height});
        return picture;
    }

    static std::vector<fs::path> entries(const fs::path& folder, std::string_view kind) {
        std::vector<fs::path> found;
        for (const fs::path& file : filesIn(folder)) {
            if (file.filename().string().starts_with(std::string(kind) + "-")) found.push_back(file);
        }
        return found;
    }
};

TEST_F(WarmStartTest, ASecondDeviceReadsTheModulesInsteadOfCompilingAndDrawsTheSame) {
    TemporaryFolder folder;
    const std::size_t modules = lineShaderFunctions().size();

    const Bytes uncached = render(makeDevice({}));

    auto compiled = gpu::vk::shaderCompilationCount();
    const Bytes cold = render(makeDevice(folder.path()));
    EXPECT_EQ(gpu::vk::shaderCompilationCount() - compiled, modules);
    EXPECT_EQ(entries(folder.path(), "spirv").size(), modules);
    EXPECT_EQ(entries(folder.path(), "pipelines").size(), 1u);

    compiled = gpu::vk::shaderCompilationCount();
    const Bytes warm = render(makeDevice(folder.path()));
    EXPECT_EQ(gpu::vk::shaderCompilationCount() - compiled, 0u);

    EXPECT_EQ(cold, uncached);
    EXPECT_EQ(warm, uncached);
    EXPECT_NE(std::count(uncached.begin(), uncached.end(), 0), static_cast<std::ptrdiff_t>(uncached.size() * 3 / 4));
}

TEST_F(WarmStartTest, ADamagedModuleIsCompiledAgainAndRewritten) {
    TemporaryFolder folder;
    const Bytes expected = render(makeDevice(folder.path()));
    const auto modules = entries(folder.path(), "spirv");
    ASSERT_FALSE(modules.empty());
    Bytes bytes = readFile(modules[0]);
    bytes[bytes.size() - 9] ^= 0x40;   // inside the SPIR-V payload
    writeFile(modules[0], bytes);

    auto compiled = gpu::vk::shaderCompilationCount();
    EXPECT_EQ(render(makeDevice(folder.path())), expected);
    EXPECT_EQ(gpu::vk::shaderCompilationCount() - compiled, 1u);

    compiled = gpu::vk::shaderCompilationCount();
    EXPECT_EQ(render(makeDevice(folder.path())), expected);
    EXPECT_EQ(gpu::vk::shaderCompilationCount() - compiled, 0u);
}

TEST_F(WarmStartTest, APipelineCacheOfAnotherDeviceIsIgnoredAndReplaced) {
    TemporaryFolder folder;
    const Bytes expected = render(makeDevice(folder.path()));
    const auto files = entries(folder.path(), "pipelines");
    ASSERT_EQ(files.size(), 1u);
    const Bytes good = readFile(files[0]);

    // A well-formed entry (right key, right checksum) whose driver header names another vendor: the
    // key is read from the file, the payload through the store, then stored again with one change.
    const gpu::DiskCache cache(folder.path());
    const std::string storedKey = [&] {
        std::uint64_t keyLength = 0;
        std::memcpy(&keyLength, good.data() + 16, 8);
        return std::string(good.begin() + 40, good.begin() + 40 + static_cast<std::ptrdiff_t>(keyLength));
    }();
    auto payload = cache.load("pipelines", storedKey);
    ASSERT_TRUE(payload.has_value());
    ASSERT_GE(payload->size(), 32u);
    const Bytes driverHeader(payload->begin(), payload->begin() + 32);
    (*payload)[8] ^= 0x01;
    ASSERT_TRUE(cache.store("pipelines", storedKey, *payload));

    EXPECT_EQ(render(makeDevice(folder.path())), expected);
    // The driver's own cache was written back over it.
    const auto rewritten = cache.load("pipelines", storedKey);
    ASSERT_TRUE(rewritten.has_value());
    ASSERT_GE(rewritten->size(), 32u);
    EXPECT_EQ(Bytes(rewritten->begin(), rewritten->begin() + 32), driverHeader);
}

TEST_F(WarmStartTest, AnUnwritableCacheFolderStillDraws) {
    TemporaryFolder folder;
    writeFile(folder.path() / "a file", pattern(4, 0));
    const Bytes expected = render(makeDevice({}));
    EXPECT_EQ(render(makeDevice(folder.path() / "a file" / "drevik")), expected);
}

} // namespace
} // namespace drevik
