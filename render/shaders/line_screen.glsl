// Screen placement of the line program (included by line.glsl): the 16:9 content area, the segment
// in pixels, sparkle rays, the quad around the line, and the one vertex of one stroke in one role
// that the vertex stage draws.

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
