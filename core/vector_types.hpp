#pragma once
// Small single-precision vectors used for geometry, profiles, the camera and GPU records.
// Arithmetic is component-wise and always in float, in the order written.

namespace drevik {

struct Float2 {
    float x = 0, y = 0;
    friend bool operator==(const Float2&, const Float2&) = default;
};

struct Float3 {
    float x = 0, y = 0, z = 0;
    friend bool operator==(const Float3&, const Float3&) = default;
};

struct Float4 {
    float x = 0, y = 0, z = 0, w = 0;
    friend bool operator==(const Float4&, const Float4&) = default;
};

inline Float2 operator+(Float2 a, Float2 b) { return {a.x + b.x, a.y + b.y}; }
inline Float2 operator-(Float2 a, Float2 b) { return {a.x - b.x, a.y - b.y}; }
inline Float2 operator*(Float2 a, float s) { return {a.x * s, a.y * s}; }

inline Float3 operator+(Float3 a, Float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Float3 operator-(Float3 a, Float3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Float3 operator-(Float3 a) { return {-a.x, -a.y, -a.z}; }
inline Float3 operator*(Float3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline Float3 operator*(float s, Float3 a) { return a * s; }
inline float dot(Float3 a, Float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Float3 cross(Float3 a, Float3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

} // namespace drevik
