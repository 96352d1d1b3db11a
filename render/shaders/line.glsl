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
//
// Every stroke is drawn once per role; the roles fall into four groups that expansion treats in
// turn: the structural surfaces (front shell, back shell, middle surface), the truss between the
// shells (connectors, ribs, diagonals), the glows along the shells and the sparkles. Each group
// decides whether the stroke carries the role, where its world segment lies, and its width,
// opacity and colour; the placement on screen is shared.

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

bool isStructuralRole(uint role) { return role <= roleMiddleSurface; }
bool isTrussRole(uint role) { return role >= roleConnectorA && role <= roleCounterDiagonal; }
bool isGlowRole(uint role) { return role == roleFrontGlow || role == roleBackGlow; }
bool isSparkleRole(uint role) { return role >= roleFirstSparkle && role <= roleLastSparkle; }
bool isFrontRole(uint role) { return role == roleFrontShell || role == roleFrontGlow; }
bool isBackRole(uint role) { return role == roleBackShell || role == roleBackGlow; }
// Roles that exist only in volume: every structural and truss role but the front shell.
bool needsVolume(uint role) { return role >= roleBackShell && role <= roleCounterDiagonal; }

// The record and role of one instance: role = instance / strokes per role block, record = the
// remainder. A record past the end of the bound buffer is never read; it reads as zeros.
struct StrokeInstance {
    uint role;
    uint lineIndex;
    bool inBuffer;
    GPUStroke stroke;
};

StrokeInstance decodeInstance(uint instanceNumber, ShaderUniforms u) {
    uint lineCount = max(1u, nearestCount(u.dynamics.z));
    StrokeInstance instance;
    instance.role = instanceNumber / lineCount;
    instance.lineIndex = instanceNumber - instance.role * lineCount;
    instance.inBuffer = instance.lineIndex < uint(strokes.length());
    instance.stroke = GPUStroke(vec4(0.0), vec4(0.0));
    if (instance.inBuffer) {
        instance.stroke = strokes[instance.lineIndex];
    }
    return instance;
}

// The stroke's endpoints on the front and back shells, and the depths of the two shells' midpoints
// along the view axis, which say which shell faces the camera.
struct ShellPoints {
    vec3 frontA;
    vec3 frontB;
    vec3 backA;
    vec3 backB;
    float frontDepth;
    float backDepth;
};

ShellPoints shellPoints(vec2 a, vec2 b, ShaderUniforms u) {
    ShellPoints shells;
    shells.frontA = volumePoint(a, -1.0, u);
    shells.frontB = volumePoint(b, -1.0, u);
    shells.backA = volumePoint(a, 1.0, u);
    shells.backB = volumePoint(b, 1.0, u);
    vec3 forward = normalize(u.targetNear.xyz - u.camera.xyz);
    shells.frontDepth = dot((shells.frontA + shells.frontB) / 2.0 - u.camera.xyz, forward);
    shells.backDepth = dot((shells.backA + shells.backB) / 2.0 - u.camera.xyz, forward);
    return shells;
}

// True when a shell or glow role lies on the shell nearer the camera (a tie counts as near).
bool onNearShell(uint role, ShellPoints shells) {
    return isFrontRole(role) ? shells.frontDepth <= shells.backDepth : shells.backDepth <= shells.frontDepth;
}

struct WorldSegment {
    vec3 a;
    vec3 b;
};

struct StrokeStyle {
    float width; // pixels
    float alpha;
};

// --- Structural surfaces: the stroke itself on the front shell, the back shell or the middle surface.

WorldSegment structuralSegment(uint role, vec2 a, vec2 b, ShellPoints shells, ShaderUniforms u) {
    switch (role) {
    case roleBackShell: return WorldSegment(shells.backA, shells.backB);
    case roleMiddleSurface: return WorldSegment(volumePoint(a, 0.0, u), volumePoint(b, 0.0, u));
    default: return WorldSegment(shells.frontA, shells.frontB);
    }
}

// Structural lines are drawn twice as wide; the near shells of the frame on screen swell further
// on strong onsets. The far shell is dimmed, and the back shell and middle surface fade with volume.
StrokeStyle structuralStyle(uint role, bool nearShell, float age, ShaderUniforms u) {
    float energy = u.dynamics.x;
    float pulse = u.dynamics.y;
    float volume = u.scene.y;
    StrokeStyle style;
    if (role == roleFrontShell) {
        style = StrokeStyle(1.85 + energy * 0.95 + pulse * 0.65, 0.96);
    } else if (role == roleBackShell) {
        style = StrokeStyle(1.25 + u.audio.y * 0.55, 0.88);
    } else {
        style = StrokeStyle(0.72 + energy * 0.28, 0.16);
    }
    float scale = 2.0;
    if (role != roleMiddleSurface && nearShell && age < 0.001) {
        scale = 2.0 + 1.5 * smoothCubic(0.90, 1.0, pulse);
    }
    style.width = style.width * scale;
    if (role != roleFrontShell) {
        style.alpha = style.alpha * volume;
    }
    if (role != roleMiddleSurface) {
        style.alpha = style.alpha * (nearShell ? 1.0 : 0.46);
    }
    return style;
}

