// The stand-in's entry points against its own journal: what a test writes in a
// record must come back out of the journal unchanged, and the script must
// decide every result.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "standin_fixture.h"

namespace fsr2bridge::standin::test {
namespace {

std::uint32_t bitsOf(double parsed)
{
    float f = static_cast<float>(parsed);
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(StandinJournal, PreferencesComeBackFieldForFieldWithEscapedPaths)
{
    const std::string path = freshJournal("prefs");
    // Spaces, '%' and '=' in a path must survive the escaping.
    const wchar_t* dir = L"C:\\game dir\\100%=x\\streamline";
    const wchar_t* dirs[1] = {dir};
    const std::uint32_t features[4] = {3, 0, 1000, 2};
    Record<144> prefs({0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x14}}, 1);
    prefs.set<std::uint32_t>(36, 1);
    prefs.set(40, static_cast<const wchar_t* const*>(dirs));
    prefs.set<std::uint32_t>(48, 1);
    prefs.set(56, dir);
    prefs.set<std::uint64_t>(88, 0x4D);
    prefs.set(96, static_cast<const std::uint32_t*>(features));
    prefs.set<std::uint32_t>(104, 4);
    prefs.set<std::uint32_t>(108, 141959980);
    prefs.set(120, static_cast<const char*>("1.0.0"));
    prefs.set(128, static_cast<const char*>("{E57EBA73-277D-4D76-8C29-60AB8155FA36}"));
    prefs.set<std::uint32_t>(136, 1);

    ASSERT_EQ(0, entry<SlInit>("slInit")(prefs.get(), 0x000200010001FEDCull));
    auto inits = entriesNamed(readJournal(path), "slInit");
    ASSERT_EQ(1u, inits.size());
    const JournalEntry& e = inits[0];
    const std::pair<const char*, const char*> expected[] = {
        {"sdkVersion", "0x200010001fedc"},
        {"type", "{1CA10965-BF8E-432B-8DA1-6716D879FB14}"},
        {"version", "1"},
        {"next", "null"},
        {"showConsole", "0"},
        {"logLevel", "1"},
        {"plugins", "C:\\game dir\\100%=x\\streamline"},
        {"numPlugins", "1"},
        {"logs", "C:\\game dir\\100%=x\\streamline"},
        {"allocateCallback", "null"},
        {"flags", "0x4d"},
        {"features", "3,0,1000,2"},
        {"numFeatures", "4"},
        {"applicationId", "141959980"},
        {"engine", "0"},
        {"engineVersion", "1.0.0"},
        {"projectId", "{E57EBA73-277D-4D76-8C29-60AB8155FA36}"},
        {"renderAPI", "1"},
        {"result", "0"},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(value, e.text(key)) << key;
}

TEST(StandinScript, InitRefusesAForeignVersionWordOrRecord)
{
    const GUID preferences = {0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x14}};
    const GUID other = {0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x15}};
    struct Case {
        std::uint64_t version;
        bool preferencesType;
        bool accepted;
    };
    const Case cases[] = {
        {0x000200010001FEDCull, true, true},   {0x000200000000FEDCull, true, true},
        {0x000200010001FEDDull, true, false},  {0x000300010001FEDCull, true, false},
        {0x000200010001FEDCull, false, false}, {0, true, false},
    };
    for (const Case& c : cases) {
        freshJournal("initcheck");
        Record<144> prefs(c.preferencesType ? preferences : other, 1);
        EXPECT_EQ(c.accepted, entry<SlInit>("slInit")(prefs.get(), c.version) == 0) << std::hex << c.version;
    }
}

TEST(StandinJournal, ParserSplitsEntryKeysAndEscapes)
{
    struct Case {
        const char* line;
        const char* name;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"slSetTag viewport=0 count=4", "slSetTag", "count", "4"},
        {"load path=C:\\a%20b%25c%3Dd.dll\r\n", "load", "path", "C:\\a b%c=d.dll"},
        {"x k=a=b", "x", "k", "a=b"}, // only the first '=' splits
        {"x k=%2", "x", "k", "%2"},   // a cut escape stays as it is
        {"x  k=1  ", "x", "k", "1"},  // repeated spaces
        {"x k=%zz", "x", "k", "%zz"}, // not hex
    };
    for (const Case& c : cases) {
        JournalEntry e = parseJournalLine(c.line);
        EXPECT_EQ(c.name, e.name) << c.line;
        EXPECT_EQ(c.value, e.text(c.key)) << c.line;
    }
    JournalEntry e = parseJournalLine("x h=0x8000000d n=-3 l=1,2.5,-inf bad=12z");
    EXPECT_EQ(0x8000000D, e.integer("h"));
    EXPECT_EQ(-3, e.integer("n"));
    EXPECT_EQ(-1, e.integer("bad"));
    EXPECT_EQ(-1, e.integer("absent"));
    auto list = e.numbers("l");
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(2.5, list[1]);
    EXPECT_TRUE(std::isinf(list[2]) && list[2] < 0);
}

