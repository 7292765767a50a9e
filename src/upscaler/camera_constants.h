#pragma once
// Per-frame camera constants for DLSS: projection and temporal matrices built from the camera data copied out
// of the host, plus the scalar values the FSR2 dispatch carries.
#include "streamline/sl_types.h"
#include "upscaler/fsr2_types.h"

namespace fsr2bridge {

struct Fsr2ContextRecord;
struct HostCameraState;

// Row-major 4x4 matrix, the layout Streamline's float4x4 has.
struct Matrix4x4 {
    float m[4][4];
};

struct Vector3 {
    float x, y, z;
};

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

// Completes up vector, clip-to-view and the temporal matrices of a record whose right, forward, position and
// view-to-clip are set, then moves the previous-frame matrices on.
void buildTemporalMatrices(sl::Constants& constants);

// Fills the record for one dispatch and moves the previous-frame matrices on. No NaN or infinity ever leaves:
// unfilled or degenerate camera data gives unit axes and identity projection with reset set, and a non-finite
// scalar from the dispatch stays at its FLT_MAX default with reset set.
void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         sl::Constants& constants);
// The same with the camera state passed in.
void buildFrameConstants(const Fsr2ContextRecord& context, const FfxFsr2DispatchDescription& dispatch,
                         const HostCameraState& camera, sl::Constants& constants);

PreviousFrameMatrices& previousFrameMatrices();

// Typed access to the record's matrix and vector fields, whatever their declared types.
Matrix4x4 matrixAt(const sl::Constants& constants, std::size_t offset);
void storeMatrixAt(sl::Constants& constants, std::size_t offset, const Matrix4x4& matrix);
Vector3 vectorAt(const sl::Constants& constants, std::size_t offset);
void storeVectorAt(sl::Constants& constants, std::size_t offset, const Vector3& vector);

// Byte offsets of the record's fields.
namespace constantsfield {
inline constexpr std::size_t cameraViewToClip = 32;
inline constexpr std::size_t clipToCameraView = 96;
inline constexpr std::size_t clipToLensClip = 160;
inline constexpr std::size_t clipToPrevClip = 224;
inline constexpr std::size_t prevClipToClip = 288;
inline constexpr std::size_t jitterOffset = 352;
inline constexpr std::size_t mvecScale = 360;
inline constexpr std::size_t cameraPinholeOffset = 368;
inline constexpr std::size_t cameraPos = 376;
inline constexpr std::size_t cameraUp = 388;
inline constexpr std::size_t cameraRight = 400;
inline constexpr std::size_t cameraFwd = 412;
inline constexpr std::size_t cameraNear = 424;
inline constexpr std::size_t cameraFar = 428;
inline constexpr std::size_t cameraFOV = 432;
inline constexpr std::size_t cameraAspectRatio = 436;
inline constexpr std::size_t motionVectorsInvalidValue = 440;
inline constexpr std::size_t depthInverted = 444;
inline constexpr std::size_t cameraMotionIncluded = 445;
inline constexpr std::size_t motionVectors3D = 446;
inline constexpr std::size_t reset = 447;
inline constexpr std::size_t orthographicProjection = 448;
inline constexpr std::size_t motionVectorsDilated = 449;
inline constexpr std::size_t motionVectorsJittered = 450;
} // namespace constantsfield

} // namespace fsr2bridge
