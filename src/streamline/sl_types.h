#pragma once
// Streamline records, enumerations and entry-point types, laid out byte for byte
// as the Streamline SDK 2.1.1 structures on x64. A record smaller than the SDK's
// would let Streamline write past it, so every size and offset is asserted.
#include <cstddef>
#include <cstdint>

namespace sl {

// 128-bit structure identifier, the in-memory layout of a Windows GUID.
struct StructType {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];

    friend constexpr bool operator==(const StructType& a, const StructType& b)
    {
        if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.data4[i] != b.data4[i])
                return false;
        return true;
    }
};
static_assert(sizeof(StructType) == 16);

// Identifiers and versions of the records the system builds.
inline constexpr StructType kPreferencesType{
    0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x14}};
inline constexpr StructType kAdapterInfoType{
    0x0677315F, 0xA746, 0x4492, {0x9F, 0x42, 0xCB, 0x61, 0x42, 0xC9, 0xC3, 0xD4}};
inline constexpr StructType kViewportHandleType{
    0x171B6435, 0x9B3C, 0x4FC8, {0x99, 0x94, 0xFB, 0xE5, 0x25, 0x69, 0xAA, 0xA4}};
inline constexpr StructType kReflexOptionsType{
    0xF03AF81A, 0x6D0B, 0x4902, {0xA6, 0x51, 0xC4, 0x96, 0x5E, 0x21, 0x54, 0x34}};
inline constexpr StructType kReflexReportType{
    0x0D569B37, 0xA1C8, 0x4453, {0xBE, 0x4D, 0x40, 0xF4, 0xDE, 0x57, 0x95, 0x2B}};
inline constexpr StructType kReflexStateType{
    0xF0BB5985, 0xDAF9, 0x4728, {0xB2, 0xFD, 0xAE, 0x80, 0xA2, 0xBD, 0x79, 0x89}};
inline constexpr StructType kConstantsType{
    0xDCD35AD7, 0x4E4A, 0x4BAD, {0xA9, 0x0C, 0xE0, 0xC4, 0x9E, 0xB2, 0x3A, 0xFE}};
inline constexpr StructType kResourceType{
    0x3A9D70CF, 0x2418, 0x4B72, {0x83, 0x91, 0x13, 0xF8, 0x72, 0x1C, 0x72, 0x61}};
inline constexpr StructType kResourceTagType{
    0x4C6A5AAD, 0xB445, 0x496C, {0x87, 0xFF, 0x1A, 0xF3, 0x84, 0x5B, 0xE6, 0x53}};
inline constexpr StructType kDLSSOptionsType{
    0x6AC826E4, 0x4C61, 0x4101, {0xA9, 0x2D, 0x63, 0x8D, 0x42, 0x10, 0x57, 0xB8}};
inline constexpr StructType kDLSSGOptionsType{
    0xFAC5F1CB, 0x2DFD, 0x4F36, {0xA1, 0xE6, 0x3A, 0x9E, 0x86, 0x52, 0x56, 0xC5}};
inline constexpr StructType kDLSSGStateType{
    0xCC8AC8E1, 0xA179, 0x44F5, {0x97, 0xFA, 0xE7, 0x41, 0x12, 0xF9, 0xBC, 0x61}};
inline constexpr StructType kNISOptionsType{
    0x676610E5, 0x9674, 0x4D3A, {0x9C, 0x8A, 0xF4, 0x95, 0xD0, 0x1B, 0x36, 0xF3}};
inline constexpr StructType kDLSSOptimalSettingsType{
    0xEF1D0957, 0xFD58, 0x4DF7, {0xB5, 0x04, 0x8B, 0x69, 0xD8, 0xAA, 0x6B, 0x76}};

inline constexpr std::uint64_t kPreferencesVersion = 1;
inline constexpr std::uint64_t kAdapterInfoVersion = 1;
inline constexpr std::uint64_t kViewportHandleVersion = 1;
inline constexpr std::uint64_t kReflexOptionsVersion = 1;
inline constexpr std::uint64_t kReflexReportVersion = 1;
inline constexpr std::uint64_t kReflexStateVersion = 1;
inline constexpr std::uint64_t kConstantsVersion = 1;
inline constexpr std::uint64_t kResourceVersion = 1;
inline constexpr std::uint64_t kResourceTagVersion = 1;
inline constexpr std::uint64_t kDLSSOptionsVersion = 2;
inline constexpr std::uint64_t kDLSSGOptionsVersion = 1;
inline constexpr std::uint64_t kDLSSGStateVersion = 1;
inline constexpr std::uint64_t kNISOptionsVersion = 1;
inline constexpr std::uint64_t kDLSSOptimalSettingsVersion = 1;