TEST(StandinScript, FeatureSupportResultsFollowTheEnvironment)
{
    struct Case {
        const char* variable;
        const char* value;
        std::uint32_t feature;
        int expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0, 0},
        {nullptr, nullptr, 1000, 0},
        {"SL_STANDIN_SUPPORTED_REFLEX", "2", 3, 2},
        {"SL_STANDIN_SUPPORTED_DLSS", "3", 0, 3},
        {"SL_STANDIN_SUPPORTED_DLSS_G", "4", 1000, 4},
        {"SL_STANDIN_SUPPORTED_NIS", "7", 2, 7},
        {"SL_STANDIN_SUPPORTED_DLSS_G", "1", 0, 0}, // another feature's knob leaves DLSS alone
        {nullptr, nullptr, 99, 1},                  // an unknown feature is never supported
    };
    const std::uint8_t luid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Record<56> adapter({0x0677315F, 0xA746, 0x4492, {0x9F, 0x42, 0xCB, 0x61, 0x42, 0xC9, 0xC3, 0xD4}}, 1);
    adapter.set(32, static_cast<const std::uint8_t*>(luid));
    adapter.set<std::uint32_t>(40, 8);
    for (const Case& c : cases) {
        const std::string path = freshJournal("support");
        if (c.variable) {
            setVariable(c.variable, c.value);
            reload();
        }
        EXPECT_EQ(c.expected, entry<SlIsFeatureSupported>("slIsFeatureSupported")(c.feature, adapter.get()))
            << (c.variable ? c.variable : "default") << " feature " << c.feature;
        auto calls = entriesNamed(readJournal(path), "slIsFeatureSupported");
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ("0102030405060708", calls[0].text("luid"));
        EXPECT_EQ(c.expected, calls[0].integer("result"));
    }
}

TEST(StandinScript, FailRulesFailExactlyTheNamedEntries)
{
    struct Case {
        const char* rules;
        int setTag;      // expected result of slSetTag
        int fetchSleep;  // of fetching slReflexSleep
        int fetchMarker; // of fetching slReflexSetMarker
    };
    const Case cases[] = {
        {"", 0, 0, 0},
        {"slSetTag", 1, 0, 0},
        {"slSetTag:7", 7, 0, 0},
        {" slEvaluateFeature , slSetTag:0x10", 16, 0, 0},
        {"fetch.slReflexSleep", 0, 1, 0},
        {"fetch.slReflexSleep:5,slGetFeatureFunction", 0, 1, 1}, // the entry rule wins
        {"slSetTags", 0, 0, 0},                                  // names match whole
    };
    auto vp = viewport(0);
    for (const Case& c : cases) {
        freshJournal("fail");
        setVariable("SL_STANDIN_FAIL", c.rules);
        reload();
        EXPECT_EQ(c.setTag, entry<SlSetTag>("slSetTag")(vp.get(), nullptr, 0, nullptr)) << c.rules;
        void* fn = nullptr;
        EXPECT_EQ(c.fetchSleep,
                  entry<SlGetFeatureFunction>("slGetFeatureFunction")(3, "slReflexSleep", &fn) != 0 ? 1 : 0)
            << c.rules;
        EXPECT_EQ(c.fetchMarker,
                  entry<SlGetFeatureFunction>("slGetFeatureFunction")(3, "slReflexSetMarker", &fn) != 0 ? 1
                                                                                                        : 0)
            << c.rules;
    }
}

TEST(StandinScript, QualifiedFailRulesFailOneFeatureOrMarkerOnly)
{
    struct Case {
        const char* rules;
        std::uint32_t feature;
        std::uint32_t marker;
        int evaluate; // 7 when the scripted code must come back, -7 when it must not
        int setMarker;
    };
    const Case cases[] = {
        {"slEvaluateFeature.2:7", 2, 4, 7, 0},  {"slEvaluateFeature.2:7", 0, 4, -7, 0},
        {"slEvaluateFeature:7", 0, 4, 7, 0},    {"slReflexSetMarker.8:9", 0, 8, -7, 9},
        {"slReflexSetMarker.8:9", 0, 3, -7, 0},
    };
    void* fn = nullptr;
    for (const Case& c : cases) {
        freshJournal("qualified");
        setVariable("SL_STANDIN_NOGPU", "1"); // the list below is no command list
        setVariable("SL_STANDIN_FAIL", c.rules);
        reload();
        ASSERT_EQ(0, entry<SlGetFeatureFunction>("slGetFeatureFunction")(3, "slReflexSetMarker", &fn));
        void* token = nullptr;
        ASSERT_EQ(0, entry<SlGetNewFrameToken>("slGetNewFrameToken")(&token, nullptr));
        auto vp = viewport(0);
        const void* inputs[] = {vp.get()};
        int dummyList = 0;
        const int evaluated =
            entry<SlEvaluateFeature>("slEvaluateFeature")(c.feature, token, inputs, 1, &dummyList);
        if (c.evaluate > 0) {
            EXPECT_EQ(c.evaluate, evaluated) << c.rules << " feature " << c.feature;
        } else {
            EXPECT_NE(-c.evaluate, evaluated) << c.rules << " feature " << c.feature;
        }
        EXPECT_EQ(c.setMarker, reinterpret_cast<SlReflexSetMarker*>(fn)(c.marker, token)) << c.rules;
    }
}