// --- Truss: connectors at the endpoints, ribs at a third and two thirds, diagonals, all running
// from the front to the back shell.

// Whether the stroke carries a truss role: a share of the strokes, by the family's rates.
bool trussSelected(uint role, uint ownership, float roleSeed, vec3 rates, uint family) {
    switch (role) {
    case roleConnectorA: return (ownership & 1u) != 0u && roleSeed <= rates.x;
    case roleConnectorB: return (ownership & 2u) != 0u && roleSeed <= rates.x;
    case roleRibThird:
    case roleRibTwoThirds: return roleSeed <= rates.y;
    case roleDiagonal: return roleSeed <= rates.z;
    // The torsion cage's truss runs one way only.
    default: return roleSeed <= rates.z && family != familyTorsionCage;
    }
}

WorldSegment trussSegment(uint role, vec2 a, vec2 b, ShellPoints shells, ShaderUniforms u) {
    switch (role) {
    case roleConnectorA: return WorldSegment(shells.frontA, shells.backA);
    case roleConnectorB: return WorldSegment(shells.frontB, shells.backB);
    case roleRibThird:
    case roleRibTwoThirds: {
        vec2 p = lerp(a, b, role == roleRibThird ? 1.0 / 3.0 : 2.0 / 3.0);
        return WorldSegment(volumePoint(p, -1.0, u), volumePoint(p, 1.0, u));
    }
    case roleDiagonal: return WorldSegment(shells.frontA, shells.backB);
    default: return WorldSegment(shells.backA, shells.frontB);
    }
}

StrokeStyle trussStyle(uint role, ShaderUniforms u) {
    float pulse = u.dynamics.y;
    StrokeStyle style;
    if (role <= roleConnectorB) {
        style = StrokeStyle(0.92 + pulse * 0.35, 0.37);
    } else if (role <= roleRibTwoThirds) {
        style = StrokeStyle(0.72 + u.audio.w * 0.30, 0.17);
    } else {
        style = StrokeStyle(0.62 + pulse * 0.24, 0.10);
    }
    style.width = style.width * 2.0;
    style.alpha = style.alpha * u.scene.y;
    return style;
}

// --- Glows: wide faint lines along the front and the back shell, dimmed on the far one.

WorldSegment glowSegment(uint role, ShellPoints shells) {
    if (role == roleBackGlow) {
        return WorldSegment(shells.backA, shells.backB);
    }
    return WorldSegment(shells.frontA, shells.frontB);
}

StrokeStyle glowStyle(uint role, bool nearShell, ShaderUniforms u) {
    float energy = u.dynamics.x;
    StrokeStyle style;
    if (role == roleFrontGlow) {
        style = StrokeStyle(8.0 + u.audio.z * 7.0 + u.dynamics.y * 4.0, 0.085 + energy * 0.035);
    } else {
        style = StrokeStyle(6.0 + u.audio.y * 5.0, 0.050 + energy * 0.025);
    }
    style.alpha = style.alpha * (nearShell ? 1.0 : 0.46);
    return style;
}

// --- Sparkles: four tiny diagonal rays at an anchor along a few strokes, flashing on their own
// clocks; the first stroke of the frame always takes part.

struct SparkleClock {
    float flash; // 0...1, the brightness of this moment of the flash
    bool lit;    // the stroke sparkles now
};

SparkleClock sparkleClock(uint lineIndex, float seed, ShaderUniforms u) {
    float sceneSeed = u.profile.x;
    float sparkleHash = fract(seed * 7.13 + sceneSeed * 13.71);
    float sparkleRate = lerp(0.120, 0.035, clamp(u.scene.z, 0.0, 1.0));
    float clockHash = fract(seed * 17.17 + sceneSeed * 3.11);
    float interval = lerp(0.75, 1.65, clockHash);
    float offset = fract(seed * 31.73 + sceneSeed * 7.07) * interval;
    float flashTime = remainderTowardZero(u.viewportTime.z + offset, interval);
    float flashDuration = lerp(0.060, 0.110, fract(seed * 23.41 + sceneSeed * 5.93));
    float flashPhase = clamp(flashTime / flashDuration, 0.0, 1.0);
    float flashSine = sin(flashPhase * 3.14159265);
    SparkleClock clock;
    clock.flash = flashSine * flashSine;
    clock.lit = (lineIndex == 0u || sparkleHash < sparkleRate) && flashTime < flashDuration;
    return clock;
}

