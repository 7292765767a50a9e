// The record headers are checked at compile time; this confirms the identifiers
// and defaults that callers rely on when they value-initialise a record.
#include "streamline/sl_types.h"
#include "upscaler/fsr2_types.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct HeaderCase {
    const char* name;
    const void* record;
    sl::StructType type;
    std::uint64_t version;
};

TEST(Records, HeadersCarryTheirIdentifierAndVersion)
{
    static const sl::Preferences preferences{};
    static const sl::AdapterInfo adapter{};
    static const sl::ViewportHandle viewport{};
    static const sl::ReflexOptions reflexOptions{};
    static const sl::ReflexState reflexState{};
    static const sl::Constants constants{};
    static const sl::Resource resource{};
    static const sl::ResourceTag tag{};
    static const sl::DLSSOptions dlss{};
    static const sl::DLSSGOptions dlssg{};
    static const sl::DLSSGState dlssgState{};
    static const sl::NISOptions nis{};
    const HeaderCase cases[] = {
        {"Preferences", &preferences, sl::kPreferencesType, 1},
        {"AdapterInfo", &adapter, sl::kAdapterInfoType, 1},
        {"ViewportHandle", &viewport, sl::kViewportHandleType, 1},
        {"ReflexOptions", &reflexOptions, sl::kReflexOptionsType, 1},
        {"ReflexState", &reflexState, sl::kReflexStateType, 1},
        {"ReflexReport", &reflexState.frameReport[63], sl::kReflexReportType, 1},
        {"Constants", &constants, sl::kConstantsType, 1},
        {"Resource", &resource, sl::kResourceType, 1},
        {"ResourceTag", &tag, sl::kResourceTagType, 1},
        {"DLSSOptions", &dlss, sl::kDLSSOptionsType, 2},
        {"DLSSGOptions", &dlssg, sl::kDLSSGOptionsType, 1},
        {"DLSSGState", &dlssgState, sl::kDLSSGStateType, 1},
        {"NISOptions", &nis, sl::kNISOptionsType, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto* header = static_cast<const sl::BaseStructure*>(c.record);
        EXPECT_EQ(header->next, nullptr);
        EXPECT_TRUE(header->structType == c.type);
        EXPECT_EQ(header->structVersion, c.version);
    }
}

TEST(Records, IdentifiersHaveTheWindowsGuidByteOrder)
{
    // {171B6435-9B3C-4FC8-9994-FBE52569AAA4} as it lies in memory.
    const unsigned char expected[16] = {0x35, 0x64, 0x1B, 0x17, 0x3C, 0x9B, 0xC8, 0x4F,
                                        0x99, 0x94, 0xFB, 0xE5, 0x25, 0x69, 0xAA, 0xA4};
    EXPECT_EQ(std::memcmp(&sl::kViewportHandleType, expected, 16), 0);
    EXPECT_EQ(sl::ViewportHandle{}.value, 0xFFFFFFFFu);
    EXPECT_EQ(sl::DLSSGOptions{}.numFramesToGenerate, 1u);
    EXPECT_EQ(sl::kSDKVersion, 0x000200010001FEDCull);
}

} // namespace
