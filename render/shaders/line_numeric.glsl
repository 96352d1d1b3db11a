// Small numeric helpers of the line program (included by line.glsl): blends and smoothsteps that
// round exactly as written, an angle defined for the zero vector, a remainder, and counts and
// identifiers carried as floats.

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
