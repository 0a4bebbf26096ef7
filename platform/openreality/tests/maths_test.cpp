// The rotation conventions the plug-ins rely on, checked as properties rather than formulas.

#include <gtest/gtest.h>

#include <cmath>

#include "fbsdk/fbtypes.h"

namespace {

FBVector3d apply(const FBMatrix& m, const FBVector3d& v) {
    FBVector3d out;
    for (int i = 0; i < 3; ++i)
        out[i] = m(i, 0) * v[0] + m(i, 1) * v[1] + m(i, 2) * v[2];
    return out;
}

void expectSameRotation(const FBMatrix& a, const FBMatrix& b, const char* what) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(a(i, j), b(i, j), 1e-9) << what << " (" << i << "," << j << ")";
}

}  // namespace

TEST(Maths, XyzAppliesXThenYThenZToColumnVectors) {
    struct Case {
        FBVector3d angles, in, out;
    };
    const Case cases[] = {
        {{90, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{0, 90, 0}, {0, 0, 1}, {1, 0, 0}},
        {{0, 0, 90}, {1, 0, 0}, {0, 1, 0}},
        {{90, 90, 0}, {0, 1, 0}, {1, 0, 0}},  // y -> z by X, then z -> x by Y
        {{0, 90, 90}, {0, 0, 1}, {0, 1, 0}},  // z -> x by Y, then x -> y by Z
    };
    for (const Case& c : cases) {
        FBMatrix m;
        FBRotationToMatrix(m, c.angles);
        FBVector3d got = apply(m, c.in);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(got[i], c.out[i], 1e-12) << c.angles[0] << " " << c.angles[1];
    }
    FBQuaternion q;
    FBRotationToQuaternion(q, FBVector3d(90, 0, 0));
    EXPECT_NEAR(q[0], std::sqrt(0.5), 1e-15);  // x first, w last
    EXPECT_NEAR(q[3], std::sqrt(0.5), 1e-15);
}

TEST(Maths, ConversionsAgreeAndRoundTripInEveryOrder) {
    const FBVector3d angles[] = {{10, 20, 30},  {-170, 45, 120}, {171.87, -89.18, -179.99},
                                 {30, 90, -40}, {0, -90, 0},     {179, 1, -179}};
    for (int order = kFBXYZ; order <= kFBZYX; ++order) {
        auto o = static_cast<FBRotationOrder>(order);
        for (const FBVector3d& a : angles) {
            FBQuaternion q;
            FBRotationToQuaternion(q, a, o);
            FBMatrix fromEuler, fromQuaternion, back;
            FBRotationToMatrix(fromEuler, a, o);
            FBQuaternionToMatrix(fromQuaternion, q);
            expectSameRotation(fromEuler, fromQuaternion, "euler vs quaternion");
            FBVector3d again;
            FBQuaternionToRotation(again, q, o);
            FBRotationToMatrix(back, again, o);
            expectSameRotation(fromEuler, back, "round trip");
            for (int i = 0; i < 3; ++i)
                EXPECT_TRUE(std::isfinite(again[i]));
        }
    }
}

TEST(Maths, QuaternionProductRotatesByTheRightFactorFirst) {
    FBQuaternion a, b, ab;
    FBRotationToQuaternion(a, FBVector3d(0, 0, 90));
    FBRotationToQuaternion(b, FBVector3d(90, 0, 0));
    FBQMult(ab, a, b);
    FBMatrix ma, mb, product, direct;
    FBQuaternionToMatrix(ma, a);
    FBQuaternionToMatrix(mb, b);
    FBMatrixMult(product, ma, mb);
    FBQuaternionToMatrix(direct, ab);
    expectSameRotation(product, direct, "a*b");
    FBVector3d euler;
    FBQuaternionToRotation(euler, ab);
    EXPECT_NEAR(euler[0], 90, 1e-9);
    EXPECT_NEAR(euler[2], 90, 1e-9);
    FBMatrixToRotation(euler, direct);
    EXPECT_NEAR(euler[1], 0, 1e-9);
}
