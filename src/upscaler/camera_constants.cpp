#include "upscaler/camera_constants.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

namespace fsr2bridge {

static_assert(sizeof(sl::Constants) == 456);
static_assert(offsetof(sl::Constants, cameraViewToClip) == constantsfield::cameraViewToClip);
static_assert(offsetof(sl::Constants, clipToCameraView) == constantsfield::clipToCameraView);
static_assert(offsetof(sl::Constants, clipToLensClip) == constantsfield::clipToLensClip);
static_assert(offsetof(sl::Constants, clipToPrevClip) == constantsfield::clipToPrevClip);
static_assert(offsetof(sl::Constants, prevClipToClip) == constantsfield::prevClipToClip);
static_assert(offsetof(sl::Constants, jitterOffset) == constantsfield::jitterOffset);
static_assert(offsetof(sl::Constants, mvecScale) == constantsfield::mvecScale);
static_assert(offsetof(sl::Constants, cameraPinholeOffset) == constantsfield::cameraPinholeOffset);
static_assert(offsetof(sl::Constants, cameraPos) == constantsfield::cameraPos);
static_assert(offsetof(sl::Constants, cameraUp) == constantsfield::cameraUp);
static_assert(offsetof(sl::Constants, cameraRight) == constantsfield::cameraRight);
static_assert(offsetof(sl::Constants, cameraFwd) == constantsfield::cameraFwd);
static_assert(offsetof(sl::Constants, cameraNear) == constantsfield::cameraNear);
static_assert(offsetof(sl::Constants, cameraFar) == constantsfield::cameraFar);
static_assert(offsetof(sl::Constants, cameraFOV) == constantsfield::cameraFOV);
static_assert(offsetof(sl::Constants, cameraAspectRatio) == constantsfield::cameraAspectRatio);
static_assert(offsetof(sl::Constants, motionVectorsInvalidValue) ==
              constantsfield::motionVectorsInvalidValue);
static_assert(offsetof(sl::Constants, depthInverted) == constantsfield::depthInverted);
static_assert(offsetof(sl::Constants, cameraMotionIncluded) == constantsfield::cameraMotionIncluded);
static_assert(offsetof(sl::Constants, motionVectors3D) == constantsfield::motionVectors3D);
static_assert(offsetof(sl::Constants, reset) == constantsfield::reset);
static_assert(offsetof(sl::Constants, orthographicProjection) == constantsfield::orthographicProjection);
static_assert(offsetof(sl::Constants, motionVectorsDilated) == constantsfield::motionVectorsDilated);
static_assert(offsetof(sl::Constants, motionVectorsJittered) == constantsfield::motionVectorsJittered);

namespace {

PreviousFrameMatrices previous{identityMatrix4x4, identityMatrix4x4};

unsigned char* bytesOf(sl::Constants& c)
{
    return reinterpret_cast<unsigned char*>(&c);
}

const unsigned char* bytesOf(const sl::Constants& c)
{
    return reinterpret_cast<const unsigned char*>(&c);
}

void storeFloat(sl::Constants& c, std::size_t offset, float value)
{
    std::memcpy(bytesOf(c) + offset, &value, sizeof value);
}

float floatAt(const sl::Constants& c, std::size_t offset)
{
    float value;
    std::memcpy(&value, bytesOf(c) + offset, sizeof value);
    return value;
}

void storeByte(sl::Constants& c, std::size_t offset, std::uint8_t value)
{
    bytesOf(c)[offset] = value;
}

Vector3 basisVector(const HostCameraState& camera, std::size_t offset)
{
    Vector3 v;
    std::memcpy(&v, camera.cameraBasisBlock + offset, sizeof v);
    return v;
}

Vector3 normalised(const Vector3& v)
{
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

Vector3 cross(const Vector3& f, const Vector3& r)
{
    return {f.y * r.z - f.z * r.y, f.z * r.x - f.x * r.z, f.x * r.y - f.y * r.x};
}

float dot(const Vector3& a, const Vector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vector3 rowVector(const Matrix4x4& m, int row)
{
    return {m.m[row][0], m.m[row][1], m.m[row][2]};
}

// Determinant of the 3x3 minor left by striking row r and column c, as six triple products.
float minorDeterminant(const Matrix4x4& m, int r, int c)
{
    int rows[3];
    int cols[3];
    for (int i = 0, ri = 0, ci = 0; i < 4; ++i) {
        if (i != r) {
            rows[ri++] = i;
        }
        if (i != c) {
            cols[ci++] = i;
        }
    }
    auto e = [&](int i, int j) { return m.m[rows[i]][cols[j]]; };
    return e(0, 0) * e(1, 1) * e(2, 2) - e(0, 0) * e(1, 2) * e(2, 1) - e(0, 1) * e(1, 0) * e(2, 2) +
           e(0, 1) * e(1, 2) * e(2, 0) + e(0, 2) * e(1, 0) * e(2, 1) - e(0, 2) * e(1, 1) * e(2, 0);
}

// The temporal part of the constants against a given previous frame; writes the next previous frame.
void temporalMatrices(sl::Constants& c, const PreviousFrameMatrices& before, PreviousFrameMatrices& after)
{
    using namespace constantsfield;
    const Vector3 right = normalised(vectorAt(c, cameraRight));
    storeVectorAt(c, cameraRight, right);
    const Vector3 forward = normalised(vectorAt(c, cameraFwd));
    storeVectorAt(c, cameraFwd, forward);
    const Vector3 up = normalised(cross(forward, right));
    storeVectorAt(c, cameraUp, up);
    const Vector3 position = vectorAt(c, cameraPos);

    const Matrix4x4 cameraToWorld{{{right.x, right.y, right.z, 0},
                                   {up.x, up.y, up.z, 0},
                                   {forward.x, forward.y, forward.z, 0},
                                   {position.x, position.y, position.z, 1}}};
    const Matrix4x4 rotation{{{right.x, right.y, right.z, 0},
                              {up.x, up.y, up.z, 0},
                              {forward.x, forward.y, forward.z, 0},
                              {0, 0, 0, 1}}};

    const Matrix4x4 viewToClip = matrixAt(c, cameraViewToClip);
    Matrix4x4 clipToView;
    invertMatrix4x4(clipToView, viewToClip);
    storeMatrixAt(c, clipToCameraView, clipToView);

    const Vector3 pr = rowVector(before.cameraToWorld, 0);
    const Vector3 pu = rowVector(before.cameraToWorld, 1);
    const Vector3 pf = rowVector(before.cameraToWorld, 2);
    const Vector3 pp = rowVector(before.cameraToWorld, 3);
    const Vector3 d{pp.x - position.x, pp.y - position.y, pp.z - position.z};
    const Matrix4x4 previousWorldToView{{{pr.x, pu.x, pf.x, 0},
                                         {pr.y, pu.y, pf.y, 0},
                                         {pr.z, pu.z, pf.z, 0},
                                         {-dot(pr, d), -dot(pu, d), -dot(pf, d), 1}}};

    Matrix4x4 viewToPreviousView;
    multiplyMatrix4x4(viewToPreviousView, rotation, previousWorldToView);
    Matrix4x4 clipToPreviousView;
    multiplyMatrix4x4(clipToPreviousView, clipToView, viewToPreviousView);
    Matrix4x4 clipToPrevious;
    multiplyMatrix4x4(clipToPrevious, clipToPreviousView, before.viewToClip);
    storeMatrixAt(c, clipToPrevClip, clipToPrevious);
    Matrix4x4 previousToClip;
    invertMatrix4x4(previousToClip, clipToPrevious);
    storeMatrixAt(c, prevClipToClip, previousToClip);

    after.cameraToWorld = cameraToWorld;
    after.viewToClip = viewToClip;
}

// Camera vectors and projection of the record; the matrices follow from them.
void setCamera(sl::Constants& c, const Vector3& right, const Vector3& up, const Vector3& forward,
               const Matrix4x4& viewToClip)
{
    using namespace constantsfield;
    storeVectorAt(c, cameraRight, right);
    storeVectorAt(c, cameraUp, up);
    storeVectorAt(c, cameraFwd, forward);
    storeMatrixAt(c, cameraViewToClip, viewToClip);
    Matrix4x4 clipToView;
    invertMatrix4x4(clipToView, viewToClip);
    storeMatrixAt(c, clipToCameraView, clipToView);
}

bool allFinite(const sl::Constants& c, std::size_t begin, std::size_t end)
{
    for (std::size_t offset = begin; offset < end; offset += sizeof(float)) {
        if (!std::isfinite(floatAt(c, offset))) {
            return false;
        }
    }
    return true;
}

bool cameraFinite(const sl::Constants& c)
{
    using namespace constantsfield;
    return allFinite(c, cameraViewToClip, jitterOffset) && allFinite(c, cameraPos, cameraNear);
}

// Scalars the dispatch supplies; a non-finite one stays at the record's FLT_MAX default.
bool keepFiniteScalars(sl::Constants& c)
{
    using namespace constantsfield;
    static constexpr std::size_t scalars[] = {jitterOffset, jitterOffset + 4, mvecScale, mvecScale + 4,
                                              cameraNear,   cameraFar,        cameraFOV, cameraAspectRatio};
    bool replaced = false;
    for (std::size_t offset : scalars) {
        if (!std::isfinite(floatAt(c, offset))) {
            storeFloat(c, offset, FLT_MAX);
            replaced = true;
        }
    }
    return replaced;
}

} // namespace

void multiplyMatrix4x4(Matrix4x4& out, const Matrix4x4& a, const Matrix4x4& b)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            out.m[i][j] =
                a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] + a.m[i][3] * b.m[3][j];
        }
    }
}