// SDK 2.1.1: major in bits 63-48, minor 47-32, patch 31-16, check value 0xFEDC.
inline constexpr std::uint64_t kSDKVersion = 0x000200010001FEDCull;

// Every value of SDK 2.1.1. The last ones, from eWarnOutOfVRAM on, are warnings: the call did its work.
enum class Result : int {
    eOk = 0,
    eErrorIO = 1,
    eErrorDriverOutOfDate = 2,
    eErrorOSOutOfDate = 3,
    eErrorOSDisabledHWS = 4,
    eErrorDeviceNotCreated = 5,
    eErrorNoSupportedAdapterFound = 6,
    eErrorAdapterNotSupported = 7,
    eErrorNoPlugins = 8,
    eErrorVulkanAPI = 9,
    eErrorDXGIAPI = 10,
    eErrorD3DAPI = 11,
    eErrorNRDAPI = 12,
    eErrorNVAPI = 13,
    eErrorReflexAPI = 14,
    eErrorNGXFailed = 15,
    eErrorJSONParsing = 16,
    eErrorMissingProxy = 17,
    eErrorMissingResourceState = 18,
    eErrorInvalidIntegration = 19,
    eErrorMissingInputParameter = 20,
    eErrorNotInitialized = 21,
    eErrorComputeFailed = 22,
    eErrorInitNotCalled = 23,
    eErrorExceptionHandler = 24,
    eErrorInvalidParameter = 25,
    eErrorMissingConstants = 26,
    eErrorDuplicatedConstants = 27,
    eErrorMissingOrInvalidAPI = 28,
    eErrorCommonConstantsMissing = 29,
    eErrorUnsupportedInterface = 30,
    eErrorFeatureMissing = 31,
    eErrorFeatureNotSupported = 32,
    eErrorFeatureMissingHooks = 33,
    eErrorFeatureFailedToLoad = 34,
    eErrorFeatureWrongPriority = 35,
    eErrorFeatureMissingDependency = 36,
    eErrorFeatureManagerInvalidState = 37,
    eErrorInvalidState = 38,
    eWarnOutOfVRAM = 39,
};

// A warning result: the call did its work and says something about it (eWarnOutOfVRAM: the process is
// at its video-memory budget). Values a later SDK appends after the last error are warnings too.
constexpr bool isWarning(Result result)
{
    return static_cast<int>(result) >= static_cast<int>(Result::eWarnOutOfVRAM);
}

// The SDK's name of a result, for the log's {n} (streamline_api.cpp).
const char* logName(Result result) noexcept;

using Feature = std::uint32_t;
inline constexpr Feature kFeatureDLSS = 0;
inline constexpr Feature kFeatureNIS = 2;
inline constexpr Feature kFeatureReflex = 3;
inline constexpr Feature kFeatureDLSS_G = 1000;

using BufferType = std::uint32_t;
inline constexpr BufferType kBufferTypeDepth = 0;
inline constexpr BufferType kBufferTypeMotionVectors = 1;
inline constexpr BufferType kBufferTypeHUDLessColor = 2;
inline constexpr BufferType kBufferTypeScalingInputColor = 3;
inline constexpr BufferType kBufferTypeScalingOutputColor = 4;
inline constexpr BufferType kBufferTypeTransparencyHint = 27;

enum class ResourceLifecycle : std::uint32_t {
    eOnlyValidNow = 0,
    eValidUntilPresent = 1,
    eValidUntilEvaluate = 2,
};

enum class ResourceType : std::uint8_t {
    eTex2d = 0,
    eBuffer = 1,
    eCommandQueue = 2,
    eCommandBuffer = 3,
    eCommandPool = 4,
    eFence = 5,
    eSwapchain = 6,
};

// Streamline's tri-state flag: eInvalid marks a field the caller did not set.
enum class Boolean : std::uint8_t { eFalse = 0, eTrue = 1, eInvalid = 2 };

enum class LogLevel : std::uint32_t { eOff = 0, eDefault = 1, eVerbose = 2 };

enum class EngineType : std::uint32_t { eCustom = 0, eUnreal = 1, eUnity = 2 };

enum class RenderAPI : std::uint32_t { eD3D11 = 0, eD3D12 = 1, eVulkan = 2 };

