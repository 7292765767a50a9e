#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <xmmintrin.h>

#include "upscaler/camera_constants.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

using namespace fsr2bridge;

namespace {

HostCameraState cameraWith(Vector3 right, Vector3 up, Vector3 forward, const float (&frustum)[6])
{
    HostCameraState camera{};
    std::memcpy(camera.cameraBasisBlock + 32, &right, sizeof right);
    std::memcpy(camera.cameraBasisBlock + 48, &up, sizeof up);
    std::memcpy(camera.cameraBasisBlock + 64, &forward, sizeof forward);
    std::memcpy(camera.frustumExtents, frustum, sizeof frustum);
    camera.filled = true;
    return camera;
}

constexpr float standardFrustum[6] = {-1, 1, 1, -1, 0.1f, 1000};

HostCameraState standardCamera()
{
    return cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, standardFrustum);
}

FfxFsr2DispatchDescription dispatchOf(std::uint32_t width, std::uint32_t height)
{
    FfxFsr2DispatchDescription d{};
    d.renderSize = {width, height};
    d.motionVectorScale = {static_cast<float>(width), static_cast<float>(height)};
    d.jitterOffset = {0.25f, -0.5f};
    d.cameraNear = 0.1f;
    d.cameraFar = 1000;
    d.cameraFovAngleVertical = 1.0f;
    return d;
}

Fsr2ContextRecord contextWithFlags(std::uint32_t flags)
{
    Fsr2ContextRecord record{};
    record.fsr2Flags = flags;
    return record;
}

sl::Constants build(const HostCameraState& camera, const FfxFsr2DispatchDescription& d,
                    std::uint32_t flags = 0)
{
    sl::Constants c;
    buildFrameConstants(contextWithFlags(flags), d, camera, c);
    return c;
}

std::uint8_t flagOf(sl::Boolean value)
{
    return static_cast<std::uint8_t>(value);
}

void expectMatrixEq(const Matrix4x4& actual, const Matrix4x4& expected)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(actual.m[i][j], expected.m[i][j]) << "entry " << i << "," << j;
        }
    }
}

void expectMatrixNear(const Matrix4x4& actual, const Matrix4x4& expected, float tolerance)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_NEAR(actual.m[i][j], expected.m[i][j], tolerance) << "entry " << i << "," << j;
        }
    }
}

bool everyFloatFinite(const sl::Constants& c)
{
    for (std::size_t offset = 32; offset < 444; offset += 4) {
        float f;
        std::memcpy(&f, reinterpret_cast<const unsigned char*>(&c) + offset, sizeof f);
        if (!std::isfinite(f)) {
            return false;
        }
    }
    return true;
}

class CameraConstants : public ::testing::Test {
protected:
    void SetUp() override { forgetCameraHistory(); }
};

} // namespace

TEST_F(CameraConstants, DefaultInitialisationMarksEveryValueUnset)
{
    sl::Constants c;
    std::memset(static_cast<void*>(&c), 0x55, sizeof c);
    defaultInitialiseConstants(c);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&c);
    std::uint64_t version;
    std::memcpy(&version, bytes + 24, sizeof version);
    EXPECT_EQ(version, 1u);
    const std::uint8_t guid[16] = {0xD7, 0x5A, 0xD3, 0xDC, 0x4A, 0x4E, 0xAD, 0x4B,
                                   0xA9, 0x0C, 0xE0, 0xC4, 0x9E, 0xB2, 0x3A, 0xFE};
    EXPECT_EQ(std::memcmp(bytes + 8, guid, 16), 0);
    for (std::size_t offset = 32; offset < 444; offset += 4) {
        std::uint32_t bits;
        std::memcpy(&bits, bytes + offset, 4);
        ASSERT_EQ(bits, 0x7F7FFFFFu) << "offset " << offset;
    }
    for (std::size_t offset : {444, 445, 446, 447}) {
        EXPECT_EQ(bytes[offset], 2) << "offset " << offset;
    }
    for (std::size_t offset : {448, 449, 450}) {
        EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
    }
}

