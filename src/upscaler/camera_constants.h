#pragma once
// Per-frame camera constants for DLSS: projection and temporal matrices built from the camera data copied out
// of the host, plus the scalar values the FSR2 dispatch carries.
#include "streamline/sl_types.h"
#include "upscaler/fsr2_types.h"

namespace fsr2bridge {

struct Fsr2ContextRecord;
struct HostCameraState;

// Streamline's row-major 4x4 matrix and 3-vector.
using Matrix4x4 = sl::float4x4;
using Vector3 = sl::float3;

// The camera of the previous dispatch, shared by every FSR2 context.
struct PreviousFrameMatrices {
    Matrix4x4 cameraToWorld;
    Matrix4x4 viewToClip;
};

inline constexpr Matrix4x4 identityMatrix4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

// out = a * b; out never aliases an input.
void multiplyMatrix4x4(Matrix4x4& out, const Matrix4x4& a, const Matrix4x4& b);
// out = adjugate(m) / det(m); with a determinant of exactly 0, out is left as the unscaled adjugate.
void invertMatrix4x4(Matrix4x4& out, const Matrix4x4& m);

// The projection built from left, right, top, bottom, near and far.
Matrix4x4 projectionFromFrustum(const float frustum[6]);

// FLT_MAX in every float, 2 ("invalid") in the four leading flags, 0 in the last three.
void defaultInitialiseConstants(sl::Constants& constants);

// Fills the record for one dispatch and moves the previous-frame matrices on. No NaN or infinity ever leaves:
// unfilled or degenerate camera data gives unit axes and identity projection, and a non-finite scalar from
// the dispatch stays at its FLT_MAX default; an infinite near or far plane is sent as the largest finite
// value of its sign, the rest of the camera being the host's. Reset is set where the dispatch asks for it and
// on the frames where substituting values starts or stops, not on every substituted frame.
void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         sl::Constants& constants);
// The same with the camera state passed in (the first reads the one the camera hook published).
void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         const HostCameraState& camera, sl::Constants& constants);

PreviousFrameMatrices& previousFrameMatrices();
// The state before the first dispatch: identity previous frame, no substitution under way, no camera read.
void forgetCameraHistory();

} // namespace fsr2bridge
