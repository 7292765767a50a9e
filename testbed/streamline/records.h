#pragma once
// Reading and writing Streamline records by their SDK byte offsets. The stand-in
// deliberately does not share the system's record declarations: reading the
// bytes where the SDK puts them is what catches a wrong layout on the other side.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fsr2bridge::standin {

template <class T> T readAt(const void* record, std::size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

template <class T> void writeAt(void* record, std::size_t offset, const T& value)
{
    std::memcpy(static_cast<unsigned char*>(record) + offset, &value, sizeof value);
}

// Every record starts with next (0), structType (8) and structVersion (24).
inline const void* recordNext(const void* r)
{
    return readAt<const void*>(r, 0);
}
inline GUID recordType(const void* r)
{
    return readAt<GUID>(r, 8);
}
inline std::uint64_t recordVersion(const void* r)
{
    return readAt<std::uint64_t>(r, 24);
}

inline constexpr GUID kViewportHandleType = {
    0x171B6435, 0x9B3C, 0x4FC8, {0x99, 0x94, 0xFB, 0xE5, 0x25, 0x69, 0xAA, 0xA4}};

// The viewport value of an sl::ViewportHandle.
inline std::uint32_t viewportOf(const void* handle)
{
    return handle ? readAt<std::uint32_t>(handle, 32) : 0xFFFFFFFFu;
}

// Streamline's feature ids and results as the stand-in uses them.
inline constexpr std::uint32_t kFeatureDLSS = 0;
inline constexpr std::uint32_t kFeatureNIS = 2;
inline constexpr std::uint32_t kFeatureReflex = 3;
inline constexpr std::uint32_t kFeatureDLSS_G = 1000;
inline constexpr int kResultOk = 0;
inline constexpr int kResultError = 1;
inline constexpr int kResultOSOutOfDate = 3;
inline constexpr int kResultOSDisabledHWS = 4;
inline constexpr int kResultNoSupportedAdapter = 6;
inline constexpr int kResultAdapterNotSupported = 7;
inline constexpr int kResultNGXFailed = 15;
inline constexpr int kResultInvalidIntegration = 19;
inline constexpr int kResultBadRecord = 25; // eErrorInvalidParameter
inline constexpr int kResultDuplicatedConstants = 27;
inline constexpr int kResultFeatureMissing = 31;
inline constexpr int kResultFeatureNotSupported = 32;
inline constexpr int kResultWarnOutOfVRAM = 39;

// Buffer types the evaluation looks for.
inline constexpr std::uint32_t kBufferTypeScalingInputColor = 3;
inline constexpr std::uint32_t kBufferTypeScalingOutputColor = 4;

// sl::ResourceTag (64 bytes) and sl::Resource (112 bytes) fields.
inline constexpr std::size_t kTagSize = 64;
inline constexpr std::size_t kTagResource = 32, kTagType = 40, kTagLifecycle = 44, kTagExtent = 48;
inline constexpr std::size_t kResourceKind = 32, kResourceNative = 40, kResourceMemory = 48,
                             kResourceView = 56, kResourceState = 64, kResourceWidth = 68,
                             kResourceGpuVa = 88, kResourceTail = 96;

struct Extent {
    std::uint32_t top, left, width, height;
};

} // namespace fsr2bridge::standin