TEST_F(CameraConstants, ProjectionRowsFromFrustum)
{
    const Matrix4x4 p = build(standardCamera(), dispatchOf(1920, 1080)).cameraViewToClip;
    const float c = 1.0f / (1000.0f - 0.1f);
    expectMatrixEq(
        p, Matrix4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1000.0f * c, 1}, {0, 0, -0.1f * 1000.0f * c, 0}}});
    EXPECT_NEAR(p.m[2][2], 1000.0 / 999.9, 1e-6);
    EXPECT_NEAR(p.m[3][2], -100.0 / 999.9, 1e-6);

    const float offCentre[6] = {-1, 3, 2, 0, 1, 11};
    const Matrix4x4 q = projectionFromFrustum(offCentre);
    const float c10 = 1.0f / 10.0f;
    expectMatrixEq(
        q, Matrix4x4{{{0.5f, 0, 0, 0}, {0, 1, 0, 0}, {-0.5f, -1, 11.0f * c10, 1}, {0, 0, -11.0f * c10, 0}}});
}

// Games often run with flush-to-zero and denormals-are-zero set. A plane sent as the largest finite float
// must still give a projection with depth, there as without those modes.
TEST_F(CameraConstants, ProjectionKeepsItsDepthForTheLargestPlanesInFlushToZeroMode)
{
    struct Case {
        const char* name;
        float nearPlane, farPlane;
        float scale, offset; // entries [2][2] and [3][2]
        double tolerance;
    };
    const float c = 1.0f / (1000.0f - 0.1f);
    const Case cases[] = {
        {"ordinary planes, as before", 0.1f, 1000.0f, 1000.0f * c, -0.1f * 1000.0f * c, 0.0},
        {"far at FLT_MAX", 0.1f, FLT_MAX, 1.0f, -0.1f, 1e-6},
        {"far at -FLT_MAX", 0.1f, -FLT_MAX, 1.0f, -0.1f, 1e-6},
        {"near at -FLT_MAX", -FLT_MAX, 1000.0f, 0.0f, 1000.0f, 1e-3},
    };
    constexpr unsigned flushToZero = 0x8000, denormalsAreZero = 0x0040;
    const unsigned saved = _mm_getcsr();
    for (const bool flushing : {false, true}) {
        _mm_setcsr(flushing ? saved | flushToZero | denormalsAreZero
                            : saved & ~(flushToZero | denormalsAreZero));
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(k.name) + (flushing ? ", flush-to-zero" : ""));
            const float frustum[6] = {-1, 1, 1, -1, k.nearPlane, k.farPlane};
            const Matrix4x4 p = projectionFromFrustum(frustum);
            if (k.tolerance == 0.0) {
                EXPECT_EQ(p.m[2][2], k.scale);
                EXPECT_EQ(p.m[3][2], k.offset);
            } else {
                EXPECT_NEAR(p.m[2][2], k.scale, k.tolerance);
                EXPECT_NEAR(p.m[3][2], k.offset, k.tolerance);
            }
            Matrix4x4 inverse{};
            invertMatrix4x4(inverse, p);
            Matrix4x4 product{};
            multiplyMatrix4x4(product, p, inverse);
            expectMatrixNear(product, identityMatrix4x4, 1e-3f);
        }
    }
    _mm_setcsr(saved);
}

