// One line per scene: its span, measures, choices and where the camera goes.
#include "app/scene_report.hpp"

#include "core/scene_analysis.hpp"
#include "core/volumetric_camera.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace drevik {

namespace {

constexpr int kCameraSamples = 240;

struct CameraRanges {
    float minDistance, maxDistance;
    Float3 extent;
    float targetReach;
    float minFocal, maxFocal;
};

float lengthOf(Float3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

CameraRanges sampleCamera(const SceneProfile& profile) {
    std::vector<CameraPose> poses;
    poses.reserve(kCameraSamples + 1);
    for (int i = 0; i <= kCameraSamples; ++i) {
        poses.push_back(VolumetricCamera::pose(profile, static_cast<double>(i) / kCameraSamples));
    }
    const Float3 first = poses.front().position;
    CameraRanges r{lengthOf(first), lengthOf(first), {}, 0, poses.front().focalLength, poses.front().focalLength};
    Float3 lo = first;
    Float3 hi = first;
    for (const CameraPose& pose : poses) {
        const float distance = lengthOf(pose.position);
        r.minDistance = std::min(r.minDistance, distance);
        r.maxDistance = std::max(r.maxDistance, distance);
        lo = {std::min(lo.x, pose.position.x), std::min(lo.y, pose.position.y), std::min(lo.z, pose.position.z)};
        hi = {std::max(hi.x, pose.position.x), std::max(hi.y, pose.position.y), std::max(hi.z, pose.position.z)};
        r.targetReach = std::max(r.targetReach, lengthOf(pose.target));
        r.minFocal = std::min(r.minFocal, pose.focalLength);
        r.maxFocal = std::max(r.maxFocal, pose.focalLength);
    }
    r.extent = hi - lo;
    return r;
}

double wide(float v) { return static_cast<double>(v); }

} // namespace

void printSceneReport(const GraphicsTimeline& timeline, std::FILE* out) {
    const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const SceneSpan& span = spans[k];
        const SceneProfile profile = analyzeScene(timeline, span, spans);
        const CameraRanges cam = sampleCamera(profile);
        const std::string family(name(profile.family));
        const std::string camera(name(profile.camera));
        std::fprintf(out,
                     "%2lld  %6.2f\u2013%6.2fs  %4lld lines  %s  %s den %.2f elong %.2f H/V/D %.2f/%.2f/%.2f "
                     "entropy %.2f radial %.2f cycles %.2f junction %.2f mean %.3f depth %.2f internal %.2f "
                     "cam %.2f\u2013%.2f xyz %.2f/%.2f/%.2f target %.2f lens %.2f\u2013%.2f\n",
                     static_cast<long long>(k + 1), span.startTime * timeline.durationSeconds,
                     span.endTime * timeline.durationSeconds, static_cast<long long>(profile.maximumLineCount),
                     family.c_str(), camera.c_str(), wide(profile.density), wide(profile.elongation),
                     wide(profile.horizontalEnergy), wide(profile.verticalEnergy), wide(profile.diagonalEnergy),
                     wide(profile.orientationEntropy), wide(profile.radialAlignment), wide(profile.cycleRatio),
                     wide(profile.junctionRatio), wide(profile.meanLineLength), wide(profile.halfDepth),
                     wide(profile.internalRate), wide(cam.minDistance), wide(cam.maxDistance), wide(cam.extent.x),
                     wide(cam.extent.y), wide(cam.extent.z), wide(cam.targetReach), wide(cam.minFocal),
                     wide(cam.maxFocal));
    }
    std::fflush(out);
}

} // namespace drevik
