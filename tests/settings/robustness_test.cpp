// Thousands of damaged config.json files: loading never throws, always ends with
// a usable record, and a file it rewrote reads back to that same record.
#include "file_fixture.h"

#include <nlohmann/json.hpp>

#include <random>

namespace {

using fsr2bridge::Config;
using fsr2bridge::Settings;
using nlohmann::json;
using settings_test::ScratchDirectory;

const char* const keys[] = {"version",   "enabled",    "enableReflexSleep", "enableFrameGeneration",
                            "dlssMode",  "reflexMode", "reflexFpsCap",      "enableNisSharpening",
                            "dlssPreset"};
const char* const dlssModes[] = {"MaxPerformance", "Balanced", "MaxQuality", "UltraPerformance", "DLAA"};
const char* const reflexModes[] = {"LowLatency", "LowLatencyWithBoost"};
const char* const presets[] = {"Default", "A", "B", "C", "D", "E", "F", "G"};

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : random_(seed) {}

    std::string next()
    {
        switch (pick(8)) {
        case 0:
            return flipBytes(validDocument().dump(pick(2) ? 4 : -1));
        case 1: {
            const std::string text = validDocument().dump(4);
            return text.substr(0, pick(static_cast<std::uint32_t>(text.size())));
        }
        case 2: {
            json doc = validDocument();
            doc[keys[pick(9)]] = strangeValue();
            return doc.dump();
        }
        case 3: {
            json doc = validDocument();
            doc[pick(2) ? "version" : "reflexFpsCap"] = strangeNumber();
            return doc.dump();
        }
        case 4:
            return deepNesting();
        case 5:
            return withInvalidUtf8(validDocument().dump(pick(2) ? 4 : -1));
        case 6: {
            json doc = validDocument();
            doc.erase(keys[pick(9)]);
            return doc.dump();
        }
        default: {
            // A random earlier format version, with or without the later keys.
            json doc = validDocument();
            doc["version"] = pick(7);
            for (int i = 0; i < 3; ++i)
                if (pick(3) == 0)
                    doc.erase(keys[1 + pick(8)]);
            return doc.dump(pick(2) ? 4 : -1);
        }
        }
    }

private:
    std::uint32_t pick(std::uint32_t below) { return below ? random_() % below : 0; }

    json validDocument()
    {
        json doc = json::object();
        doc["version"] = 4;
        for (int i = 1; i < 9; ++i) {
            const std::string key = keys[i];
            if (key == "dlssMode")
                doc[key] = dlssModes[pick(5)];
            else if (key == "reflexMode")
                doc[key] = reflexModes[pick(2)];
            else if (key == "dlssPreset")
                doc[key] = presets[pick(8)];
            else if (key == "reflexFpsCap")
                doc[key] = pick(500);
            else
                doc[key] = pick(2) == 1;
        }
        if (pick(4) == 0)
            doc["extraKey"] = "kept only while the file is not rewritten";
        return doc;
    }

    json strangeNumber()
    {
        switch (pick(7)) {
        case 0:
            return json(static_cast<std::int64_t>(random_()) - (1ll << 31) * 3);
        case 1:
            return json(std::numeric_limits<std::uint64_t>::max() - pick(5));
        case 2:
            return json(std::numeric_limits<std::int64_t>::min() + pick(5));
        case 3:
            return json(-1.0e300 * (pick(2) ? 1 : -1));
        case 4:
            return json((static_cast<double>(random_()) - 2147483648.0) * 1.0e9 + 0.5);
        case 5:
            return json(-static_cast<std::int64_t>(pick(10)));
        default:
            return json(static_cast<double>(pick(10)) + 0.999);
        }
    }