TEST_F(CameraConstants, ScalarsFromDispatch)
{
    FfxFsr2DispatchDescription d = dispatchOf(1920, 1080);
    d.reset = true;
    const sl::Constants b = build(standardCamera(), d);
    EXPECT_EQ(b.mvecScale.x, 1.0f);
    EXPECT_EQ(b.mvecScale.y, 1.0f);
    EXPECT_EQ(b.cameraAspectRatio, 1920.0f / 1080.0f);
    EXPECT_NEAR(b.cameraAspectRatio, 1.7777778f, 1e-7);
    EXPECT_EQ(b.jitterOffset.x, 0.25f);
    EXPECT_EQ(b.jitterOffset.y, -0.5f);
    EXPECT_EQ(b.cameraNear, 0.1f);
    EXPECT_EQ(b.cameraFar, 1000.0f);
    EXPECT_EQ(b.cameraFOV, 1.0f);
    EXPECT_EQ(b.motionVectorsInvalidValue, FLT_MAX);
    EXPECT_EQ(flagOf(b.reset), 1);
    EXPECT_EQ(flagOf(b.cameraMotionIncluded), 1);
    EXPECT_EQ(flagOf(b.motionVectors3D), 0);
    for (const auto& row : b.clipToLensClip.m) {
        for (float value : row) {
            EXPECT_EQ(value, FLT_MAX);
        }
    }
    const Vector3 position = b.cameraPos;
    EXPECT_EQ(position.x, 0.0f);
    EXPECT_EQ(position.z, 0.0f);

    const sl::Constants half = build(standardCamera(), [] {
        FfxFsr2DispatchDescription h = dispatchOf(1280, 720);
        h.motionVectorScale = {-640, 360};
        return h;
    }());
    EXPECT_EQ(half.mvecScale.x, -0.5f);
    EXPECT_EQ(half.mvecScale.y, 0.5f);
    EXPECT_EQ(flagOf(half.reset), 0);
}

TEST_F(CameraConstants, FlagBitsSelectDepthAndJitterFlags)
{
    struct Case {
        std::uint32_t flags;
        std::uint8_t depthInverted;
        std::uint8_t jittered;
    };
    for (const Case& c :
         {Case{0x8, 1, 0}, Case{0x4, 0, 1}, Case{0x0, 0, 0}, Case{0xC, 1, 1}, Case{0xF3, 0, 0}}) {
        const sl::Constants b = build(standardCamera(), dispatchOf(1920, 1080), c.flags);
        EXPECT_EQ(flagOf(b.depthInverted), c.depthInverted) << "flags " << c.flags;
        EXPECT_EQ(flagOf(b.motionVectorsJittered), c.jittered) << "flags " << c.flags;
    }
}

TEST_F(CameraConstants, MatrixProductsAndInverses)
{
    const Matrix4x4 a{{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}};
    const Matrix4x4 b{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {1, 1, 1, 1}}};
    Matrix4x4 out;
    multiplyMatrix4x4(out, a, b);
    expectMatrixEq(out, Matrix4x4{{{6, 10, 16, 4}, {18, 26, 36, 8}, {30, 42, 56, 12}, {42, 58, 76, 16}}});
    multiplyMatrix4x4(out, identityMatrix4x4, a);
    expectMatrixEq(out, a);

    struct Case {
        Matrix4x4 m;
        Matrix4x4 inverse;
    };
    const Case cases[] = {
        {identityMatrix4x4, identityMatrix4x4},
        {b,
         Matrix4x4{
             {{0.5f, 0, 0, 0}, {0, 1.0f / 3.0f, 0, 0}, {0, 0, 0.25f, 0}, {-0.5f, -1.0f / 3.0f, -0.25f, 1}}}},
        {Matrix4x4{{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {4, 5, 6, 1}}},
         Matrix4x4{{{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {-5, 4, -6, 1}}}},
    };
    for (const Case& c : cases) {
        invertMatrix4x4(out, c.m);
        expectMatrixNear(out, c.inverse, 1e-6f);
        Matrix4x4 product;
        multiplyMatrix4x4(product, c.m, out);
        expectMatrixNear(product, identityMatrix4x4, 1e-6f);
    }
    // Singular: the unscaled adjugate stays (a has rank 2, so every cofactor is 0).
    invertMatrix4x4(out, a);
    expectMatrixEq(out, Matrix4x4{});
}