TEST(StandinScript, FeatureFunctionsOnlyUnderTheirOwnFeature)
{
    struct Case {
        std::uint32_t feature;
        const char* name;
        bool found;
    };
    const Case cases[] = {
        {0, "slDLSSSetOptions", true},  {1000, "slDLSSGGetState", true}, {1000, "slDLSSGSetOptions", true},
        {2, "slNISSetOptions", true},   {3, "slReflexGetState", true},   {3, "slReflexSetOptions", true},
        {3, "slReflexSetMarker", true}, {3, "slReflexSleep", true},      {0, "slReflexSleep", false},
        {3, "slDLSSSetOptions", false}, {3, "slreflexsleep", false},     {3, nullptr, false},
    };
    freshJournal("functions");
    for (const Case& c : cases) {
        void* fn = reinterpret_cast<void*>(1);
        const int r = entry<SlGetFeatureFunction>("slGetFeatureFunction")(c.feature, c.name, &fn);
        EXPECT_EQ(c.found, r == 0) << (c.name ? c.name : "null");
        if (c.found) {
            EXPECT_NE(nullptr, fn);
        } else {
            EXPECT_EQ(reinterpret_cast<void*>(1), fn) << "a failed fetch leaves the slot alone";
        }
    }
}

TEST(StandinTokens, TokensAreDistinctAndMarkersNameThem)
{
    const std::string path = freshJournal("tokens");
    void* tokens[3] = {};
    for (auto& t : tokens)
        ASSERT_EQ(0, entry<SlGetNewFrameToken>("slGetNewFrameToken")(&t, nullptr));
    EXPECT_NE(tokens[0], tokens[1]);
    void* fn = nullptr;
    ASSERT_EQ(0, entry<SlGetFeatureFunction>("slGetFeatureFunction")(3, "slReflexSetMarker", &fn));
    auto* marker = reinterpret_cast<SlReflexSetMarker*>(fn);
    int foreign = 0;
    EXPECT_EQ(0, marker(4, tokens[1]));
    EXPECT_EQ(0, marker(8, &foreign));
    EXPECT_NE(0, marker(0, nullptr));

    auto journal = readJournal(path);
    auto made = entriesNamed(journal, "slGetNewFrameToken");
    ASSERT_EQ(3u, made.size());
    EXPECT_EQ(made[0].integer("token") + 1, made[1].integer("token"));
    EXPECT_EQ(made[1].integer("token") + 1, made[2].integer("token"));
    EXPECT_EQ("null", made[0].text("frameIndex"));
    auto byMarker = tally(journal, "slReflexSetMarker", "marker");
    EXPECT_EQ((std::map<std::string, std::size_t>{{"0", 1}, {"4", 1}, {"8", 1}}), byMarker);
    auto markers = entriesNamed(journal, "slReflexSetMarker");
    ASSERT_EQ(3u, markers.size());
    EXPECT_EQ(4, markers[0].integer("marker"));
    EXPECT_EQ(made[1].text("token"), markers[0].text("token"));
    EXPECT_EQ("foreign", markers[1].text("token"));
    EXPECT_EQ("null", markers[2].text("token"));
}