void invertMatrix4x4(Matrix4x4& out, const Matrix4x4& m)
{
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const float minor = minorDeterminant(m, r, c);
            out.m[c][r] = ((r + c) % 2 == 0) ? minor : -minor;
        }
    }
    const float det =
        m.m[0][0] * out.m[0][0] + m.m[0][1] * out.m[1][0] + m.m[0][2] * out.m[2][0] + m.m[0][3] * out.m[3][0];
    if (det == 0.0f) {
        return;
    }
    const float scale = 1.0f / det;
    for (auto& row : out.m) {
        for (float& value : row) {
            value *= scale;
        }
    }
}

Matrix4x4 projectionFromFrustum(const float frustum[6])
{
    const float left = frustum[0], right = frustum[1], top = frustum[2], bottom = frustum[3];
    const float nearPlane = frustum[4], farPlane = frustum[5];
    const float a = 1.0f / (right - left);
    const float b = 1.0f / (top - bottom);
    const float c = 1.0f / (farPlane - nearPlane);
    return Matrix4x4{{{2.0f * a, 0, 0, 0},
                      {0, 2.0f * b, 0, 0},
                      {-(right + left) * a, -(top + bottom) * b, farPlane * c, 1},
                      {0, 0, -nearPlane * farPlane * c, 0}}};
}