TEST_F(CameraConstants, ZeroDeterminantLeavesTheAdjugate)
{
    const float farAtZero[6] = {-1, 1, 1, -1, 0.1f, 0};
    FfxFsr2DispatchDescription d = dispatchOf(1920, 1080);
    const sl::Constants b = build(cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, farAtZero), d);
    Matrix4x4 adjugate{};
    adjugate.m[2][3] = -1;
    expectMatrixEq(b.clipToCameraView, adjugate);
    EXPECT_EQ(flagOf(b.reset), 0);
    EXPECT_TRUE(everyFloatFinite(b));
}

TEST_F(CameraConstants, FirstCallGivesClipToViewTimesRotation)
{
    const float frustum[6] = {-0.8f, 1.2f, 0.6f, -0.5f, 0.5f, 500};
    const HostCameraState camera = cameraWith({0.6f, 0, -0.8f}, {0, 1, 0}, {0.8f, 0, 0.6f}, frustum);
    const sl::Constants b = build(camera, dispatchOf(1920, 1080));
    const Vector3 r = b.cameraRight;
    const Vector3 u = b.cameraUp;
    const Vector3 f = b.cameraFwd;
    const Matrix4x4 rotation{{{r.x, r.y, r.z, 0}, {u.x, u.y, u.z, 0}, {f.x, f.y, f.z, 0}, {0, 0, 0, 1}}};
    Matrix4x4 expected;
    multiplyMatrix4x4(expected, b.clipToCameraView, rotation);
    expectMatrixEq(b.clipToPrevClip, expected);

    Matrix4x4 inverse;
    invertMatrix4x4(inverse, b.clipToPrevClip);
    expectMatrixEq(b.prevClipToClip, inverse);

    Matrix4x4 clipToView;
    invertMatrix4x4(clipToView, b.cameraViewToClip);
    expectMatrixEq(b.clipToCameraView, clipToView);

    // The camera and projection of this frame are the next frame's previous ones.
    expectMatrixEq(previousFrameMatrices().viewToClip, b.cameraViewToClip);
    expectMatrixEq(previousFrameMatrices().cameraToWorld,
                   Matrix4x4{{{r.x, r.y, r.z, 0}, {u.x, u.y, u.z, 0}, {f.x, f.y, f.z, 0}, {0, 0, 0, 1}}});
}

TEST_F(CameraConstants, UnchangedCameraMapsClipOntoItself)
{
    const float frustum[6] = {-0.7f, 0.7f, 0.4f, -0.4f, 0.1f, 100};
    const HostCameraState camera = cameraWith({0.6f, 0, -0.8f}, {0, 1, 0}, {0.8f, 0, 0.6f}, frustum);
    build(camera, dispatchOf(1920, 1080));
    const sl::Constants second = build(camera, dispatchOf(1920, 1080));
    expectMatrixNear(second.clipToPrevClip, identityMatrix4x4, 1e-5f);
    expectMatrixNear(second.prevClipToClip, identityMatrix4x4, 1e-5f);
}

