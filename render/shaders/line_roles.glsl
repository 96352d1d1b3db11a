// Stroke expansion of the line program (included by line.glsl): which roles a stroke carries, and
// for each role group its world segment, width, opacity and colour. line_screen.glsl places the
// result on screen.
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
