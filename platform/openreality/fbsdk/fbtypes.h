#pragma once
// Value types of the animation host's SDK layer: strings, times, vectors, quaternions and
// matrices, and the rotation maths the plug-ins use. Plain values: no sharing, no locks.
//
// Conventions, fixed here so every caller gets one answer:
// - Angles of Euler rotations are in degrees.
// - Rotation order kFBXYZ (value 0): the rotation about X applies first, then Y, then Z, all
//   about the fixed parent axes; as a matrix acting on column vectors R = Rz * Ry * Rx.
// - FBQuaternion components: [0] x, [1] y, [2] z, [3] w (scalar last). FBQMult(a, b) is the
//   Hamilton product a * b: applying the result rotates by b first, then by a.
// - FBMatrix(row, column); rotation matrices act on column vectors (v' = M v), so column j is
//   the image of axis j and the translation sits in column 3.

#include <compare>
#include <cstdint>
#include <string>

// Every SDK type is visible from the shared library, also to plug-ins built with hidden
// symbols, so type checks across libraries agree.
#pragma GCC visibility push(default)

using kFBLongLong = std::int64_t;
// Opaque reference carried by list items and spreadsheet rows and columns.
using kReference = std::intptr_t;
// Host handle of a component (see FBGetFBObject).
using HIObject = void*;

class FBString {
  public:
    FBString() = default;
    FBString(const char* text) : m_text(text ? text : "") {}
    FBString(std::string text) : m_text(std::move(text)) {}
    operator const char*() const { return m_text.c_str(); }
    const char* c_str() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }
    int GetLen() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    FBString operator+(const char* other) const { return FBString(m_text + (other ? other : "")); }
    FBString& operator+=(const char* other) {
        m_text += other ? other : "";
        return *this;
    }
    bool operator==(const FBString& other) const { return m_text == other.m_text; }
    bool operator==(const char* other) const { return m_text == (other ? other : ""); }

  private:
    std::string m_text;
};

// Time in host ticks; kFBTimeOneSecond ticks per second, so every common frame period is an
// exact tick count.
class FBTime {
  public:
    static constexpr kFBLongLong kFBTimeOneSecond = 46186158000LL;

    constexpr FBTime() = default;
    constexpr explicit FBTime(kFBLongLong ticks) : m_ticks(ticks) {}
    // One frame of a rate given in frames per second (e.g. FBTime::Frame(60)).
    static constexpr FBTime Frame(int framesPerSecond) {
        return FBTime(framesPerSecond > 0 ? kFBTimeOneSecond / framesPerSecond : 0);
    }
    static FBTime FromSecondDouble(double seconds);

    constexpr kFBLongLong Get() const { return m_ticks; }
    constexpr void Set(kFBLongLong ticks) { m_ticks = ticks; }
    double GetSecondDouble() const { return static_cast<double>(m_ticks) / kFBTimeOneSecond; }
    void SetSecondDouble(double seconds) { *this = FromSecondDouble(seconds); }
    // Milliseconds, rounded towards zero.
    kFBLongLong GetMilliSeconds() const { return m_ticks / (kFBTimeOneSecond / 1000); }

    constexpr FBTime operator+(FBTime other) const { return FBTime(m_ticks + other.m_ticks); }
    constexpr FBTime operator-(FBTime other) const { return FBTime(m_ticks - other.m_ticks); }
    constexpr FBTime operator*(kFBLongLong n) const { return FBTime(m_ticks * n); }
    constexpr auto operator<=>(const FBTime&) const = default;

  private:
    kFBLongLong m_ticks = 0;
};

struct FBVector3d {
    double mValue[3] = {0.0, 0.0, 0.0};
    constexpr FBVector3d() = default;
    constexpr FBVector3d(double x, double y, double z) : mValue{x, y, z} {}
    double& operator[](int i) { return mValue[i]; }
    double operator[](int i) const { return mValue[i]; }
    operator double*() { return mValue; }
    operator const double*() const { return mValue; }
};

struct FBVector4d {
    double mValue[4] = {0.0, 0.0, 0.0, 0.0};
    constexpr FBVector4d() = default;
    constexpr FBVector4d(double a, double b, double c, double d) : mValue{a, b, c, d} {}
    double& operator[](int i) { return mValue[i]; }
    double operator[](int i) const { return mValue[i]; }
    operator double*() { return mValue; }
    operator const double*() const { return mValue; }
};

// (x, y, z, w); the identity is (0, 0, 0, 1).
struct FBQuaternion : FBVector4d {
    constexpr FBQuaternion() : FBVector4d(0.0, 0.0, 0.0, 1.0) {}
    constexpr FBQuaternion(double x, double y, double z, double w) : FBVector4d(x, y, z, w) {}
};

// 4x4, identity when constructed; see the conventions above.
class FBMatrix {
  public:
    FBMatrix();
    double& operator()(int row, int column) { return m[row * 4 + column]; }
    double operator()(int row, int column) const { return m[row * 4 + column]; }
    void Identity();

  private:
    double m[16];
};

enum FBRotationOrder {
    kFBXYZ = 0,
    kFBXZY = 1,
    kFBYXZ = 2,
    kFBYZX = 3,
    kFBZXY = 4,
    kFBZYX = 5,
};

// Euler angles (degrees) in the given order to a unit quaternion and back. The way back
// gives X and Z in (-180, 180] and Y in [-90, 90] for kFBXYZ; at Y = +-90 the whole turn
// about the shared axis goes to X. Orders other than kFBXYZ are applied axis by axis in the
// named sequence.
void FBRotationToQuaternion(FBQuaternion& out, const FBVector3d& rotation,
                            FBRotationOrder order = kFBXYZ);
void FBQuaternionToRotation(FBVector3d& out, const FBQuaternion& quaternion,
                            FBRotationOrder order = kFBXYZ);
// out = a * b (Hamilton product); out may alias a or b.
void FBQMult(FBQuaternion& out, const FBQuaternion& a, const FBQuaternion& b);
// The rotation part of out from Euler angles (degrees); the rest becomes identity.
void FBRotationToMatrix(FBMatrix& out, const FBVector3d& rotation, FBRotationOrder order = kFBXYZ);
void FBQuaternionToMatrix(FBMatrix& out, const FBQuaternion& quaternion);
// Euler angles (degrees, kFBXYZ) of the rotation part of m.
void FBMatrixToRotation(FBVector3d& out, const FBMatrix& m);
// out = a * b; out may alias a or b.
void FBMatrixMult(FBMatrix& out, const FBMatrix& a, const FBMatrix& b);

#pragma GCC visibility pop
