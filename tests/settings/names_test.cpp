// The three name tables in both directions.
#include "settings/config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using fsr2bridge::DlssMode;
using fsr2bridge::DlssPreset;
using fsr2bridge::ReflexMode;
using nlohmann::json;

struct NameCase {
    const char* enumeration;
    std::uint32_t number;
    const char* name;
};

const NameCase namedValues[] = {
    {"dlssMode", 1, "MaxPerformance"},
    {"dlssMode", 2, "Balanced"},
    {"dlssMode", 3, "MaxQuality"},
    {"dlssMode", 4, "UltraPerformance"},
    {"dlssMode", 6, "DLAA"},
    {"reflexMode", 1, "LowLatency"},
    {"reflexMode", 2, "LowLatencyWithBoost"},
    {"dlssPreset", 0, "Default"},
    {"dlssPreset", 1, "A"},
    {"dlssPreset", 2, "B"},
    {"dlssPreset", 3, "C"},
    {"dlssPreset", 4, "D"},
    {"dlssPreset", 5, "E"},
    {"dlssPreset", 6, "F"},
    {"dlssPreset", 7, "G"},
};

// Reads `value` through the enumeration named `enumeration`, as its number.
std::uint32_t readAs(const std::string& enumeration, const json& value)
{
    if (enumeration == "dlssMode")
        return static_cast<std::uint32_t>(value.get<DlssMode>());
    if (enumeration == "reflexMode")
        return static_cast<std::uint32_t>(value.get<ReflexMode>());
    return static_cast<std::uint32_t>(value.get<DlssPreset>());
}

json writeAs(const std::string& enumeration, std::uint32_t number)
{
    if (enumeration == "dlssMode")
        return json(static_cast<DlssMode>(number));
    if (enumeration == "reflexMode")
        return json(static_cast<ReflexMode>(number));
    return json(static_cast<DlssPreset>(number));
}

TEST(EnumerationNames, EveryPairReadsAndWritesBothWays)
{
    for (const auto& c : namedValues) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readAs(c.enumeration, json(c.name)), c.number);
        EXPECT_EQ(writeAs(c.enumeration, c.number), json(c.name));
        EXPECT_EQ(writeAs(c.enumeration, readAs(c.enumeration, json(c.name))), json(c.name));
    }
}

TEST(EnumerationNames, AnythingElseReadsAsTheFirstPair)
{
    const struct {
        const char* enumeration;
        json value;
        std::uint32_t expected;
    } cases[] = {
        {"dlssMode", "maxperformance", 1},
        {"dlssMode", "MaxQuality ", 1},
        {"dlssMode", " DLAA", 1},
        {"dlssMode", "dlaa", 1},
        {"dlssMode", "", 1},
        {"dlssMode", 3, 1},
        {"dlssMode", nullptr, 1},
        {"dlssMode", true, 1},
        {"dlssMode", json::array({"DLAA"}), 1},
        {"dlssMode", json::object({{"DLAA", 6}}), 1},
        {"dlssMode", "UltraQuality", 1},
        {"dlssMode", "Off", 1},
        {"reflexMode", "Off", 1},
        {"reflexMode", "lowlatencywithboost", 1},
        {"reflexMode", 2, 1},
        {"reflexMode", 2.0, 1},
        {"dlssPreset", "H", 0},
        {"dlssPreset", "a", 0},
        {"dlssPreset", "g", 0},
        {"dlssPreset", 3, 0},
        {"dlssPreset", "AB", 0},
        {"dlssPreset", std::string("A\0", 2), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.enumeration) + " " + c.value.dump());
        EXPECT_EQ(readAs(c.enumeration, c.value), c.expected);
    }
}

TEST(EnumerationNames, UnnamedNumbersWriteTheFirstName)
{
    const NameCase cases[] = {
        {"dlssMode", 0, "MaxPerformance"}, {"dlssMode", 5, "MaxPerformance"},
        {"dlssMode", 7, "MaxPerformance"}, {"dlssMode", 0xFFFFFFFF, "MaxPerformance"},
        {"reflexMode", 0, "LowLatency"},   {"reflexMode", 3, "LowLatency"},
        {"dlssPreset", 8, "Default"},      {"dlssPreset", 0xFFFFFFFF, "Default"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.enumeration) + " " + std::to_string(c.number));
        EXPECT_EQ(writeAs(c.enumeration, c.number), json(c.name));
    }
}

} // namespace
