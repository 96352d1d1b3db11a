// Drevik line program: lifts the flat drawing into a volume, expands every stroke into a
// screen-space quad per role and shades it.
//
// The host prepends "#version 450" and one stage define (DREVIK_VERTEX_STAGE,
// DREVIK_FRAGMENT_STAGE or, in the tests, DREVIK_COMPUTE_STAGE) and appends a main() that calls
// the entry point (lineVertex, lineFragment or depthFragment). Everything outside the stage
// sections is pure and shared by all stages, so the tests can run it in a compute kernel.
// `#include "name"` reads a header embedded beside this source (render/shader_includes.hpp).
//
// All arithmetic is 32-bit float. Linear blends and smoothsteps use the helpers below rather
// than the built-ins, so that every formula rounds exactly as it is written here.

// ---------------------------------------------------------------------------------------------
// Records, constants and bindings

// GPUStroke, ShaderUniforms, the role and family numbers and drawingAspect, shared with the C++ side.
#include "shader_interface.h"

layout(std430, set = 0, binding = 0) readonly buffer StrokeBuffer {
    GPUStroke strokes[];
};

// The per-frame block is read from a storage buffer, not a uniform buffer: a software driver may
// specialise a shader on the values of uniform loads that steer its branches, compiling and keeping
// a new variant every time they change, which is every frame here. Storage loads are never
// specialised, and the std430 layout of eleven vec4s is byte for byte the std140 one.
layout(std430, set = 0, binding = 1) readonly buffer UniformBlock {
    ShaderUniforms uniforms;
};

// ---------------------------------------------------------------------------------------------
// Small numeric helpers

// a + (b - a) * k, rounded in that order.
float lerp(float a, float b, float k) { return a + (b - a) * k; }
vec2 lerp(vec2 a, vec2 b, float k) { return a + (b - a) * k; }
vec3 lerp(vec3 a, vec3 b, float k) { return a + (b - a) * k; }