// Bits of Preferences::flags.
inline constexpr std::uint64_t kPreferenceDisableCLStateTracking = 1ull << 0;
inline constexpr std::uint64_t kPreferenceDisableDebugText = 1ull << 1;
inline constexpr std::uint64_t kPreferenceUseManualHooking = 1ull << 2;
inline constexpr std::uint64_t kPreferenceAllowOTA = 1ull << 3;
inline constexpr std::uint64_t kPreferenceLoadDownloadedPlugins = 1ull << 6;

enum class ReflexMode : std::uint32_t { eOff = 0, eLowLatency = 1, eLowLatencyWithBoost = 2 };

enum class ReflexMarker : std::uint32_t {
    eSimulationStart = 0,
    eSimulationEnd = 1,
    eRenderSubmitStart = 2,
    eRenderSubmitEnd = 3,
    ePresentStart = 4,
    ePresentEnd = 5,
    eInputSample = 6,
    eTriggerFlash = 7,
    ePCLatencyPing = 8,
};

enum class DLSSMode : std::uint32_t {
    eOff = 0,
    eMaxPerformance = 1,
    eBalanced = 2,
    eMaxQuality = 3,
    eUltraPerformance = 4,
    eUltraQuality = 5,
    eDLAA = 6,
};

enum class DLSSPreset : std::uint32_t {
    eDefault = 0,
    ePresetA = 1,
    ePresetB = 2,
    ePresetC = 3,
    ePresetD = 4,
    ePresetE = 5,
    ePresetF = 6,
    ePresetG = 7,
};

enum class DLSSGMode : std::uint32_t { eOff = 0, eOn = 1 };

// Bits of DLSSGOptions::flags.
inline constexpr std::uint32_t kDLSSGFlagShowOnlyInterpolatedFrame = 1u << 0;
inline constexpr std::uint32_t kDLSSGFlagDynamicResolutionEnabled = 1u << 1;
inline constexpr std::uint32_t kDLSSGFlagRequestVRAMEstimate = 1u << 2;
// From Streamline 2.3.0 (sl_dlss_g.h): off keeps Frame Generation's resources (2.2.1 and later release them).
inline constexpr std::uint32_t kDLSSGFlagRetainResourcesWhenOff = 1u << 3;

enum class NISMode : std::uint32_t { eOff = 0, eScaler = 1, eSharpen = 2 };
enum class NISHDR : std::uint32_t { eNone = 0, eLinear = 1, ePQ = 2 };

// Opaque objects owned by Streamline; the system only passes pointers to them.
struct FrameToken;
struct CommandBuffer;

// Header of every record: chain pointer, identifier, version.
struct BaseStructure {
    BaseStructure* next = nullptr;
    StructType structType{};
    std::uint64_t structVersion = 0;
};
static_assert(offsetof(BaseStructure, next) == 0);
static_assert(offsetof(BaseStructure, structType) == 8);
static_assert(offsetof(BaseStructure, structVersion) == 24);
static_assert(sizeof(BaseStructure) == 32);

// Every record below repeats the header fields so that it stays a plain
// standard-layout struct; this views one as its header for calls that take
// BaseStructure pointers.
template <class Record> inline const BaseStructure* asBaseStructure(const Record& record)
{
    static_assert(offsetof(Record, next) == 0 && offsetof(Record, structType) == 8 &&
                  offsetof(Record, structVersion) == 24);
    return reinterpret_cast<const BaseStructure*>(&record);
}

