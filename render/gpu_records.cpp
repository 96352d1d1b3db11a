#include "render/gpu_records.hpp"

namespace drevik {

ShaderUniforms assembleUniforms(double drawableWidth, double drawableHeight, double durationSeconds,
                                double normalizedTime, const AudioFeatures& features,
                                std::int64_t strokeCount, const SceneRenderState& state) {
    ShaderUniforms u;
    u.viewportTime = {static_cast<float>(drawableWidth), static_cast<float>(drawableHeight),
                      static_cast<float>(durationSeconds * normalizedTime), static_cast<float>(normalizedTime)};
    u.audio = features.channels;
    u.dynamics = {features.energy, features.pulse, static_cast<float>(strokeCount), shaderRoleCount};
    u.scene = state.scene;
    u.model = state.model;
    u.profile = state.profile;
    u.traits = state.traits;
    u.axis = state.axis;
    u.camera = state.camera;
    u.targetNear = state.targetNear;
    u.projection = state.projection;
    return u;
}

} // namespace drevik