void defaultInitialiseConstants(sl::Constants& c)
{
    c = sl::Constants{};
    for (std::size_t offset = constantsfield::cameraViewToClip; offset < constantsfield::depthInverted;
         offset += sizeof(float)) {
        storeFloat(c, offset, FLT_MAX);
    }
    std::memset(bytesOf(c) + constantsfield::depthInverted, 2, 4);
    std::memset(bytesOf(c) + constantsfield::orthographicProjection, 0,
                sizeof c - constantsfield::orthographicProjection);
}

void buildTemporalMatrices(sl::Constants& c)
{
    PreviousFrameMatrices next;
    temporalMatrices(c, previous, next);
    previous = next;
}

void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         sl::Constants& c)
{
    buildFrameConstants(context, dispatch, hostCameraState(), c);
}

void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         const HostCameraState& camera, sl::Constants& c)
{
    using namespace constantsfield;
    defaultInitialiseConstants(c);

    const float renderWidth = static_cast<float>(dispatch.renderSize.width);
    const float renderHeight = static_cast<float>(dispatch.renderSize.height);
    storeByte(c, reset, dispatch.reset ? 1 : 0);
    storeFloat(c, jitterOffset, dispatch.jitterOffset.x);
    storeFloat(c, jitterOffset + 4, dispatch.jitterOffset.y);
    storeByte(c, depthInverted, (context.fsr2Flags & FFX_FSR2_ENABLE_DEPTH_INVERTED) ? 1 : 0);
    storeByte(c, motionVectorsJittered,
              (context.fsr2Flags & FFX_FSR2_ENABLE_MOTION_VECTORS_JITTER_CANCELLATION) ? 1 : 0);
    storeByte(c, cameraMotionIncluded, 1);
    storeByte(c, motionVectors3D, 0);
    storeFloat(c, mvecScale, dispatch.motionVectorScale.x / renderWidth);
    storeFloat(c, mvecScale + 4, dispatch.motionVectorScale.y / renderHeight);
    storeFloat(c, cameraPinholeOffset, 0.0f);
    storeFloat(c, cameraPinholeOffset + 4, 0.0f);
    storeVectorAt(c, cameraPos, {0.0f, 0.0f, 0.0f});
    storeByte(c, orthographicProjection, 0);
    storeByte(c, motionVectorsDilated, 0);
    storeFloat(c, motionVectorsInvalidValue, FLT_MAX);
    storeFloat(c, cameraAspectRatio, renderWidth / renderHeight);
    storeFloat(c, cameraNear, dispatch.cameraNear);
    storeFloat(c, cameraFOV, dispatch.cameraFovAngleVertical);
    storeFloat(c, cameraFar, dispatch.cameraFar);

    bool neutral = !camera.filled;
    PreviousFrameMatrices next;
    if (!neutral) {
        setCamera(c, basisVector(camera, 32), basisVector(camera, 48), basisVector(camera, 64),
                  projectionFromFrustum(camera.frustumExtents));
        temporalMatrices(c, previous, next);
        neutral = !cameraFinite(c);
    }
    if (neutral) {
        setCamera(c, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, identityMatrix4x4);
        temporalMatrices(c, previous, next);
        if (!cameraFinite(c)) {
            // Only an overflowing previous frame gets here: start the history afresh.
            previous = PreviousFrameMatrices{identityMatrix4x4, identityMatrix4x4};
            temporalMatrices(c, previous, next);
        }
    }
    const bool scalarsReplaced = keepFiniteScalars(c);
    if (neutral || scalarsReplaced) {
        storeByte(c, reset, 1);
    }
    previous = next;
}

PreviousFrameMatrices& previousFrameMatrices()
{
    return previous;
}

Matrix4x4 matrixAt(const sl::Constants& c, std::size_t offset)
{
    Matrix4x4 m;
    std::memcpy(&m, bytesOf(c) + offset, sizeof m);
    return m;
}

void storeMatrixAt(sl::Constants& c, std::size_t offset, const Matrix4x4& m)
{
    std::memcpy(bytesOf(c) + offset, &m, sizeof m);
}

Vector3 vectorAt(const sl::Constants& c, std::size_t offset)
{
    Vector3 v;
    std::memcpy(&v, bytesOf(c) + offset, sizeof v);
    return v;
}

void storeVectorAt(sl::Constants& c, std::size_t offset, const Vector3& v)
{
    std::memcpy(bytesOf(c) + offset, &v, sizeof v);
}

} // namespace fsr2bridge