struct Extent {
    std::uint32_t top = 0;
    std::uint32_t left = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
static_assert(offsetof(Extent, top) == 0);
static_assert(offsetof(Extent, left) == 4);
static_assert(offsetof(Extent, width) == 8);
static_assert(offsetof(Extent, height) == 12);
static_assert(sizeof(Extent) == 16);

struct float2 {
    float x, y;
};
struct float3 {
    float x, y, z;
};
// Row-major 4x4 matrix.
struct float4x4 {
    float m[4][4];
};
static_assert(sizeof(float2) == 8 && sizeof(float3) == 12 && sizeof(float4x4) == 64);

using PFun_LogMessageCallback = void(LogLevel type, const char* message);
using PFun_ResourceAllocateCallback = void*(const void* desc, void* device);
using PFun_ResourceReleaseCallback = void(void* resource, void* device);

struct Preferences {
    BaseStructure* next = nullptr;
    StructType structType = kPreferencesType;
    std::uint64_t structVersion = kPreferencesVersion;
    bool showConsole = false;
    LogLevel logLevel = LogLevel::eDefault;
    const wchar_t** pathsToPlugins = nullptr;
    std::uint32_t numPathsToPlugins = 0;
    const wchar_t* pathToLogsAndData = nullptr;
    PFun_ResourceAllocateCallback* allocateCallback = nullptr;
    PFun_ResourceReleaseCallback* releaseCallback = nullptr;
    PFun_LogMessageCallback* logMessageCallback = nullptr;
    std::uint64_t flags = 0;
    const Feature* featuresToLoad = nullptr;
    std::uint32_t numFeaturesToLoad = 0;
    std::uint32_t applicationId = 0;
    EngineType engine = EngineType::eCustom;
    const char* engineVersion = nullptr;
    const char* projectId = nullptr;
    RenderAPI renderAPI = RenderAPI::eD3D12;
};
static_assert(offsetof(Preferences, next) == 0);
static_assert(offsetof(Preferences, structType) == 8);
static_assert(offsetof(Preferences, structVersion) == 24);
static_assert(offsetof(Preferences, showConsole) == 32);
static_assert(offsetof(Preferences, logLevel) == 36);
static_assert(offsetof(Preferences, pathsToPlugins) == 40);
static_assert(offsetof(Preferences, numPathsToPlugins) == 48);
static_assert(offsetof(Preferences, pathToLogsAndData) == 56);
static_assert(offsetof(Preferences, allocateCallback) == 64);
static_assert(offsetof(Preferences, releaseCallback) == 72);
static_assert(offsetof(Preferences, logMessageCallback) == 80);
static_assert(offsetof(Preferences, flags) == 88);
static_assert(offsetof(Preferences, featuresToLoad) == 96);
static_assert(offsetof(Preferences, numFeaturesToLoad) == 104);
static_assert(offsetof(Preferences, applicationId) == 108);
static_assert(offsetof(Preferences, engine) == 112);
static_assert(offsetof(Preferences, engineVersion) == 120);
static_assert(offsetof(Preferences, projectId) == 128);
static_assert(offsetof(Preferences, renderAPI) == 136);
static_assert(sizeof(Preferences) == 144);

struct AdapterInfo {
    BaseStructure* next = nullptr;
    StructType structType = kAdapterInfoType;
    std::uint64_t structVersion = kAdapterInfoVersion;
    std::uint8_t* deviceLUID = nullptr;
    std::uint32_t deviceLUIDSizeInBytes = 0;
    void* vkPhysicalDevice = nullptr;
};
static_assert(offsetof(AdapterInfo, deviceLUID) == 32);
static_assert(offsetof(AdapterInfo, deviceLUIDSizeInBytes) == 40);
static_assert(offsetof(AdapterInfo, vkPhysicalDevice) == 48);
static_assert(sizeof(AdapterInfo) == 56);

struct ViewportHandle {
    BaseStructure* next = nullptr;
    StructType structType = kViewportHandleType;
    std::uint64_t structVersion = kViewportHandleVersion;
    std::uint32_t value = 0xFFFFFFFFu; // no viewport yet
};
static_assert(offsetof(ViewportHandle, value) == 32);
static_assert(sizeof(ViewportHandle) == 40);

struct ReflexOptions {
    BaseStructure* next = nullptr;
    StructType structType = kReflexOptionsType;
    std::uint64_t structVersion = kReflexOptionsVersion;
    ReflexMode mode = ReflexMode::eOff;
    std::uint32_t frameLimitUs = 0;
    bool useMarkersToOptimize = false;
    std::uint16_t virtualKey = 0;
    std::uint32_t idThread = 0;
};
static_assert(offsetof(ReflexOptions, mode) == 32);
static_assert(offsetof(ReflexOptions, frameLimitUs) == 36);
static_assert(offsetof(ReflexOptions, useMarkersToOptimize) == 40);
static_assert(offsetof(ReflexOptions, virtualKey) == 42);
static_assert(offsetof(ReflexOptions, idThread) == 44);
static_assert(sizeof(ReflexOptions) == 48);

struct ReflexReport {
    BaseStructure* next = nullptr;
    StructType structType = kReflexReportType;
    std::uint64_t structVersion = kReflexReportVersion;
    std::uint64_t frameID = 0;
    std::uint64_t inputSampleTime = 0;
    std::uint64_t simStartTime = 0;
    std::uint64_t simEndTime = 0;
    std::uint64_t renderSubmitStartTime = 0;
    std::uint64_t renderSubmitEndTime = 0;
    std::uint64_t presentStartTime = 0;
    std::uint64_t presentEndTime = 0;
    std::uint64_t driverStartTime = 0;
    std::uint64_t driverEndTime = 0;
    std::uint64_t osRenderQueueStartTime = 0;
    std::uint64_t osRenderQueueEndTime = 0;
    std::uint64_t gpuRenderStartTime = 0;
    std::uint64_t gpuRenderEndTime = 0;
    std::uint32_t gpuActiveRenderTimeUs = 0;
    std::uint32_t gpuFrameTimeUs = 0;
};
static_assert(offsetof(ReflexReport, frameID) == 32);
static_assert(offsetof(ReflexReport, inputSampleTime) == 40);
static_assert(offsetof(ReflexReport, simStartTime) == 48);
static_assert(offsetof(ReflexReport, simEndTime) == 56);
static_assert(offsetof(ReflexReport, renderSubmitStartTime) == 64);
static_assert(offsetof(ReflexReport, renderSubmitEndTime) == 72);
static_assert(offsetof(ReflexReport, presentStartTime) == 80);
static_assert(offsetof(ReflexReport, presentEndTime) == 88);
static_assert(offsetof(ReflexReport, driverStartTime) == 96);
static_assert(offsetof(ReflexReport, driverEndTime) == 104);
static_assert(offsetof(ReflexReport, osRenderQueueStartTime) == 112);
static_assert(offsetof(ReflexReport, osRenderQueueEndTime) == 120);
static_assert(offsetof(ReflexReport, gpuRenderStartTime) == 128);
static_assert(offsetof(ReflexReport, gpuRenderEndTime) == 136);
static_assert(offsetof(ReflexReport, gpuActiveRenderTimeUs) == 144);
static_assert(offsetof(ReflexReport, gpuFrameTimeUs) == 148);
static_assert(sizeof(ReflexReport) == 152);

struct ReflexState {
    BaseStructure* next = nullptr;
    StructType structType = kReflexStateType;
    std::uint64_t structVersion = kReflexStateVersion;
    bool lowLatencyAvailable = false;
    bool latencyReportAvailable = false;
    std::uint32_t statsWindowMessage = 0;
    ReflexReport frameReport[64]{};
    bool flashIndicatorDriverControlled = false;
};
static_assert(offsetof(ReflexState, lowLatencyAvailable) == 32);
static_assert(offsetof(ReflexState, latencyReportAvailable) == 33);
static_assert(offsetof(ReflexState, statsWindowMessage) == 36);
static_assert(offsetof(ReflexState, frameReport) == 40);
static_assert(offsetof(ReflexState, flashIndicatorDriverControlled) == 9768);
static_assert(sizeof(ReflexState) == 9776);

// Per-frame camera constants. The fields get their values from whoever builds
// the record; the in-class values are only the header and zeros.
struct Constants {
    BaseStructure* next = nullptr;
    StructType structType = kConstantsType;
    std::uint64_t structVersion = kConstantsVersion;
    float4x4 cameraViewToClip{};
    float4x4 clipToCameraView{};
    float4x4 clipToLensClip{};
    float4x4 clipToPrevClip{};
    float4x4 prevClipToClip{};
    float2 jitterOffset{};
    float2 mvecScale{};
    float2 cameraPinholeOffset{};
    float3 cameraPos{};
    float3 cameraUp{};
    float3 cameraRight{};
    float3 cameraFwd{};
    float cameraNear = 0.0f;
    float cameraFar = 0.0f;
    float cameraFOV = 0.0f;
    float cameraAspectRatio = 0.0f;
    float motionVectorsInvalidValue = 0.0f;
    Boolean depthInverted = Boolean::eFalse;
    Boolean cameraMotionIncluded = Boolean::eFalse;
    Boolean motionVectors3D = Boolean::eFalse;
    Boolean reset = Boolean::eFalse;
    Boolean orthographicProjection = Boolean::eFalse;
    Boolean motionVectorsDilated = Boolean::eFalse;
    Boolean motionVectorsJittered = Boolean::eFalse;
};
static_assert(offsetof(Constants, cameraViewToClip) == 32);
static_assert(offsetof(Constants, clipToCameraView) == 96);
static_assert(offsetof(Constants, clipToLensClip) == 160);
static_assert(offsetof(Constants, clipToPrevClip) == 224);
static_assert(offsetof(Constants, prevClipToClip) == 288);
static_assert(offsetof(Constants, jitterOffset) == 352);
static_assert(offsetof(Constants, mvecScale) == 360);
static_assert(offsetof(Constants, cameraPinholeOffset) == 368);
static_assert(offsetof(Constants, cameraPos) == 376);
static_assert(offsetof(Constants, cameraUp) == 388);
static_assert(offsetof(Constants, cameraRight) == 400);
static_assert(offsetof(Constants, cameraFwd) == 412);
static_assert(offsetof(Constants, cameraNear) == 424);
static_assert(offsetof(Constants, cameraFar) == 428);
static_assert(offsetof(Constants, cameraFOV) == 432);
static_assert(offsetof(Constants, cameraAspectRatio) == 436);
static_assert(offsetof(Constants, motionVectorsInvalidValue) == 440);
static_assert(offsetof(Constants, depthInverted) == 444);
static_assert(offsetof(Constants, cameraMotionIncluded) == 445);
static_assert(offsetof(Constants, motionVectors3D) == 446);
static_assert(offsetof(Constants, reset) == 447);
static_assert(offsetof(Constants, orthographicProjection) == 448);
static_assert(offsetof(Constants, motionVectorsDilated) == 449);
static_assert(offsetof(Constants, motionVectorsJittered) == 450);
static_assert(sizeof(Constants) == 456);

struct Resource {
    BaseStructure* next = nullptr;
    StructType structType = kResourceType;
    std::uint64_t structVersion = kResourceVersion;
    ResourceType type = ResourceType::eTex2d;
    void* native = nullptr;
    void* memory = nullptr;
    void* view = nullptr;
    std::uint32_t state = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t nativeFormat = 0;
    std::uint32_t mipLevels = 0;
    std::uint32_t arrayLayers = 0;
    std::uint64_t gpuVirtualAddress = 0;
    std::uint32_t flags = 0;
    std::uint32_t usage = 0;
    std::uint32_t reserved = 0;
};
static_assert(offsetof(Resource, type) == 32);
static_assert(offsetof(Resource, native) == 40);
static_assert(offsetof(Resource, memory) == 48);
static_assert(offsetof(Resource, view) == 56);
static_assert(offsetof(Resource, state) == 64);
static_assert(offsetof(Resource, width) == 68);
static_assert(offsetof(Resource, height) == 72);
static_assert(offsetof(Resource, nativeFormat) == 76);
static_assert(offsetof(Resource, mipLevels) == 80);
static_assert(offsetof(Resource, arrayLayers) == 84);
static_assert(offsetof(Resource, gpuVirtualAddress) == 88);
static_assert(offsetof(Resource, flags) == 96);
static_assert(offsetof(Resource, usage) == 100);
static_assert(offsetof(Resource, reserved) == 104);
static_assert(sizeof(Resource) == 112);

struct ResourceTag {
    BaseStructure* next = nullptr;
    StructType structType = kResourceTagType;
    std::uint64_t structVersion = kResourceTagVersion;
    Resource* resource = nullptr;
    BufferType type = 0;
    ResourceLifecycle lifecycle = ResourceLifecycle::eOnlyValidNow;
    Extent extent{};
};
static_assert(offsetof(ResourceTag, resource) == 32);
static_assert(offsetof(ResourceTag, type) == 40);
static_assert(offsetof(ResourceTag, lifecycle) == 44);
static_assert(offsetof(ResourceTag, extent) == 48);
static_assert(sizeof(ResourceTag) == 64);

struct DLSSOptions {
    BaseStructure* next = nullptr;
    StructType structType = kDLSSOptionsType;
    std::uint64_t structVersion = kDLSSOptionsVersion;
    DLSSMode mode = DLSSMode::eOff;
    std::uint32_t outputWidth = 0;
    std::uint32_t outputHeight = 0;
    float sharpness = 0.0f;
    float preExposure = 1.0f;
    float exposureScale = 1.0f;
    Boolean colorBuffersHDR = Boolean::eTrue;
    Boolean indicatorInvertAxisX = Boolean::eFalse;
    Boolean indicatorInvertAxisY = Boolean::eFalse;
    DLSSPreset dlaaPreset = DLSSPreset::eDefault;
    DLSSPreset qualityPreset = DLSSPreset::eDefault;
    DLSSPreset balancedPreset = DLSSPreset::eDefault;
    DLSSPreset performancePreset = DLSSPreset::eDefault;
    DLSSPreset ultraPerformancePreset = DLSSPreset::eDefault;
    DLSSPreset ultraQualityPreset = DLSSPreset::eDefault;
    Boolean useAutoExposure = Boolean::eFalse;
};
static_assert(offsetof(DLSSOptions, mode) == 32);
static_assert(offsetof(DLSSOptions, outputWidth) == 36);
static_assert(offsetof(DLSSOptions, outputHeight) == 40);
static_assert(offsetof(DLSSOptions, sharpness) == 44);
static_assert(offsetof(DLSSOptions, preExposure) == 48);
static_assert(offsetof(DLSSOptions, exposureScale) == 52);
static_assert(offsetof(DLSSOptions, colorBuffersHDR) == 56);
static_assert(offsetof(DLSSOptions, indicatorInvertAxisX) == 57);
static_assert(offsetof(DLSSOptions, indicatorInvertAxisY) == 58);
static_assert(offsetof(DLSSOptions, dlaaPreset) == 60);
static_assert(offsetof(DLSSOptions, qualityPreset) == 64);
static_assert(offsetof(DLSSOptions, balancedPreset) == 68);
static_assert(offsetof(DLSSOptions, performancePreset) == 72);
static_assert(offsetof(DLSSOptions, ultraPerformancePreset) == 76);
static_assert(offsetof(DLSSOptions, ultraQualityPreset) == 80);
static_assert(offsetof(DLSSOptions, useAutoExposure) == 84);
static_assert(sizeof(DLSSOptions) == 88);

// What DLSS asks of the render size for one mode and output size (filled by slDLSSGetOptimalSettings).
struct DLSSOptimalSettings {
    BaseStructure* next = nullptr;
    StructType structType = kDLSSOptimalSettingsType;
    std::uint64_t structVersion = kDLSSOptimalSettingsVersion;
    std::uint32_t optimalRenderWidth = 0;
    std::uint32_t optimalRenderHeight = 0;
    float optimalSharpness = 0.0f;
    std::uint32_t renderWidthMin = 0;
    std::uint32_t renderHeightMin = 0;
    std::uint32_t renderWidthMax = 0;
    std::uint32_t renderHeightMax = 0;
};
static_assert(offsetof(DLSSOptimalSettings, optimalRenderWidth) == 32);
static_assert(offsetof(DLSSOptimalSettings, optimalRenderHeight) == 36);
static_assert(offsetof(DLSSOptimalSettings, optimalSharpness) == 40);
static_assert(offsetof(DLSSOptimalSettings, renderWidthMin) == 44);
static_assert(offsetof(DLSSOptimalSettings, renderHeightMin) == 48);
static_assert(offsetof(DLSSOptimalSettings, renderWidthMax) == 52);
static_assert(offsetof(DLSSOptimalSettings, renderHeightMax) == 56);
static_assert(sizeof(DLSSOptimalSettings) == 64);

using PFun_DLSSGOnErrorCallback = void(const void* lastError);

struct DLSSGOptions {
    BaseStructure* next = nullptr;
    StructType structType = kDLSSGOptionsType;
    std::uint64_t structVersion = kDLSSGOptionsVersion;
    DLSSGMode mode = DLSSGMode::eOff;
    std::uint32_t numFramesToGenerate = 1;
    std::uint32_t flags = 0;
    std::uint32_t dynamicResWidth = 0;
    std::uint32_t dynamicResHeight = 0;
    std::uint32_t numBackBuffers = 0;
    std::uint32_t mvecDepthWidth = 0;
    std::uint32_t mvecDepthHeight = 0;
    std::uint32_t colorWidth = 0;
    std::uint32_t colorHeight = 0;
    std::uint32_t colorBufferFormat = 0;
    std::uint32_t mvecBufferFormat = 0;
    std::uint32_t depthBufferFormat = 0;
    std::uint32_t hudLessBufferFormat = 0;
    std::uint32_t uiBufferFormat = 0;
    PFun_DLSSGOnErrorCallback* onErrorCallback = nullptr;
};
static_assert(offsetof(DLSSGOptions, mode) == 32);
static_assert(offsetof(DLSSGOptions, numFramesToGenerate) == 36);
static_assert(offsetof(DLSSGOptions, flags) == 40);
static_assert(offsetof(DLSSGOptions, dynamicResWidth) == 44);
static_assert(offsetof(DLSSGOptions, dynamicResHeight) == 48);
static_assert(offsetof(DLSSGOptions, numBackBuffers) == 52);
static_assert(offsetof(DLSSGOptions, uiBufferFormat) == 88);
static_assert(offsetof(DLSSGOptions, onErrorCallback) == 96);
static_assert(sizeof(DLSSGOptions) == 104);

struct DLSSGState {
    BaseStructure* next = nullptr;
    StructType structType = kDLSSGStateType;
    std::uint64_t structVersion = kDLSSGStateVersion;
    std::uint64_t estimatedVRAMUsageInBytes = 0;
    std::uint32_t status = 0;
    std::uint32_t minWidthOrHeight = 0;
    std::uint32_t numFramesActuallyPresented = 0;
};
static_assert(offsetof(DLSSGState, estimatedVRAMUsageInBytes) == 32);
static_assert(offsetof(DLSSGState, status) == 40);
static_assert(offsetof(DLSSGState, minWidthOrHeight) == 44);
static_assert(offsetof(DLSSGState, numFramesActuallyPresented) == 48);
static_assert(sizeof(DLSSGState) == 56);

// Room for the newest DLSSGState layout known, version 3 of SDK 2.7.2 (80 bytes: numFramesToGenerateMax at
// 52, bIsVsyncSupportAvailable at 57, the inputs-processing fence at 64 and its value at 72). The version
// asked for stays 1; a plug-in that writes its own layout whatever the version says finds the room, zeroed.
struct DLSSGStateRoom {
    DLSSGState state;
    std::uint8_t laterVersions[24];
};
static_assert(offsetof(DLSSGStateRoom, laterVersions) == 56);
static_assert(sizeof(DLSSGStateRoom) == 80);

struct NISOptions {
    BaseStructure* next = nullptr;
    StructType structType = kNISOptionsType;
    std::uint64_t structVersion = kNISOptionsVersion;
    NISMode mode = NISMode::eOff;
    NISHDR hdrMode = NISHDR::eNone;
    float sharpness = 0.0f;
};
static_assert(offsetof(NISOptions, mode) == 32);
static_assert(offsetof(NISOptions, hdrMode) == 36);
static_assert(offsetof(NISOptions, sharpness) == 40);
static_assert(sizeof(NISOptions) == 48);

// Entry points, as function types: a slot holding one is `PFun_<name>*`.
// References are pointers in the ABI; the calling convention is the x64 one.
using PFun_slInit = Result(const Preferences& pref, std::uint64_t sdkVersion);
using PFun_slUpgradeInterface = Result(void** baseInterface);
using PFun_slGetNativeInterface = Result(void* proxyInterface, void** baseInterface);
using PFun_slGetFeatureFunction = Result(Feature feature, const char* functionName, void*& function);
using PFun_slSetD3DDevice = Result(void* d3dDevice);
using PFun_slIsFeatureSupported = Result(Feature feature, const AdapterInfo& adapterInfo);
using PFun_slGetNewFrameToken = Result(FrameToken*& token, const std::uint32_t* frameIndex);
using PFun_slReflexGetState = Result(ReflexState& state);
using PFun_slReflexSetOptions = Result(const ReflexOptions& options);
using PFun_slReflexSetMarker = Result(ReflexMarker marker, const FrameToken& frame);
using PFun_slReflexSleep = Result(const FrameToken& frame);
using PFun_slDLSSSetOptions = Result(const ViewportHandle& viewport, const DLSSOptions& options);
using PFun_slDLSSGetOptimalSettings = Result(const DLSSOptions& options, DLSSOptimalSettings& settings);
using PFun_slDLSSGSetOptions = Result(const ViewportHandle& viewport, const DLSSGOptions& options);
using PFun_slDLSSGGetState = Result(const ViewportHandle& viewport, DLSSGState& state,
                                    const DLSSGOptions* options);
using PFun_slNISSetOptions = Result(const ViewportHandle& viewport, const NISOptions& options);
using PFun_slSetConstants = Result(const Constants& values, const FrameToken& frame,
                                   const ViewportHandle& viewport);
using PFun_slSetTag = Result(const ViewportHandle& viewport, const ResourceTag* tags, std::uint32_t numTags,
                             CommandBuffer* cmdBuffer);
using PFun_slEvaluateFeature = Result(Feature feature, const FrameToken& frame, const BaseStructure** inputs,
                                      std::uint32_t numInputs, CommandBuffer* cmdBuffer);

} // namespace sl