// Sparkles start from whichever shell faces the camera, the front one on a tie.
WorldSegment sparkleSegment(ShellPoints shells) {
    if (shells.backDepth < shells.frontDepth) {
        return WorldSegment(shells.backA, shells.backB);
    }
    return WorldSegment(shells.frontA, shells.frontB);
}

StrokeStyle sparkleStyle(float flash, ShaderUniforms u) {
    float alpha = flash * (0.90 + u.dynamics.x * 0.06 + u.dynamics.y * 0.04);
    return StrokeStyle(1.0 + flash * 0.35, alpha * smoothCubic(0.02, 0.35, u.scene.y));
}

vec3 sparkleColor(float orientation, float spatial, float seed, ShaderUniforms u) {
    float sparkleHue = fract(u.profile.x * 0.28 + orientation * 0.13 + spatial * 0.08 + seed * 0.16
                             + u.scene.w * 0.127);
    return lerp(hsvToRGB(sparkleHue, 0.42, 1.0), vec3(1.0), 0.88);
}

// --- Colour of the structural, truss and glow roles.

// Each role's offset around the hue circle.
float roleHueOffset(uint role) {
    if (isBackRole(role)) {
        return 0.075;
    } else if (role == roleMiddleSurface) {
        return 0.54;
    } else if (role == roleConnectorA || role == roleConnectorB) {
        return 0.16;
    } else if (role == roleFrontShell || role == roleRibThird || role == roleRibTwoThirds) {
        return 0.62;
    } else if (role == roleDiagonal || role == roleCounterDiagonal) {
        return 0.79;
    }
    return 0.0;
}

// The hue drifts with the show, the stroke's direction and place, its seed, the role, the family,
// along the stroke (corner x) and with the audio.
vec3 lineColor(uint role, float orientation, float spatial, float seed, float cornerX, bool nearShell,
               ShaderUniforms u) {
    float energy = u.dynamics.x;
    float hue = fract(u.profile.x * 0.28 + u.viewportTime.w * 0.30 + orientation * 0.13 + spatial * 0.08
                      + seed * 0.16 + roleHueOffset(role) + u.scene.w * 0.127 + cornerX * (0.022 + energy * 0.016)
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
        value = 0.54 + u.dynamics.y * 0.12;
    }
    vec3 color = hsvToRGB(hue, saturation, value);
    if (role == roleFrontShell) {
        color = lerp(color, vec3(1.0), 0.08 + u.audio.x * 0.08);
    }
    return color;
}

// --- Placement on screen, shared by all roles.

// The segment in pixels (origin at the bottom left) with each end's depth along the view axis.
struct ScreenSegment {
    vec2 pixelA;
    vec2 pixelB;
    float depthA;
    float depthB;
    bool visible; // both ends lie between the near and the far plane
};

ScreenSegment projectSegment(WorldSegment world, vec2 viewport, ShaderUniforms u) {
    vec3 projectedA = projectWorldPoint(world.a, u);
    vec3 projectedB = projectWorldPoint(world.b, u);
    float near = u.targetNear.w;
    float far = u.projection.x;
    vec4 content = contentArea(viewport);
    ScreenSegment screen;
    screen.visible = !(projectedA.z <= near || projectedA.z >= far || projectedB.z <= near || projectedB.z >= far);
    screen.depthA = projectedA.z;
    screen.depthB = projectedB.z;
    screen.pixelA = content.xy + projectedA.xy * content.zw;
    screen.pixelB = content.xy + projectedB.xy * content.zw;
    return screen;
}

// A sparkle ray: from an anchor along the stroke, one pixel leg per role in one diagonal
// direction, at the anchor's depth. Strokes shorter than 4 pixels on screen do not sparkle.
ScreenSegment sparkleRay(uint role, ScreenSegment screen, float seed, vec2 viewport, ShaderUniforms u) {
    float sourceLength = max(0.001, length(screen.pixelB - screen.pixelA));
    float anchorT = 0.22 + fract(seed * 5.39 + u.profile.x * 0.73) * 0.56;
    vec2 anchor = lerp(screen.pixelA, screen.pixelB, anchorT);
    float radius = sparkleRadius(contentArea(viewport).w);
    vec2 direction;
    switch (role) {
    case roleFirstSparkle: direction = vec2(radius, radius); break;
    case roleFirstSparkle + 1u: direction = vec2(radius, -radius); break;
    case roleFirstSparkle + 2u: direction = vec2(-radius, -radius); break;
    default: direction = vec2(-radius, radius); break;
    }
    float anchorDepth = lerp(screen.depthA, screen.depthB, anchorT);
    ScreenSegment ray;
    ray.pixelA = anchor;
    ray.pixelB = anchor + direction;
    ray.depthA = anchorDepth;
    ray.depthB = anchorDepth;
    ray.visible = screen.visible && !(sourceLength < 4.0);
    return ray;
}