TEST(StandinJournal, ConstantsFloatsComeBackBitExact)
{
    const std::string path = freshJournal("constants");
    const float specials[] = {FLT_MAX, -0.0f, 1.0f / 3.0f, 1e-45f, -FLT_MIN, 16777217.0f, 0.1f, INFINITY};
    Record<456> constants({0xDCD35AD7, 0x4E4A, 0x4BAD, {0xA9, 0x0C, 0xE0, 0xC4, 0x9E, 0xB2, 0x3A, 0xFE}}, 1);
    for (std::size_t off = 32; off < 444; off += 4)
        constants.set(off, specials[(off / 4) % 8]);
    constants.set<float>(432, NAN);
    constants.set<std::uint8_t>(444, 2);
    constants.set<std::uint8_t>(450, 1);
    void* token = nullptr;
    ASSERT_EQ(0, entry<SlGetNewFrameToken>("slGetNewFrameToken")(&token, nullptr));
    auto vp = viewport(0);
    ASSERT_EQ(0, entry<SlSetConstants>("slSetConstants")(constants.get(), token, vp.get()));

    auto calls = entriesNamed(readJournal(path), "slSetConstants");
    ASSERT_EQ(1u, calls.size());
    const JournalEntry& e = calls[0];
    struct Field {
        const char* key;
        std::size_t offset;
        std::size_t count;
    };
    const Field fields[] = {{"cameraViewToClip", 32, 16},  {"clipToCameraView", 96, 16},
                            {"clipToLensClip", 160, 16},   {"clipToPrevClip", 224, 16},
                            {"prevClipToClip", 288, 16},   {"jitterOffset", 352, 2},
                            {"mvecScale", 360, 2},         {"cameraPinholeOffset", 368, 2},
                            {"cameraPos", 376, 3},         {"cameraUp", 388, 3},
                            {"cameraRight", 400, 3},       {"cameraFwd", 412, 3},
                            {"cameraNear", 424, 1},        {"cameraFar", 428, 1},
                            {"cameraAspectRatio", 436, 1}, {"motionVectorsInvalidValue", 440, 1}};
    for (const Field& f : fields) {
        auto values = f.count == 1 ? std::vector<double>{e.number(f.key, 12345.0)} : e.numbers(f.key);
        ASSERT_EQ(f.count, values.size()) << f.key;
        for (std::size_t n = 0; n < f.count; ++n) {
            std::uint32_t want;
            std::memcpy(&want, constants.bytes + f.offset + 4 * n, 4);
            EXPECT_EQ(want, bitsOf(values[n])) << f.key << "[" << n << "]";
        }
    }
    EXPECT_TRUE(std::isnan(e.number("cameraFOV")));
    EXPECT_EQ(2, e.integer("depthInverted"));
    EXPECT_EQ(1, e.integer("motionVectorsJittered"));
    EXPECT_EQ(0, e.integer("reset"));
}

TEST(StandinScript, FrameGenerationStatusFromTheNthCall)
{
    const std::string path = freshJournal("dlssg");
    setVariable("SL_STANDIN_DLSSG_STATUS", "4");
    setVariable("SL_STANDIN_DLSSG_STATUS_FROM", "3");
    reload();
    void* fn = nullptr;
    ASSERT_EQ(0, entry<SlGetFeatureFunction>("slGetFeatureFunction")(1000, "slDLSSGGetState", &fn));
    auto* getState = reinterpret_cast<SlDLSSGGetState*>(fn);
    auto vp = viewport(0);
    const std::uint32_t expected[] = {0, 0, 4, 4};
    for (std::uint32_t want : expected) {
        Record<56> state({0xCC8AC8E1, 0xA179, 0x44F5, {0x97, 0xFA, 0xE7, 0x41, 0x12, 0xF9, 0xBC, 0x61}}, 1);
        ASSERT_EQ(0, getState(vp.get(), state.bytes, nullptr));
        std::uint32_t status;
        std::memcpy(&status, state.bytes + 40, 4);
        EXPECT_EQ(want, status);
    }
    auto calls = entriesNamed(readJournal(path), "slDLSSGGetState");
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(4, calls[3].integer("status"));
    EXPECT_EQ("null", calls[0].text("options"));
}

TEST(StandinRobustness, NullArgumentsFailWithoutCrashing)
{
    freshJournal("nulls");
    EXPECT_NE(0, entry<SlInit>("slInit")(nullptr, 0));
    EXPECT_NE(0, entry<SlUpgradeInterface>("slUpgradeInterface")(nullptr));
    void* nothing = nullptr;
    EXPECT_NE(0, entry<SlUpgradeInterface>("slUpgradeInterface")(&nothing));
    EXPECT_NE(0, entry<SlGetNativeInterface>("slGetNativeInterface")(nullptr, &nothing));
    EXPECT_NE(0, entry<SlGetNewFrameToken>("slGetNewFrameToken")(nullptr, nullptr));
    EXPECT_NE(0, entry<SlSetConstants>("slSetConstants")(nullptr, nullptr, nullptr));
    EXPECT_NE(0, entry<SlSetTag>("slSetTag")(nullptr, nullptr, 3, nullptr));
    EXPECT_NE(0, entry<SlEvaluateFeature>("slEvaluateFeature")(0, nullptr, nullptr, 0, nullptr));
    EXPECT_NE(0, entry<SlSetD3DDevice>("slSetD3DDevice")(nullptr));
}

} // namespace
} // namespace fsr2bridge::standin::test
