#include "upscaler/camera_constants.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "common/log.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

namespace fsr2bridge {

namespace {

inline constexpr LogEvent<bool, bool> substitutionStarted{
    "camera data unusable (host camera {}, dispatch values {}): neutral values sent, DLSS history reset"};
inline constexpr LogEvent<> substitutionEnded{"camera data usable again: DLSS history reset"};
LogError<> infinitePlane{"an infinite camera plane is sent as the largest finite value"};

// What one dispatch leaves for the next; shared by every FSR2 context and touched only by the dispatching
// thread.
struct CameraHistory {
    PreviousFrameMatrices previous{identityMatrix4x4, identityMatrix4x4};
    // Whether the last frame sent substituted values (neutral camera or unset scalars).
    bool substituting = false;
    // The last whole camera read; kept when the hook is writing for longer than the read waits.
    HostCameraState camera{};
};

constinit CameraHistory history;
PreviousFrameMatrices& previous = history.previous;

constexpr float unset = FLT_MAX;

sl::Boolean flag(bool value)
{
    return value ? sl::Boolean::eTrue : sl::Boolean::eFalse;
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
    const Vector3 right = normalised(c.cameraRight);
    c.cameraRight = right;
    const Vector3 forward = normalised(c.cameraFwd);
    c.cameraFwd = forward;
    const Vector3 up = normalised(cross(forward, right));
    c.cameraUp = up;
    const Vector3 position = c.cameraPos;

    const Matrix4x4 cameraToWorld{{{right.x, right.y, right.z, 0},
                                   {up.x, up.y, up.z, 0},
                                   {forward.x, forward.y, forward.z, 0},
                                   {position.x, position.y, position.z, 1}}};
    const Matrix4x4 rotation{{{right.x, right.y, right.z, 0},
                              {up.x, up.y, up.z, 0},
                              {forward.x, forward.y, forward.z, 0},
                              {0, 0, 0, 1}}};

    const Matrix4x4 viewToClip = c.cameraViewToClip;
    Matrix4x4 clipToView;
    invertMatrix4x4(clipToView, viewToClip);
    c.clipToCameraView = clipToView;

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
    multiplyMatrix4x4(c.clipToPrevClip, clipToPreviousView, before.viewToClip);
    invertMatrix4x4(c.prevClipToClip, c.clipToPrevClip);

    after.cameraToWorld = cameraToWorld;
    after.viewToClip = viewToClip;
}

// Camera vectors and projection of the record; the matrices follow from them.
void setCamera(sl::Constants& c, const Vector3& right, const Vector3& up, const Vector3& forward,
               const Matrix4x4& viewToClip)
{
    c.cameraRight = right;
    c.cameraUp = up;
    c.cameraFwd = forward;
    c.cameraViewToClip = viewToClip;
    invertMatrix4x4(c.clipToCameraView, viewToClip);
}

bool finite(const Matrix4x4& m)
{
    for (const auto& row : m.m) {
        for (float value : row) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
    }
    return true;
}

bool finite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool cameraFinite(const sl::Constants& c)
{
    return finite(c.cameraViewToClip) && finite(c.clipToCameraView) && finite(c.clipToLensClip) &&
           finite(c.clipToPrevClip) && finite(c.prevClipToClip) && finite(c.cameraPos) &&
           finite(c.cameraUp) && finite(c.cameraRight) && finite(c.cameraFwd);
}

// Scalars the dispatch supplies; a non-finite one stays at the record's FLT_MAX default.
bool keepFiniteScalars(sl::Constants& c)
{
    float* const scalars[] = {&c.jitterOffset.x, &c.jitterOffset.y, &c.mvecScale.x, &c.mvecScale.y,
                              &c.cameraNear,     &c.cameraFar,      &c.cameraFOV,   &c.cameraAspectRatio};
    bool replaced = false;
    for (float* scalar : scalars) {
        if (!std::isfinite(*scalar)) {
            *scalar = unset;
            replaced = true;
        }
    }
    return replaced;
}

// An infinite plane (an infinite projection) is sent as the largest finite value of its sign, as the host's
// own data and without a reset; NaN is left to the finiteness checks.
bool clampInfinitePlane(float& plane)
{
    if (!std::isinf(plane)) {
        return false;
    }
    plane = plane > 0 ? FLT_MAX : -FLT_MAX;
    return true;
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

namespace {

struct DepthEntries {
    float scale;  // row 2, column 2
    float offset; // row 3, column 2
};

// The depth entries far/(far - near) and -near*far/(far - near). For a depth range beyond 1/FLT_MIN (a plane
// sent as the largest finite float) 1/(far - near) is subnormal, which a thread in flush-to-zero mode (common
// in games) makes 0: a projection without depth. There the ratios are taken directly, each at most about 1.
DepthEntries depthEntries(float nearPlane, float farPlane)
{
    const float depth = farPlane - nearPlane;
    if (std::fabs(depth) < 1.0f / FLT_MIN) {
        const float c = 1.0f / depth;
        return {farPlane * c, -nearPlane * farPlane * c};
    }
    const float farRatio = farPlane / depth;
    const float nearRatio = nearPlane / depth;
    return {farRatio,
            std::fabs(farPlane) >= std::fabs(nearPlane) ? -nearPlane * farRatio : -farPlane * nearRatio};
}

} // namespace

Matrix4x4 projectionFromFrustum(const float frustum[6])
{
    const float left = frustum[0], right = frustum[1], top = frustum[2], bottom = frustum[3];
    const float a = 1.0f / (right - left);
    const float b = 1.0f / (top - bottom);
    const DepthEntries depth = depthEntries(frustum[4], frustum[5]);
    return Matrix4x4{{{2.0f * a, 0, 0, 0},
                      {0, 2.0f * b, 0, 0},
                      {-(right + left) * a, -(top + bottom) * b, depth.scale, 1},
                      {0, 0, depth.offset, 0}}};
}

void defaultInitialiseConstants(sl::Constants& c)
{
    c = sl::Constants{};
    const Matrix4x4 unsetMatrix{{{unset, unset, unset, unset},
                                 {unset, unset, unset, unset},
                                 {unset, unset, unset, unset},
                                 {unset, unset, unset, unset}}};
    c.cameraViewToClip = unsetMatrix;
    c.clipToCameraView = unsetMatrix;
    c.clipToLensClip = unsetMatrix;
    c.clipToPrevClip = unsetMatrix;
    c.prevClipToClip = unsetMatrix;
    c.jitterOffset = {unset, unset};
    c.mvecScale = {unset, unset};
    c.cameraPinholeOffset = {unset, unset};
    c.cameraPos = {unset, unset, unset};
    c.cameraUp = {unset, unset, unset};
    c.cameraRight = {unset, unset, unset};
    c.cameraFwd = {unset, unset, unset};
    c.cameraNear = unset;
    c.cameraFar = unset;
    c.cameraFOV = unset;
    c.cameraAspectRatio = unset;
    c.motionVectorsInvalidValue = unset;
    c.depthInverted = sl::Boolean::eInvalid;
    c.cameraMotionIncluded = sl::Boolean::eInvalid;
    c.motionVectors3D = sl::Boolean::eInvalid;
    c.reset = sl::Boolean::eInvalid;
}

void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         sl::Constants& c)
{
    readHostCamera(history.camera);
    buildFrameConstants(context, dispatch, history.camera, c);
}

void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         const HostCameraState& camera, sl::Constants& c)
{
    defaultInitialiseConstants(c);

    const float renderWidth = static_cast<float>(dispatch.renderSize.width);
    const float renderHeight = static_cast<float>(dispatch.renderSize.height);
    c.reset = flag(dispatch.reset);
    c.jitterOffset = {dispatch.jitterOffset.x, dispatch.jitterOffset.y};
    c.depthInverted = flag((context.fsr2Flags & FFX_FSR2_ENABLE_DEPTH_INVERTED) != 0);
    c.motionVectorsJittered =
        flag((context.fsr2Flags & FFX_FSR2_ENABLE_MOTION_VECTORS_JITTER_CANCELLATION) != 0);
    c.cameraMotionIncluded = sl::Boolean::eTrue;
    c.motionVectors3D = sl::Boolean::eFalse;
    c.mvecScale = {dispatch.motionVectorScale.x / renderWidth, dispatch.motionVectorScale.y / renderHeight};
    c.cameraPinholeOffset = {0.0f, 0.0f};
    c.cameraPos = {0.0f, 0.0f, 0.0f};
    c.orthographicProjection = sl::Boolean::eFalse;
    c.motionVectorsDilated = sl::Boolean::eFalse;
    c.motionVectorsInvalidValue = unset;
    c.cameraAspectRatio = renderWidth / renderHeight;
    c.cameraNear = dispatch.cameraNear;
    c.cameraFOV = dispatch.cameraFovAngleVertical;
    c.cameraFar = dispatch.cameraFar;
    float frustum[6];
    std::memcpy(frustum, camera.frustumExtents, sizeof frustum);
    bool clamped = clampInfinitePlane(c.cameraNear);
    clamped = clampInfinitePlane(c.cameraFar) || clamped;
    if (camera.filled) {
        clamped = clampInfinitePlane(frustum[4]) || clamped;
        clamped = clampInfinitePlane(frustum[5]) || clamped;
    }
    if (clamped) {
        logError(infinitePlane);
    }

    bool neutral = !camera.filled;
    bool restarted = false;
    PreviousFrameMatrices next;
    if (!neutral) {
        setCamera(c, basisVector(camera, 32), basisVector(camera, 48), basisVector(camera, 64),
                  projectionFromFrustum(frustum));
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
            restarted = true;
        }
    }
    const bool scalarsReplaced = keepFiniteScalars(c);
    // Substituted values are sent every frame they are needed; the history is reset only where the
    // substitution starts or stops (and where the game asks), so that DLSS keeps accumulating meanwhile.
    const bool substituting = neutral || scalarsReplaced;
    if (substituting != history.substituting) {
        if (substituting) {
            logEvent(substitutionStarted, neutral, scalarsReplaced);
        } else {
            logEvent(substitutionEnded);
        }
        c.reset = sl::Boolean::eTrue;
    }
    if (restarted) {
        c.reset = sl::Boolean::eTrue;
    }
    history.substituting = substituting;
    previous = next;
}

PreviousFrameMatrices& previousFrameMatrices()
{
    return previous;
}

void forgetCameraHistory()
{
    history = CameraHistory{};
}

} // namespace fsr2bridge
