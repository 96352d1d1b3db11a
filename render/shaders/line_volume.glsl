// Volume geometry of the line program (included by line.glsl): the hue wheel, the family's rates of
// extra lines, a drawing point lifted onto the shells and middle surface of the scene's volume, and
// the camera that sees it.

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
