// The record headers are checked at compile time; this confirms the identifiers
// and defaults that callers rely on when they value-initialise a record.
#include "streamline/sl_types.h"
#include "upscaler/fsr2_types.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A GUID in its registry text form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as
// the 16 bytes it occupies in memory: the first three groups little-endian, the
// last two in text order. Any malformed text gives all 0xEE bytes.
struct GuidBytes {
    unsigned char bytes[16];
};

GuidBytes guidFromText(const char* text)
{
    GuidBytes out;
    std::memset(out.bytes, 0xEE, sizeof out.bytes);
    if (std::strlen(text) != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return out;
    // Text position of each byte's two hex digits, in memory order.
    static const int positions[16] = {7, 5, 3, 1, 12, 10, 17, 15, 20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 16; ++i) {
        unsigned value = 0;
        for (int d = 0; d < 2; ++d) {
            const char c = text[positions[i] + d];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) {
                std::memset(out.bytes, 0xEE, sizeof out.bytes);
                return out;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        out.bytes[i] = static_cast<unsigned char>(value);
    }
    return out;
}

struct HeaderCase {
    const char* name;
    const void* record;
    const char* type; // the identifier as the records' documentation writes it
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
    static const sl::DLSSOptimalSettings optimal{};
    const HeaderCase cases[] = {
        {"Preferences", &preferences, "{1CA10965-BF8E-432B-8DA1-6716D879FB14}", 1},
        {"AdapterInfo", &adapter, "{0677315F-A746-4492-9F42-CB6142C9C3D4}", 1},
        {"ViewportHandle", &viewport, "{171B6435-9B3C-4FC8-9994-FBE52569AAA4}", 1},
        {"ReflexOptions", &reflexOptions, "{F03AF81A-6D0B-4902-A651-C4965E215434}", 1},
        {"ReflexState", &reflexState, "{F0BB5985-DAF9-4728-B2FD-AE80A2BD7989}", 1},
        {"ReflexReport", &reflexState.frameReport[63], "{0D569B37-A1C8-4453-BE4D-40F4DE57952B}", 1},
        {"Constants", &constants, "{DCD35AD7-4E4A-4BAD-A90C-E0C49EB23AFE}", 1},
        {"Resource", &resource, "{3A9D70CF-2418-4B72-8391-13F8721C7261}", 1},
        {"ResourceTag", &tag, "{4C6A5AAD-B445-496C-87FF-1AF3845BE653}", 1},
        {"DLSSOptions", &dlss, "{6AC826E4-4C61-4101-A92D-638D421057B8}", 2},
        {"DLSSGOptions", &dlssg, "{FAC5F1CB-2DFD-4F36-A1E6-3A9E865256C5}", 1},
        {"DLSSGState", &dlssgState, "{CC8AC8E1-A179-44F5-97FA-E74112F9BC61}", 1},
        {"NISOptions", &nis, "{676610E5-9674-4D3A-9C8A-F495D01B36F3}", 1},
        {"DLSSOptimalSettings", &optimal, "{EF1D0957-FD58-4DF7-B504-8B69D8AA6B76}", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto* header = static_cast<const sl::BaseStructure*>(c.record);
        EXPECT_EQ(header->next, nullptr);
        const GuidBytes expected = guidFromText(c.type);
        EXPECT_EQ(std::memcmp(&header->structType, expected.bytes, 16), 0);
        EXPECT_EQ(header->structVersion, c.version);
    }
}

TEST(Records, IdentifiersHaveTheWindowsGuidByteOrder)
{
    // {171B6435-9B3C-4FC8-9994-FBE52569AAA4} as it lies in memory.
    const unsigned char expected[16] = {0x35, 0x64, 0x1B, 0x17, 0x3C, 0x9B, 0xC8, 0x4F,
                                        0x99, 0x94, 0xFB, 0xE5, 0x25, 0x69, 0xAA, 0xA4};
    EXPECT_EQ(std::memcmp(&sl::kViewportHandleType, expected, 16), 0);
    // The text reader agrees with the bytes written out by hand, and refuses damaged text.
    EXPECT_EQ(std::memcmp(guidFromText("{171B6435-9B3C-4FC8-9994-FBE52569AAA4}").bytes, expected, 16), 0);
    EXPECT_EQ(std::memcmp(guidFromText("{171b6435-9b3c-4fc8-9994-fbe52569aaa4}").bytes, expected, 16), 0);
    for (const char* bad :
         {"171B6435-9B3C-4FC8-9994-FBE52569AAA4", "{171B6435-9B3C-4FC8-9994-FBE52569AAA}",
          "{171B6435-9B3C-4FC8-9994-FBE52569AAAG}", "{171B6435+9B3C-4FC8-9994-FBE52569AAA4}"}) {
        const GuidBytes refused = guidFromText(bad);
        for (unsigned char byte : refused.bytes)
            EXPECT_EQ(byte, 0xEE) << bad;
    }
    EXPECT_EQ(sl::ViewportHandle{}.value, 0xFFFFFFFFu);
    EXPECT_EQ(sl::DLSSGOptions{}.numFramesToGenerate, 1u);
    EXPECT_EQ(sl::kSDKVersion, 0x000200010001FEDCull);
}

// Results from eWarnOutOfVRAM on say the call did its work; everything else but eOk is a failure.
TEST(Records, WarningsAreTheResultsFromOutOfVramOn)
{
    struct Case {
        int value;
        bool warning;
    };
    const Case cases[] = {{0, false},  {1, false}, {19, false}, {26, false}, {27, false},
                          {38, false}, {39, true}, {40, true},  {-1, false}};
    for (const Case& c : cases)
        EXPECT_EQ(sl::isWarning(static_cast<sl::Result>(c.value)), c.warning) << c.value;
    EXPECT_EQ(static_cast<int>(sl::Result::eWarnOutOfVRAM), 39);
    EXPECT_EQ(static_cast<int>(sl::Result::eErrorInvalidIntegration), 19);
    EXPECT_EQ(static_cast<int>(sl::Result::eErrorDuplicatedConstants), 27);
    EXPECT_EQ(static_cast<int>(sl::Result::eErrorFeatureNotSupported), 32);
}

} // namespace