// Cubic smoothstep t * t * (3 - 2t).
float smoothCubic(float edge0, float edge1, float x) {
    float t = clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// Angle of (x, y) in radians; the zero vector has angle 0 (the built-in leaves it undefined).
float angleOf(float y, float x) {
    if (x == 0.0 && y == 0.0) {
        return 0.0;
    }
    return atan(y, x);
}

// Remainder of x / y with the sign of x.
float remainderTowardZero(float x, float y) {
    return x - y * trunc(x / y);
}

// Nearest non-negative integer of a count or identifier carried as a float (add 0.5, truncate).
// Negative and huge values saturate instead of converting out of range.
uint nearestCount(float value) {
    return uint(clamp(value + 0.5, 0.0, 4294967040.0));
}

// Volume family identifier; everything past 6 takes the space frame branch.
uint familyIdentifier(float family) {
    return uint(clamp(family + 0.5, 0.0, 8.0));
}

// ---------------------------------------------------------------------------------------------
// Volume geometry

vec3 hsvToRGB(float h, float s, float v) {
    vec3 p = abs(fract(vec3(h) + vec3(0.0, 2.0 / 3.0, 1.0 / 3.0)) * 6.0 - 3.0);
    return v * lerp(vec3(1.0), clamp(p - 1.0, 0.0, 1.0), s);
}

vec2 rotatePoint(vec2 p, float a) {
    float c = cos(a);
    float s = sin(a);
    return vec2(c * p.x - s * p.y, s * p.x + c * p.y);
}

// Rates of the family's extra lines: x endpoint connectors, y transverse ribs, z diagonals.
vec3 topologyRates(uint family, float density, float internalRate) {
    vec3 base;
    switch (family) {
    case familyDeepPrism: base = vec3(0.62, 0.20, 0.28); break;
    case familyInflatedHull: base = vec3(0.20, 0.09, 0.00); break;
    case familyAxialBarrel: base = vec3(0.26, 0.56, 0.06); break;
    case familyFoldedCrystal: base = vec3(0.22, 0.20, 0.62); break;
    case familyTorsionCage: base = vec3(0.23, 0.22, 0.34); break;
    case familyRadialBloom: base = vec3(0.34, 0.48, 0.08); break;
    case familyStrataFrame: base = vec3(0.28, 0.14, 0.00); break;
    default: base = vec3(0.20, 0.18, 0.50); break;
    }
    float densityScale = 1.12 - density * 0.28;
    float analysisScale = lerp(0.82, 1.08, clamp(internalRate / 0.42, 0.0, 1.0));
    return clamp(base * densityScale * analysisScale, 0.0, 0.72);
}

// World point of a drawing point pushed to the given depth along the ray from (0, 0, -3.2).
vec3 rayLift(vec2 point, float depth, ShaderUniforms u) {
    vec2 worldXY = (point - u.model.xy) * vec2(2.0 * drawingAspect, 2.0);
    float rayScale = (3.20 + depth) / 3.20;
    return vec3(worldXY * rayScale, depth);
}

// World point of a drawing point on the front shell (side -1), the back shell (+1) or the
// middle surface (0) of the scene's volume family, blended from the flat drawing by the volume.
vec3 volumePoint(vec2 point, float side, ShaderUniforms u) {
    float volume = u.scene.y;
    float sceneSeed = u.profile.x;
    float halfDepth = u.profile.y;
    vec2 centre = u.model.xy;
    vec2 halfExtent = max(u.model.zw * 0.5, vec2(0.001));

    vec2 n = clamp((point - centre) / halfExtent, -1.35, 1.35);
    vec2 warped = n;
    float radial = length(n);
    float radialSquared = dot(n, n);
    float centerDepth = 0.0;
    float thickness = halfDepth;
    float s = sceneSeed;

    uint family = familyIdentifier(u.scene.w);
    if (family == familyDeepPrism) {
        // Solid contour extrusion.
        float wave = sin(n.x * 4.1 + n.y * 2.7 + s * 6.2831853);
        centerDepth = wave * halfDepth * 0.13;
        thickness = thickness * (0.72 + 0.22 * (1.0 - min(1.0, radial)));
    } else if (family == familyInflatedHull) {
        // Closed front/back lens.
        centerDepth = n.x * n.y * halfDepth * 0.06;
        float dome = sqrt(max(0.0, 1.0 - min(1.0, radialSquared)));
        thickness = thickness * (0.16 + 0.84 * dome);
    } else if (family == familyAxialBarrel) {
        // Barrel around the drawing's principal axis.
        vec2 principal = normalize(u.axis.xy);
        vec2 acrossAxis = vec2(-principal.y, principal.x);
        vec2 localWorld = n * vec2(halfExtent.x * drawingAspect, halfExtent.y);
        float alongScale = max(0.001, abs(principal.x) * halfExtent.x * drawingAspect + abs(principal.y) * halfExtent.y);
        float acrossScale = max(0.001, abs(acrossAxis.x) * halfExtent.x * drawingAspect + abs(acrossAxis.y) * halfExtent.y);
        float along = dot(localWorld, principal) / alongScale;
        float across = dot(localWorld, acrossAxis) / acrossScale;
        centerDepth = sin(along * 3.14159265 + s * 1.7) * halfDepth * 0.11;
        float barrel = sqrt(max(0.0, 1.0 - min(1.0, across * across)));
        thickness = thickness * (0.18 + 0.82 * barrel);
    } else if (family == familyFoldedCrystal) {
        // Piecewise planar facets.
        float foldX = abs(fract(n.x * 1.75 + s) - 0.5) * 2.0 - 0.5;
        float foldY = abs(fract(n.y * 2.25 - s * 0.7) - 0.5) * 2.0 - 0.5;
        centerDepth = (foldX - foldY) * halfDepth * 0.43;
        thickness = thickness * (0.38 + 0.18 * abs(foldX + foldY));
    } else if (family == familyTorsionCage) {
        // Front and back shells twist in opposite directions.
        float twist = side * (0.17 + u.traits.z * 0.27) * (0.52 + n.y * 0.25);
        centerDepth = sin(n.y * 4.0 + s * 5.0) * halfDepth * 0.10;
        thickness = thickness * 0.68;
        warped = rotatePoint(n, twist);
    } else if (family == familyRadialBloom) {
        // Petalled front/back cage: rotate first, then scale.
        float angle = angleOf(n.y, n.x);
        float petal = sin(angle * 3.0 + s * 6.2831853);
        centerDepth = cos(angle * 2.0 - s * 4.0) * halfDepth * 0.08;
        thickness = thickness * (0.25 + 0.75 * sin(3.14159265 * min(1.0, radial)));
        warped = rotatePoint(n, side * (0.10 + 0.14 * (1.0 - min(1.0, radial)))) * (1.0 + side * petal * 0.055);
    } else if (family == familyStrataFrame) {
        // Stepped architectural solid: five bands -0.5, -0.25, 0, 0.25, 0.5.
        float band = floor(clamp((n.y + 1.0) * 2.5, 0.0, 4.999)) / 4.0 - 0.5;
        centerDepth = band * halfDepth * 1.08 + sin(n.x * 5.0) * halfDepth * 0.06;
        thickness = thickness * 0.30;
    } else {
        // Irregular cellular volume.
        float cell = sin(n.x * 7.3 + n.y * 3.1 + s * 8.0);
        float crossCell = cos(n.y * 8.7 - n.x * 2.9 - s * 5.0);
        centerDepth = (cell + crossCell) * halfDepth * 0.20;
        thickness = thickness * (0.39 + 0.24 * (0.5 + 0.5 * cell * crossCell));
        warped = n + side * vec2(crossCell, cell) * (0.025 + u.axis.z * 0.025);
    }

    vec2 targetPoint = centre + warped * halfExtent;
    float depth = centerDepth + side * max(0.075, thickness);
    vec3 flatPoint = rayLift(point, 0.0, u);
    vec3 target = rayLift(targetPoint, depth, u);
    return lerp(flatPoint, target, volume);
}

// Drawing-space x, y of a world point seen by the camera, and its depth along the view axis.
vec3 projectWorldPoint(vec3 world, ShaderUniforms u) {
    vec3 position = u.camera.xyz;
    vec3 target = u.targetNear.xyz;
    vec3 forward = normalize(target - position);

    vec3 referenceUp = abs(forward.y) > 0.96 ? vec3(0.0, 0.0, 1.0) : vec3(0.0, 1.0, 0.0);
    vec3 right = normalize(cross(referenceUp, forward));
    vec3 up = normalize(cross(forward, right));

    float roll = u.camera.w;
    float cosRoll = cos(roll);
    float sinRoll = sin(roll);
    vec3 rolledRight = right * cosRoll + up * sinRoll;
    vec3 rolledUp = up * cosRoll - right * sinRoll;

    vec3 relative = world - position;
    float cameraDepth = dot(relative, forward);
    float perspective = u.projection.y / max(0.05, cameraDepth);
    vec2 projected = u.model.xy + vec2(dot(relative, rolledRight) / (2.0 * drawingAspect), dot(relative, rolledUp) / 2.0) * perspective;
    return vec3(projected, cameraDepth);
}

// Hyperbolic depth: 0 at the near plane, 1 at the far plane.
float cameraDepthToNDC(float d, ShaderUniforms u) {
    float near = u.targetNear.w;
    float far = u.projection.x;
    return far * (d - near) / (d * (far - near));
}

// ---------------------------------------------------------------------------------------------
// Screen placement

// The largest 16:9 rectangle centred in the viewport: origin in xy, size in zw (pixels).
vec4 contentArea(vec2 viewport) {
    vec2 contentSize;
    if (viewport.x / viewport.y > drawingAspect) {
        contentSize = vec2(viewport.y * drawingAspect, viewport.y);
    } else {
        contentSize = vec2(viewport.x, viewport.x * (9.0 / 16.0));
    }
    vec2 contentOrigin = (viewport - contentSize) / 2.0;
    return vec4(contentOrigin, contentSize);
}

// Length in pixels of a sparkle ray's legs for a content area of the given height.
float sparkleRadius(float contentHeight) {
    return clamp(contentHeight * 0.00165, 1.0, 2.0);
}

// ---------------------------------------------------------------------------------------------
// Stroke expansion

struct StrokeVertex {
    vec4 position; // clip space, y up, depth 0...1
    vec3 color;    // not premultiplied
    float alpha;   // 0 for an instance that is not drawn
    float side;    // -1 or +1 at the quad's long edges
};

// Quad corners of the two triangles: x picks the endpoint, y the side of the line.
vec2 quadCorner(uint vertexNumber) {
    switch (vertexNumber) {
    case 0u: return vec2(-1.0, -1.0);
    case 1u: return vec2(1.0, -1.0);
    case 2u: return vec2(-1.0, 1.0);
    case 3u: return vec2(-1.0, 1.0);
    case 4u: return vec2(1.0, -1.0);
    default: return vec2(1.0, 1.0);
    }
}

// One vertex of one stroke in one role. The instance number carries both: role = instance /
// strokes per role block, record = the remainder.
StrokeVertex expandStroke(uint vertexNumber, uint instanceNumber, ShaderUniforms u) {
    vec2 c = quadCorner(vertexNumber);
    uint lineCount = max(1u, nearestCount(u.dynamics.z));
    uint role = instanceNumber / lineCount;
    uint lineIndex = instanceNumber - role * lineCount;

    // A record past the end of the bound buffer is never read; its instance is not drawn.
    bool valid = lineIndex < uint(strokes.length());
    GPUStroke stroke = GPUStroke(vec4(0.0), vec4(0.0));
    if (valid) {
        stroke = strokes[lineIndex];
    }

    float age = stroke.metadata.x;
    float seed = stroke.metadata.y;
    uint ownership = nearestCount(stroke.metadata.w);
    uint family = familyIdentifier(u.scene.w);
    vec3 rates = topologyRates(family, u.scene.z, u.profile.z);
    float roleSeed = fract(seed + u.profile.x * 0.754877666 + float(role) * 0.61803398875);

    bool isSparkle = role >= roleFirstSparkle && role <= roleLastSparkle;
    float volume = u.scene.y;

    // The role's own condition.
    switch (role) {
    case roleConnectorA:
        valid = valid && (ownership & 1u) != 0u && roleSeed <= rates.x;
        break;
    case roleConnectorB:
        valid = valid && (ownership & 2u) != 0u && roleSeed <= rates.x;
        break;
    case roleRibThird:
    case roleRibTwoThirds:
        valid = valid && roleSeed <= rates.y;
        break;
    case roleDiagonal:
        valid = valid && roleSeed <= rates.z;
        break;
    case roleCounterDiagonal:
        // The torsion cage's truss runs one way only.
        valid = valid && roleSeed <= rates.z && family != familyTorsionCage;
        break;
    default:
        // Any role past the sparkles is never drawn.
        valid = valid && role <= roleLastSparkle;
        break;
    }

    // Sparkle selection and flash clock, shared by the four rays of one stroke.
    float sceneSeed = u.profile.x;
    float sparkleFlash = 0.0;
    if (isSparkle) {
        float sparkleHash = fract(seed * 7.13 + sceneSeed * 13.71);
        float sparkleRate = lerp(0.120, 0.035, clamp(u.scene.z, 0.0, 1.0));
        float clockHash = fract(seed * 17.17 + sceneSeed * 3.11);
        float interval = lerp(0.75, 1.65, clockHash);
        float offset = fract(seed * 31.73 + sceneSeed * 7.07) * interval;
        float flashTime = remainderTowardZero(u.viewportTime.z + offset, interval);
        float flashDuration = lerp(0.060, 0.110, fract(seed * 23.41 + sceneSeed * 5.93));
        float flashPhase = clamp(flashTime / flashDuration, 0.0, 1.0);
        float flashSine = sin(flashPhase * 3.14159265);
        sparkleFlash = flashSine * flashSine;
        valid = valid && (lineIndex == 0u || sparkleHash < sparkleRate) && flashTime < flashDuration;
    }

    // Without volume the shells coincide: only the front shell, the glows and sparkles remain.
    if (role >= roleBackShell && role <= roleCounterDiagonal && volume < 0.003) {
        valid = false;
    }

    // Most truss and sparkle instances are not drawn: they skip the geometry. The result is the
    // same as when it is computed, since such an instance lies outside the clip volume.
    if (!valid) {
        return StrokeVertex(vec4(2.0, 2.0, 2.0, 1.0), vec3(0.0), 0.0, c.y);
    }

    vec2 a = stroke.endpoints.xy;
    vec2 b = stroke.endpoints.zw;
    vec2 sourceCenter = (a + b) / 2.0;
    vec2 sourceVector = b - a;
    vec3 frontA = volumePoint(a, -1.0, u);
    vec3 frontB = volumePoint(b, -1.0, u);
    vec3 backA = volumePoint(a, 1.0, u);
    vec3 backB = volumePoint(b, 1.0, u);

    // World endpoints; sparkles start from the front shell.
    vec3 worldA = frontA;
    vec3 worldB = frontB;
    switch (role) {
    case roleBackShell:
    case roleBackGlow:
        worldA = backA;
        worldB = backB;
        break;
    case roleMiddleSurface:
        worldA = volumePoint(a, 0.0, u);
        worldB = volumePoint(b, 0.0, u);
        break;
    case roleConnectorA:
        worldB = backA;
        break;
    case roleConnectorB:
        worldA = frontB;
        worldB = backB;
        break;
    case roleRibThird:
    case roleRibTwoThirds: {
        vec2 p = lerp(a, b, role == roleRibThird ? 1.0 / 3.0 : 2.0 / 3.0);
        worldA = volumePoint(p, -1.0, u);
        worldB = volumePoint(p, 1.0, u);
        break;
    }
    case roleDiagonal:
        worldB = backB;
        break;
    case roleCounterDiagonal:
        worldA = backA;
        break;
    default:
        break;
    }

    vec3 forward = normalize(u.targetNear.xyz - u.camera.xyz);
    float frontMeanDepth = dot((frontA + frontB) / 2.0 - u.camera.xyz, forward);
    float backMeanDepth = dot((backA + backB) / 2.0 - u.camera.xyz, forward);
    if (isSparkle && backMeanDepth < frontMeanDepth) {
        worldA = backA;
        worldB = backB;
    }

    vec3 projectedA = projectWorldPoint(worldA, u);
    vec3 projectedB = projectWorldPoint(worldB, u);
    float near = u.targetNear.w;
    float far = u.projection.x;
    if (projectedA.z <= near || projectedA.z >= far || projectedB.z <= near || projectedB.z >= far) {
        valid = false;
    }
    float depthA = projectedA.z;
    float depthB = projectedB.z;

    bool isFrontRole = role == roleFrontShell || role == roleFrontGlow;
    bool isBackRole = role == roleBackShell || role == roleBackGlow;
    bool nearShell = isFrontRole ? frontMeanDepth <= backMeanDepth : backMeanDepth <= frontMeanDepth;

    // Width in pixels and opacity.
    float energy = u.dynamics.x;
    float pulse = u.dynamics.y;
    float lead = u.audio.x;
    float counter = u.audio.y;
    float bass = u.audio.z;
    float percussion = u.audio.w;
    float width;
    float alpha;
    switch (role) {
    case roleFrontShell:
        width = 1.85 + energy * 0.95 + pulse * 0.65;
        alpha = 0.96;
        break;
    case roleBackShell:
        width = 1.25 + counter * 0.55;
        alpha = 0.88;
        break;
    case roleMiddleSurface:
        width = 0.72 + energy * 0.28;
        alpha = 0.16;
        break;
    case roleConnectorA:
    case roleConnectorB:
        width = 0.92 + pulse * 0.35;
        alpha = 0.37;
        break;
    case roleRibThird:
    case roleRibTwoThirds:
        width = 0.72 + percussion * 0.30;
        alpha = 0.17;
        break;
    case roleDiagonal:
    case roleCounterDiagonal:
        width = 0.62 + pulse * 0.24;
        alpha = 0.10;
        break;
    case roleFrontGlow:
        width = 8.0 + bass * 7.0 + pulse * 4.0;
        alpha = 0.085 + energy * 0.035;
        break;
    case roleBackGlow:
        width = 6.0 + counter * 5.0;
        alpha = 0.050 + energy * 0.025;
        break;
    default:
        width = 1.0 + sparkleFlash * 0.35;
        alpha = sparkleFlash * (0.90 + energy * 0.06 + pulse * 0.04);
        break;
    }

    // Structural lines are drawn twice as wide; the near shells of the frame on screen swell
    // further on strong onsets.
    if (role <= roleCounterDiagonal) {
        float scale = 2.0;
        if ((role == roleFrontShell || role == roleBackShell) && nearShell && age < 0.001) {
            scale = 2.0 + 1.5 * smoothCubic(0.90, 1.0, pulse);
        }
        width = width * scale;
    }

    if (role >= roleBackShell && role <= roleCounterDiagonal) {
        alpha = alpha * volume;
    }
    if (isSparkle) {
        alpha = alpha * smoothCubic(0.02, 0.35, volume);
    }
    if (isFrontRole || isBackRole) {
        alpha = alpha * (nearShell ? 1.0 : 0.46);
    }
    alpha = alpha * (age > 0.0 ? 0.16 * (1.0 - age * 0.72) : 1.0);

    // Colour.
    float orientation = angleOf(sourceVector.y, sourceVector.x) / 6.2831853;
    float spatial = dot(sourceCenter, vec2(0.31, 0.69));
    float familyOffset = u.scene.w * 0.127;
    float roleOffset;
    if (isBackRole) {
        roleOffset = 0.075;
    } else if (role == roleMiddleSurface) {
        roleOffset = 0.54;
    } else if (role == roleConnectorA || role == roleConnectorB) {
        roleOffset = 0.16;
    } else if (role == roleFrontShell || role == roleRibThird || role == roleRibTwoThirds) {
        roleOffset = 0.62;
    } else if (role == roleDiagonal || role == roleCounterDiagonal) {
        roleOffset = 0.79;
    } else {
        roleOffset = 0.0;
    }
    float hue = fract(sceneSeed * 0.28 + u.viewportTime.w * 0.30 + orientation * 0.13 + spatial * 0.08
                      + seed * 0.16 + roleOffset + familyOffset + c.x * (0.022 + energy * 0.016)
                      + dot(u.audio, vec4(0.025, 0.04, 0.065, 0.085)));
    float saturation;
    float value;
    if (role <= roleBackShell) {
        saturation = 0.78 + energy * 0.17;
        value = nearShell ? 1.0 : 0.62;
    } else if (role <= roleConnectorB) {
        saturation = 0.76;
        value = 0.72;
    } else {
        saturation = 0.62;
        value = 0.54 + pulse * 0.12;
    }
    vec3 color = hsvToRGB(hue, saturation, value);
    if (role == roleFrontShell) {
        color = lerp(color, vec3(1.0), 0.08 + lead * 0.08);
    }
    if (isSparkle) {
        float sparkleHue = fract(sceneSeed * 0.28 + orientation * 0.13 + spatial * 0.08 + seed * 0.16 + familyOffset);
        color = lerp(hsvToRGB(sparkleHue, 0.42, 1.0), vec3(1.0), 0.88);
    }

    // Pixel placement, origin at the bottom left.
    vec2 viewport = max(u.viewportTime.xy, vec2(1.0));
    vec4 content = contentArea(viewport);
    vec2 contentOrigin = content.xy;
    vec2 contentSize = content.zw;
    vec2 pixelA = contentOrigin + projectedA.xy * contentSize;
    vec2 pixelB = contentOrigin + projectedB.xy * contentSize;

    // A sparkle is a tiny diagonal ray at an anchor along the stroke.
    if (isSparkle) {
        float sourceLength = max(0.001, length(pixelB - pixelA));
        float anchorT = 0.22 + fract(seed * 5.39 + sceneSeed * 0.73) * 0.56;
        vec2 anchor = lerp(pixelA, pixelB, anchorT);
        float radius = sparkleRadius(contentSize.y);
        vec2 direction;
        switch (role) {
        case 11u: direction = vec2(radius, radius); break;
        case 12u: direction = vec2(radius, -radius); break;
        case 13u: direction = vec2(-radius, -radius); break;
        default: direction = vec2(-radius, radius); break;
        }
        float anchorDepth = lerp(depthA, depthB, anchorT);
        pixelA = anchor;
        pixelB = anchor + direction;
        depthA = anchorDepth;
        depthB = anchorDepth;
        if (sourceLength < 4.0) {
            valid = false;
        }
    }

    // Quad of the given width centred on the line, without end caps.
    vec2 delta = pixelB - pixelA;
    vec2 normal = vec2(-delta.y, delta.x) / max(0.001, length(delta));
    float e = (c.x + 1.0) / 2.0;
    vec2 pixel = lerp(pixelA, pixelB, e) + normal * c.y * width * 0.5;
    vec2 clipXY = pixel / viewport * 2.0 - 1.0;
    float ndcDepth = lerp(cameraDepthToNDC(depthA, u), cameraDepthToNDC(depthB, u), e);
    float w = lerp(depthA, depthB, e);

    StrokeVertex result;
    // An instance that is not drawn is moved outside the clip volume.
    result.position = valid ? vec4(clipXY * w, ndcDepth * w, w) : vec4(2.0, 2.0, 2.0, 1.0);
    result.color = color;
    result.alpha = valid ? alpha : 0.0;
    result.side = c.y;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Stages

#ifdef DREVIK_VERTEX_STAGE
// The depth pre-pass and the colour pass share this module and must place every vertex
// identically.
invariant gl_Position;

layout(location = 0) out vec3 vertexColor;
layout(location = 1) flat out float vertexAlpha;
layout(location = 2) out float vertexSide;

void lineVertex() {
    StrokeVertex v = expandStroke(uint(gl_VertexIndex), uint(gl_InstanceIndex), uniforms);
    gl_Position = v.position;
    vertexColor = v.color;
    vertexAlpha = v.alpha;
    vertexSide = v.side;
}
#endif

#ifdef DREVIK_FRAGMENT_STAGE
layout(location = 0) in vec3 vertexColor;
layout(location = 1) flat in float vertexAlpha;
layout(location = 2) in float vertexSide;

layout(location = 0) out vec4 fragmentColor;

// Soft edge: the inner 72 % of the width is opaque, the rest fades out to the edge.
void lineFragment() {
    float edge = 1.0 - smoothCubic(0.72, 1.0, abs(vertexSide));
    fragmentColor = vec4(vertexColor, vertexAlpha * edge);
}

// Depth only: all but the outermost sliver of the quad writes depth.
void depthFragment() {
    if (abs(vertexSide) > 0.999) {
        discard;
    }
    fragmentColor = vec4(0.0);
}
#endif