TEST_F(CameraConstants, AxesAreNormalisedAndUpRecomputed)
{
    struct Case {
        Vector3 right, up, forward;
        Vector3 expectedRight, expectedUp, expectedForward;
    };
    const Case cases[] = {
        {{2, 0, 0}, {0, 5, 0}, {0, 0, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{1, 0, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{0, 0, -4}, {7, 7, 7}, {3, 0, 0}, {0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
        {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}},
    };
    for (const Case& c : cases) {
        const sl::Constants b =
            build(cameraWith(c.right, c.up, c.forward, standardFrustum), dispatchOf(1920, 1080));
        const Vector3 r = b.cameraRight, u = b.cameraUp, f = b.cameraFwd;
        EXPECT_EQ(r.x, c.expectedRight.x);
        EXPECT_EQ(r.y, c.expectedRight.y);
        EXPECT_EQ(r.z, c.expectedRight.z);
        EXPECT_EQ(u.x, c.expectedUp.x);
        EXPECT_EQ(u.y, c.expectedUp.y);
        EXPECT_EQ(u.z, c.expectedUp.z);
        EXPECT_EQ(f.x, c.expectedForward.x);
        EXPECT_EQ(f.y, c.expectedForward.y);
        EXPECT_EQ(f.z, c.expectedForward.z);
    }
}

// Each source of unusable camera data gives neutral values on every frame it lasts; the history is reset
// where the substitution starts and where it stops, not in between.
TEST_F(CameraConstants, UnusableCameraGivesNeutralValuesAndResetsWhereTheSubstitutionStartsOrStops)
{
    const float nan = std::nanf("");
    struct Case {
        const char* name;
        HostCameraState camera;
    };
    HostCameraState unfilled = standardCamera();
    unfilled.filled = false;
    const Case cases[] = {
        {"never filled", unfilled},
        {"load-time values",
         [] {
             HostCameraState s{};
             const float unset = FLT_MAX;
             for (std::size_t offset = 0; offset < 160; offset += 4) {
                 std::memcpy(s.cameraBasisBlock + offset, &unset, 4);
             }
             std::memset(s.cameraBasisBlock + 12, 0, 4);
             s.filled = true;
             return s;
         }()},
        {"zero right", cameraWith({0, 0, 0}, {0, 1, 0}, {0, 0, 1}, standardFrustum)},
        {"zero forward", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 0}, standardFrustum)},
        {"parallel axes", cameraWith({1, 0, 0}, {0, 1, 0}, {2, 0, 0}, standardFrustum)},
        {"NaN axis", cameraWith({nan, 0, 0}, {0, 1, 0}, {0, 0, 1}, standardFrustum)},
        {"left equals right", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1, -1, 0.1f, 1000})},
        {"top equals bottom", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 1, 1, 1, 0.1f, 1000})},
        {"near equals far", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 1, 1, -1, 5, 5})},
        {"NaN far", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 1, 1, -1, 0.1f, nan})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetCameraHistory();
        EXPECT_EQ(flagOf(build(standardCamera(), dispatchOf(1920, 1080)).reset), 0);
        for (const int expectedReset : {1, 0, 0}) {
            const sl::Constants b = build(c.camera, dispatchOf(1920, 1080));
            EXPECT_TRUE(everyFloatFinite(b));
            EXPECT_EQ(flagOf(b.reset), expectedReset);
            expectMatrixEq(b.cameraViewToClip, identityMatrix4x4);
            const Vector3 u = b.cameraUp;
            EXPECT_EQ(u.y, 1.0f);
            EXPECT_EQ(b.cameraRight.x, 1.0f);
            EXPECT_EQ(b.cameraFwd.z, 1.0f);
        }
        // The first usable frame resets (it compares against finite history); the next does not.
        for (const int expectedReset : {1, 0}) {
            const sl::Constants next = build(standardCamera(), dispatchOf(1920, 1080));
            EXPECT_TRUE(everyFloatFinite(next));
            EXPECT_EQ(flagOf(next.reset), expectedReset);
        }
    }
}