    json strangeValue()
    {
        switch (pick(12)) {
        case 0:
            return nullptr;
        case 1:
            return pick(2) == 1;
        case 2:
            return strangeNumber();
        case 3:
            return "";
        case 4:
            return dlssModes[pick(5)];
        case 5:
            return json::array();
        case 6:
            return json::object({{"version", 4}});
        case 7:
            return std::string(pick(5000), 'x');
        case 8:
            return json::array({1, "DLAA", nullptr});
        case 9: {
            json nested = json::array();
            for (std::uint32_t i = pick(300); i > 0; --i)
                nested = json::array({nested});
            return nested;
        }
        case 10:
            return 1;
        default:
            return "maxperformance";
        }
    }

    std::string flipBytes(std::string text)
    {
        for (std::uint32_t n = 1 + pick(4); n > 0 && !text.empty(); --n)
            text[pick(static_cast<std::uint32_t>(text.size()))] = static_cast<char>(pick(256));
        return text;
    }

    std::string deepNesting()
    {
        // Mostly moderate depths; now and then a very deep one.
        const std::uint32_t depth = 1 + (pick(20) == 0 ? pick(100000) : pick(600));
        const bool arrays = pick(2) == 1;
        std::string text;
        for (std::uint32_t i = 0; i < depth; ++i)
            text += arrays ? "[" : "{\"version\":";
        text += "4";
        // Sometimes unbalanced.
        const std::uint32_t closing = pick(4) == 0 ? pick(depth) : depth;
        for (std::uint32_t i = 0; i < closing; ++i)
            text += arrays ? "]" : "}";
        return text;
    }

    std::string withInvalidUtf8(std::string text)
    {
        static const char* const bad[] = {"\x80",         "\xC3\x28", "\xFF",
                                          "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"};
        const std::string bytes = bad[pick(6)];
        // Inside a string value (after an opening quote) or anywhere.
        std::size_t at = pick(static_cast<std::uint32_t>(text.size()));
        if (pick(2)) {
            const std::size_t quote = text.find('"', at);
            if (quote != std::string::npos)
                at = quote + 1;
        }
        return text.insert(at, bytes);
    }

    std::mt19937 random_;
};

bool usable(const Settings& s)
{
    const auto mode = static_cast<std::uint32_t>(s.dlssMode);
    const auto reflex = static_cast<std::uint32_t>(s.reflexMode);
    const auto preset = static_cast<std::uint32_t>(s.dlssPreset);
    return (mode >= 1 && mode <= 4) || mode == 6 ? (reflex == 1 || reflex == 2) && preset <= 7 : false;
}

class ConfigRobustness : public ScratchDirectory {};

TEST_F(ConfigRobustness, TenThousandDamagedFiles)
{
    constexpr int documents = 10000;
    const std::uint32_t seed = 20261207;
    Mutator mutator(seed);
    int thrown = 0, unusable = 0, rewritten = 0, badReadBack = 0, rewrittenAgain = 0;
    for (int i = 0; i < documents; ++i) {
        const std::string input = mutator.next();
        put(input);
        Settings first;
        try {
            Config config(configPath);
            first = config.snapshot();
        } catch (...) {
            ++thrown;
            continue;
        }
        if (!usable(first))
            ++unusable;
        const std::string afterLoad = bytes().value_or("");
        if (afterLoad == input)
            continue;
        ++rewritten;
        Config again(configPath);
        Settings expected = first;
        expected.version = fsr2bridge::currentSettingsVersion;
        if (!(again.snapshot() == expected)) {
            ++badReadBack;
            ADD_FAILURE() << "document " << i << " read back differently: " << input.substr(0, 200);
        }
        if (bytes().value_or("") != afterLoad)
            ++rewrittenAgain;
    }
    EXPECT_EQ(thrown, 0);
    EXPECT_EQ(unusable, 0);
    EXPECT_EQ(badReadBack, 0);
    EXPECT_EQ(rewrittenAgain, 0);
    EXPECT_TRUE(onlyConfigLeft());
    // The mix must really exercise both outcomes.
    EXPECT_GT(rewritten, documents / 4);
    EXPECT_LT(rewritten, documents);
    RecordProperty("rewritten", rewritten);
}

} // namespace