// Clip-space position of one quad corner: a quad of the given width centred on the line, without
// end caps.
vec4 quadPosition(ScreenSegment screen, vec2 corner, float width, vec2 viewport, ShaderUniforms u) {
    vec2 delta = screen.pixelB - screen.pixelA;
    vec2 normal = vec2(-delta.y, delta.x) / max(0.001, length(delta));
    float e = (corner.x + 1.0) / 2.0;
    vec2 pixel = lerp(screen.pixelA, screen.pixelB, e) + normal * corner.y * width * 0.5;
    vec2 clipXY = pixel / viewport * 2.0 - 1.0;
    float ndcDepth = lerp(cameraDepthToNDC(screen.depthA, u), cameraDepthToNDC(screen.depthB, u), e);
    float w = lerp(screen.depthA, screen.depthB, e);
    return vec4(clipXY * w, ndcDepth * w, w);
}

// --- One vertex of one stroke in one role.

StrokeVertex expandStroke(uint vertexNumber, uint instanceNumber, ShaderUniforms u) {
    vec2 c = quadCorner(vertexNumber);
    // An instance that is not drawn is moved outside the clip volume.
    StrokeVertex hidden = StrokeVertex(vec4(2.0, 2.0, 2.0, 1.0), vec3(0.0), 0.0, c.y);

    StrokeInstance instance = decodeInstance(instanceNumber, u);
    uint role = instance.role;
    float age = instance.stroke.metadata.x;
    float seed = instance.stroke.metadata.y;
    uint family = familyIdentifier(u.scene.w);

    // Whether the stroke carries the role. Without volume the shells coincide: only the front
    // shell, the glows and the sparkles remain. Most truss and sparkle instances are not drawn;
    // they skip the geometry, with the same result as computing it, since they would lie outside
    // the clip volume anyway.
    bool selected = instance.inBuffer && role <= roleLastSparkle;
    if (isTrussRole(role)) {
        vec3 rates = topologyRates(family, u.scene.z, u.profile.z);
        float roleSeed = fract(seed + u.profile.x * 0.754877666 + float(role) * 0.61803398875);
        selected = selected && trussSelected(role, nearestCount(instance.stroke.metadata.w), roleSeed, rates, family);
    }
    SparkleClock sparkle = SparkleClock(0.0, false);
    if (isSparkleRole(role)) {
        sparkle = sparkleClock(instance.lineIndex, seed, u);
        selected = selected && sparkle.lit;
    }
    if (needsVolume(role) && u.scene.y < 0.003) {
        selected = false;
    }
    if (!selected) {
        return hidden;
    }

    // World segment, width and opacity by role group.
    vec2 a = instance.stroke.endpoints.xy;
    vec2 b = instance.stroke.endpoints.zw;
    ShellPoints shells = shellPoints(a, b, u);
    bool nearShell = onNearShell(role, shells);
    WorldSegment world;
    StrokeStyle style;
    if (isStructuralRole(role)) {
        world = structuralSegment(role, a, b, shells, u);
        style = structuralStyle(role, nearShell, age, u);
    } else if (isTrussRole(role)) {
        world = trussSegment(role, a, b, shells, u);
        style = trussStyle(role, u);
    } else if (isGlowRole(role)) {
        world = glowSegment(role, shells);
        style = glowStyle(role, nearShell, u);
    } else {
        world = sparkleSegment(shells);
        style = sparkleStyle(sparkle.flash, u);
    }
    // Afterimages are faint, and fainter the older they are.
    style.alpha = style.alpha * (age > 0.0 ? 0.16 * (1.0 - age * 0.72) : 1.0);

    vec2 sourceVector = b - a;
    float orientation = angleOf(sourceVector.y, sourceVector.x) / 6.2831853;
    float spatial = dot((a + b) / 2.0, vec2(0.31, 0.69));
    vec3 color = isSparkleRole(role) ? sparkleColor(orientation, spatial, seed, u)
                                     : lineColor(role, orientation, spatial, seed, c.x, nearShell, u);

    vec2 viewport = max(u.viewportTime.xy, vec2(1.0));
    ScreenSegment screen = projectSegment(world, viewport, u);
    if (isSparkleRole(role)) {
        screen = sparkleRay(role, screen, seed, viewport, u);
    }
    if (!screen.visible) {
        return StrokeVertex(hidden.position, color, 0.0, c.y);
    }
    return StrokeVertex(quadPosition(screen, c, style.width, viewport, u), color, style.alpha, c.y);
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