TEST_F(CameraConstants, NonFiniteDispatchScalarsStayUnsetAndResetWhereTheSubstitutionStartsOrStops)
{
    struct Case {
        const char* name;
        FfxFsr2DispatchDescription dispatch;
        float (*field)(const sl::Constants&);
    };
    auto with = [](auto change) {
        FfxFsr2DispatchDescription d = dispatchOf(1920, 1080);
        change(d);
        return d;
    };
    const Case cases[] = {
        {"zero render width", with([](auto& d) { d.renderSize.width = 0; }),
         [](const sl::Constants& c) { return c.mvecScale.x; }},
        {"zero render height", with([](auto& d) { d.renderSize.height = 0; }),
         [](const sl::Constants& c) { return c.cameraAspectRatio; }},
        {"NaN jitter", with([](auto& d) { d.jitterOffset.x = std::nanf(""); }),
         [](const sl::Constants& c) { return c.jitterOffset.x; }},
        {"NaN far", with([](auto& d) { d.cameraFar = std::nanf(""); }),
         [](const sl::Constants& c) { return c.cameraFar; }},
        {"NaN field of view", with([](auto& d) { d.cameraFovAngleVertical = std::nanf(""); }),
         [](const sl::Constants& c) { return c.cameraFOV; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetCameraHistory();
        for (const int expectedReset : {1, 0}) {
            const sl::Constants b = build(standardCamera(), c.dispatch);
            EXPECT_TRUE(everyFloatFinite(b));
            EXPECT_EQ(c.field(b), FLT_MAX);
            EXPECT_EQ(flagOf(b.reset), expectedReset);
            EXPECT_EQ(b.cameraViewToClip.m[0][0], 1.0f) << "the camera stays the host's";
        }
        EXPECT_EQ(flagOf(build(standardCamera(), dispatchOf(1920, 1080)).reset), 1) << "substitution stops";
    }
}

TEST_F(CameraConstants, ResetFollowsTheDispatchAndTheSubstitutionTogether)
{
    HostCameraState unfilled = standardCamera();
    unfilled.filled = false;
    struct Frame {
        bool cameraUsable;
        bool dispatchReset;
        int reset;
    };
    const Frame frames[] = {{true, true, 1},   {true, false, 0}, {false, false, 1}, {false, true, 1},
                            {false, false, 0}, {true, false, 1}, {true, true, 1},   {true, false, 0}};
    for (std::size_t i = 0; i < std::size(frames); ++i) {
        FfxFsr2DispatchDescription d = dispatchOf(1920, 1080);
        d.reset = frames[i].dispatchReset;
        const sl::Constants b = build(frames[i].cameraUsable ? standardCamera() : unfilled, d);
        EXPECT_EQ(flagOf(b.reset), frames[i].reset) << "frame " << i;
    }
}

// An infinite projection is legitimate: its plane is sent as the largest finite value of its sign, the rest
// of the camera stays the host's, and nothing is reset.
TEST_F(CameraConstants, InfinitePlanesAreSentAsTheLargestFiniteValueWithoutReset)
{
    const float inf = INFINITY;
    struct Case {
        const char* name;
        HostCameraState camera;
        float dispatchNear, dispatchFar;
        float sentNear, sentFar;
        float viewToClip22, viewToClip32; // of the projection built from the frustum
    };
    const float c = 1.0f / (1000.0f - 0.1f);
    const Case cases[] = {
        {"dispatch far +inf", standardCamera(), 0.1f, inf, 0.1f, FLT_MAX, 1000.0f * c, -0.1f * 1000.0f * c},
        {"dispatch far -inf", standardCamera(), 0.1f, -inf, 0.1f, -FLT_MAX, 1000.0f * c, -0.1f * 1000.0f * c},
        {"dispatch near -inf", standardCamera(), -inf, 1000, -FLT_MAX, 1000, 1000.0f * c,
         -0.1f * 1000.0f * c},
        {"host frustum far +inf", cameraWith({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 1, 1, -1, 0.1f, inf}),
         0.1f, 1000, 0.1f, 1000, 1.0f, -0.1f},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        forgetCameraHistory();
        build(standardCamera(), dispatchOf(1920, 1080));
        FfxFsr2DispatchDescription d = dispatchOf(1920, 1080);
        d.cameraNear = k.dispatchNear;
        d.cameraFar = k.dispatchFar;
        for (int frame = 0; frame < 2; ++frame) {
            const sl::Constants b = build(k.camera, d);
            EXPECT_TRUE(everyFloatFinite(b));
            EXPECT_EQ(flagOf(b.reset), 0);
            EXPECT_EQ(b.cameraNear, k.sentNear);
            EXPECT_EQ(b.cameraFar, k.sentFar);
            EXPECT_NEAR(b.cameraViewToClip.m[2][2], k.viewToClip22, 1e-5);
            EXPECT_NEAR(b.cameraViewToClip.m[3][2], k.viewToClip32, 1e-5);
            EXPECT_EQ(b.cameraViewToClip.m[0][0], 1.0f);
            EXPECT_EQ(b.cameraRight.x, 1.0f);
        }
        EXPECT_EQ(flagOf(build(standardCamera(), dispatchOf(1920, 1080)).reset), 0);
    }
}
