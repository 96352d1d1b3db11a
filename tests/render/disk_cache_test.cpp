// The warm-start cache: the compiled modules and the driver's pipeline cache a device keeps in its
// store (tests/platform/disk_cache_test.cpp has the store itself), and the folder the program chooses.
#include "app/cache_folder.hpp"
#include "render/gpu/pipeline_cache.hpp"
#include "render/gpu/vulkan_internal.hpp"
#include "render/scene_renderer.hpp"
#include "render/shader_source.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::filesIn;
using testing::readBytes;
using testing::writeBytes;

struct TemporaryFolder : testing::TemporaryFolder {
    TemporaryFolder() : testing::TemporaryFolder("drevik-cache-test") {}
};

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
    return bytes;
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
    Bytes bytes = readBytes(modules[0]);
    bytes[bytes.size() - 9] ^= 0x40;   // inside the SPIR-V payload
    writeBytes(modules[0], bytes);

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
    const Bytes good = readBytes(files[0]);

    // A well-formed entry (right key, right checksum) whose driver header names another vendor: the
    // key is read from the file, the payload through the store, then stored again with one change.
    const DiskCache cache(folder.path());
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
    writeBytes(folder.path() / "a file", pattern(4, 0));
    const Bytes expected = render(makeDevice({}));
    EXPECT_EQ(render(makeDevice(folder.path() / "a file" / "drevik")), expected);
}

} // namespace
} // namespace drevik
