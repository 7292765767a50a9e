// The log file: kept previous log, start lines, the ring and its overflow, the byte limit, folders that
// cannot take a log, many producer threads at once, and errors logged once and then counted.
#include "common/log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fsr2bridge {
namespace {

constexpr std::uint32_t patience = 10000; // ms a flush may take under a busy Wine

class LogFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, base), 0u);
        static unsigned counter = 0;
        folder = std::wstring(base) + L"fsr2log_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(++counter);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }

    void TearDown() override
    {
        for (const wchar_t* name : {L"fsr2bridge.log", L"fsr2bridge.previous.log"}) {
            const std::wstring path = folder + L"\\" + name;
            if (!DeleteFileW(path.c_str()))
                RemoveDirectoryW(path.c_str());
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path(const wchar_t* name) const { return folder + L"\\" + name; }

    static void put(const std::wstring& path, const std::string& bytes)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }

    static std::optional<std::string> read(const std::wstring& path)
    {
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::nullopt;
        std::string content;
        char buffer[8192];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
            content.append(buffer, got);
        CloseHandle(file);
        return content;
    }

    // The log's lines without their time and thread prefix ("YYYY-MM-DD hh:mm:ss.mmm [tid] ").
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        const std::string text = read(path(L"fsr2bridge.log")).value_or("");
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            const std::size_t body = line.find("] ");
            out.push_back(body == std::string::npos ? line : line.substr(body + 2));
            start = end + 2;
        }
        return out;
    }

    // The lines after the four start lines.
    std::vector<std::string> events() const
    {
        std::vector<std::string> all = lines();
        if (all.size() <= 4)
            return {};
        return std::vector<std::string>(all.begin() + 4, all.end());
    }

    std::wstring folder;
};

constexpr LogEvent<std::uint32_t> numbered{"event {}"};
constexpr LogEvent<std::uint32_t, std::uint32_t, std::uint32_t> fromThread{"thread {} record {} check {}"};

bool logEvent(Logger& log, const LogEvent<std::uint32_t>& kind, std::uint32_t value)
{
    const std::uint64_t args[] = {value};
    return log.record(kind, args, 1);
}

TEST_F(LogFolder, EachStartKeepsThePreviousLog)
{
    struct Case {
        const char* name;
        const char* oldLog;      // null: none
        const char* oldPrevious; // null: none
        const char* expectedPrevious;
    };
    const Case cases[] = {
        {"first start", nullptr, nullptr, nullptr},
        {"second start", "last run\r\n", nullptr, "last run\r\n"},
        {"third start replaces the older one", "last run\r\n", "run before\r\n", "last run\r\n"},
        {"a previous log alone stays", nullptr, "run before\r\n", "run before\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(path(L"fsr2bridge.log").c_str());
        DeleteFileW(path(L"fsr2bridge.previous.log").c_str());
        if (c.oldLog)
            put(path(L"fsr2bridge.log"), c.oldLog);
        if (c.oldPrevious)
            put(path(L"fsr2bridge.previous.log"), c.oldPrevious);
        {
            Logger log;
            ASSERT_TRUE(log.start(folder));
            logEvent(log, numbered, 1);
            ASSERT_TRUE(log.flush(patience));
        }
        const auto previous = read(path(L"fsr2bridge.previous.log"));
        EXPECT_EQ(previous.has_value(), c.expectedPrevious != nullptr);
        if (c.expectedPrevious && previous) {
            EXPECT_EQ(*previous, c.expectedPrevious);
        }
        EXPECT_EQ(events(), std::vector<std::string>{"event 1"});
    }
}

// Another copy of the game running in the same folder keeps its log, under its name and to its end; this
// one writes its own beside it.
TEST_F(LogFolder, TheOpenLogOfAnotherRunningCopyIsLeftAlone)
{
    put(path(L"fsr2bridge.previous.log"), "run before\r\n");
    {
        Logger running, second;
        ASSERT_TRUE(running.start(folder));
        logEvent(running, numbered, 1);
        ASSERT_TRUE(running.flush(patience));
        ASSERT_TRUE(second.start(folder));
        logEvent(second, numbered, 2);
        ASSERT_TRUE(second.flush(patience));
        logEvent(running, numbered, 3);
        ASSERT_TRUE(running.flush(patience));
    }
    EXPECT_EQ(events(), (std::vector<std::string>{"event 1", "event 3"}));
    EXPECT_EQ(read(path(L"fsr2bridge.previous.log")).value_or(""), "run before\r\n");
    const std::wstring own =
        path((L"fsr2bridge." + std::to_wstring(GetCurrentProcessId()) + L".log").c_str());
    EXPECT_NE(read(own).value_or("").find("] event 2\r\n"), std::string::npos);
    DeleteFileW(own.c_str());
}

TEST_F(LogFolder, StartLinesComeFirstAndEveryLineHasTimeAndThread)
{
    Logger log;
    logEvent(log, numbered, 7); // before the start: waits in the ring
    ASSERT_TRUE(log.start(folder));
    log.text(std::string(3000, 'a')); // cut, and still a line of its own
    log.text("text with \xC3\xBC and a\r\nline break");
    ASSERT_TRUE(log.flush(patience));

    const std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[0].rfind("fsr2bridge ", 0), 0u) << all[0];
    EXPECT_NE(all[0].find(" (commit "), std::string::npos) << all[0];
    EXPECT_NE(all[1].find("process "), std::string::npos) << all[1];
    EXPECT_NE(all[1].find("test_log.exe (pid " + std::to_string(GetCurrentProcessId()) + ")"),
              std::string::npos)
        << all[1];
    // The test world's prefix reports Windows 10 with its build, as players' machines do.
    EXPECT_TRUE(std::regex_search(all[2], std::regex("^Windows 10\\.0 build [0-9]+"))) << all[2];
    EXPECT_EQ(all[3], "working directory " + toUtf8(folder));
    EXPECT_EQ(all[4], "event 7");
    EXPECT_EQ(all[5].find_first_not_of('a'), all[5].size() - 3);
    EXPECT_EQ(all[5].substr(all[5].size() - 3), "...");
    EXPECT_EQ(all[6], "text with \xC3\xBC and a  line break");

    // "2024-05-03 07:08:09.012 [4321] " on every line; the events in time order.
    const std::string text = *read(path(L"fsr2bridge.log"));
    std::vector<std::string> stamps;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::string line = text.substr(start, text.find("\r\n", start) - start);
        int year, month, day, hour, minute, second, millisecond;
        unsigned thread;
        ASSERT_EQ(std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d [%u] ", &year, &month, &day, &hour,
                              &minute, &second, &millisecond, &thread),
                  8)
            << line;
        // Local wall-clock time, within a minute of now.
        SYSTEMTIME parts{static_cast<WORD>(year),   static_cast<WORD>(month),      0,
                         static_cast<WORD>(day),    static_cast<WORD>(hour),       static_cast<WORD>(minute),
                         static_cast<WORD>(second), static_cast<WORD>(millisecond)};
        FILETIME stamped, local, utcNow;
        ASSERT_TRUE(SystemTimeToFileTime(&parts, &stamped)) << line;
        GetSystemTimeAsFileTime(&utcNow);
        FileTimeToLocalFileTime(&utcNow, &local);
        const auto ticks = [](const FILETIME& f) {
            return static_cast<long long>((std::uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime);
        };
        EXPECT_LT(std::llabs(ticks(local) - ticks(stamped)), 60LL * 10'000'000) << line;
        stamps.push_back(line.substr(0, 23));
        start = text.find("\r\n", start) + 2;
    }
    ASSERT_EQ(stamps.size(), 7u);
    EXPECT_LE(stamps[4], stamps[6]);
}

TEST_F(LogFolder, AFolderThatCannotTakeALogIsSkippedSilently)
{
    struct Case {
        const char* name;
        std::wstring directory;
    };
    // A directory where the log's name is taken by a folder.
    ASSERT_TRUE(CreateDirectoryW(path(L"fsr2bridge.log").c_str(), nullptr));
    const Case cases[] = {
        {"read-only system folder", L"Z:\\proc"},
        {"folder does not exist", folder + L"\\missing"},
        {"the log's name is a folder", folder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        logEvent(log, numbered, 1);
        log.text("before the start");
        ASSERT_TRUE(log.start(c.directory));
        EXPECT_FALSE(log.flush(patience));
        EXPECT_FALSE(log.accepting());
        EXPECT_FALSE(logEvent(log, numbered, 2));
        log.text("after the start");
        EXPECT_FALSE(log.flush(100));
    }
    const DWORD attributes = GetFileAttributesW(path(L"fsr2bridge.log").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW((folder + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LogFolder, AFullRingDropsRecordsAndTheWriterSaysHowMany)
{
    LogOptions options;
    options.ringCapacity = 64;
    options.pollMilliseconds = 3600 * 1000; // the writer wakes only when flushed
    Logger log(options);
    ASSERT_TRUE(log.start(folder));
    ASSERT_TRUE(log.flush(patience));

    struct Round {
        std::uint32_t pushed;
        std::uint32_t expectedDropped;
    };
    const Round rounds[] = {{64, 0}, {64 + 10, 10}, {200, 136}, {1, 0}};
    std::uint64_t droppedBefore = 0;
    for (const Round& r : rounds) {
        SCOPED_TRACE(r.pushed);
        const std::size_t linesBefore = events().size();
        std::uint32_t accepted = 0;
        for (std::uint32_t i = 0; i < r.pushed; ++i)
            accepted += logEvent(log, numbered, i) ? 1 : 0;
        EXPECT_EQ(accepted, r.pushed - r.expectedDropped);
        EXPECT_EQ(log.droppedRecords() - droppedBefore, r.expectedDropped);
        droppedBefore = log.droppedRecords();
        ASSERT_TRUE(log.flush(patience));

        const std::vector<std::string> after = events();
        std::vector<std::string> expected;
        for (std::uint32_t i = 0; i < accepted; ++i)
            expected.push_back("event " + std::to_string(i));
        if (r.expectedDropped)
            expected.push_back(std::to_string(r.expectedDropped) +
                               " log records dropped: they came faster than the log could take them");
        EXPECT_EQ(
            std::vector<std::string>(after.begin() + static_cast<std::ptrdiff_t>(linesBefore), after.end()),
            expected);
    }
}

TEST_F(LogFolder, OneStartWritesAtMost64KiBAndSaysTheRestWasDropped)
{
    LogOptions options; // the game's limit
    options.ringCapacity = 1 << 16;
    Logger log(options);
    ASSERT_TRUE(log.start(folder));
    const std::string filler(90, 'x');
    std::uint32_t refusedAt = 0;
    for (std::uint32_t i = 0; i < 5000 && !refusedAt; ++i) {
        log.text(filler + " " + std::to_string(i));
        logEvent(log, numbered, i);
        if (i % 100 == 99)
            log.flush(patience);
        if (!log.accepting())
            refusedAt = i;
    }
    log.flush(patience);
    EXPECT_NE(refusedAt, 0u) << "the limit was never reached";
    EXPECT_FALSE(logEvent(log, numbered, 1));

    const std::string text = *read(path(L"fsr2bridge.log"));
    EXPECT_LE(text.size(), 64u * 1024);
    EXPECT_GT(text.size(), 64u * 1024 - 200);
    const std::vector<std::string> all = lines();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), "the log reached its size limit: the rest of this run is not logged");
    EXPECT_EQ(std::count(all.begin(), all.end(), all.back()), 1);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(LogFolder, ManyProducerThreadsLoseNothingAndKeepTheirOrder)
{
    struct Case {
        const char* name;
        std::uint32_t ringCapacity;
        bool mayDrop;
    };
    const Case cases[] = {{"ring large enough", 1 << 16, false}, {"small ring", 16, true}};
    constexpr std::uint32_t threads = 8, perThread = 1500, textThreads = 2, textsPerThread = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        LogOptions options;
        options.ringCapacity = c.ringCapacity;
        options.byteLimit = 64ull << 20;
        options.pollMilliseconds = 1;
        Logger log(options);
        ASSERT_TRUE(log.start(folder));
        std::atomic<bool> go{false};
        std::vector<std::thread> workers;
        std::atomic<std::uint64_t> accepted{0};
        for (std::uint32_t t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                while (!go)
                    std::this_thread::yield();
                for (std::uint32_t i = 0; i < perThread; ++i) {
                    const std::uint64_t args[] = {t, i, t * 100003u + i * 7u};
                    accepted += log.record(fromThread, args, 3) ? 1 : 0;
                }
            });
        for (std::uint32_t t = 0; t < textThreads; ++t)
            workers.emplace_back([&, t] {
                while (!go)
                    std::this_thread::yield();
                for (std::uint32_t i = 0; i < textsPerThread; ++i)
                    log.text("text " + std::to_string(t) + " " + std::to_string(i));
            });
        go = true;
        for (auto& w : workers)
            w.join();
        ASSERT_TRUE(log.flush(patience));

        std::map<std::uint32_t, std::uint32_t> nextRecord;
        std::map<std::uint32_t, int> lastText;
        std::uint64_t records = 0, droppedLines = 0;
        for (const std::string& line : events()) {
            unsigned t, i, check;
            unsigned long long dropped;
            if (std::sscanf(line.c_str(), "thread %u record %u check %u", &t, &i, &check) == 3) {
                ASSERT_LT(t, threads) << line;
                EXPECT_EQ(check, t * 100003u + i * 7u) << "torn record: " << line;
                EXPECT_GE(i, nextRecord[t]) << "out of order: " << line;
                if (!c.mayDrop) {
                    EXPECT_EQ(i, nextRecord[t]) << "missing before: " << line;
                }
                nextRecord[t] = i + 1;
                ++records;
            } else if (std::sscanf(line.c_str(), "text %u %u", &t, &i) == 2) {
                EXPECT_GT(static_cast<int>(i), lastText.count(t) ? lastText[t] : -1) << line;
                lastText[t] = static_cast<int>(i);
            } else if (std::sscanf(line.c_str(), "%llu log records dropped", &dropped) == 1) {
                droppedLines += dropped;
            } else {
                ADD_FAILURE() << "unexpected line: " << line;
            }
        }
        EXPECT_EQ(records, accepted.load());
        EXPECT_EQ(droppedLines, log.droppedRecords());
        if (!c.mayDrop) {
            EXPECT_EQ(records, threads * perThread);
            EXPECT_EQ(log.droppedRecords(), 0u);
            for (std::uint32_t t = 0; t < textThreads; ++t)
                EXPECT_EQ(lastText[t], static_cast<int>(textsPerThread) - 1);
        }
    }
}

TEST_F(LogFolder, AnErrorIsLoggedInFullOnceAndThenCounted)
{
    static LogError<long, std::uint32_t> tagFailed{"slSetTag failed with {x} on viewport {}"};
    static LogError<std::uint32_t> evaluateFailed{"slEvaluateFeature failed with {}"};
    LogOptions options;
    options.pollMilliseconds = 3600 * 1000;
    options.repeatSummaryMilliseconds = 3600 * 1000; // summaries come only with a flush here
    Logger log(options);
    ASSERT_TRUE(log.start(folder));

    auto tag = [&](long code, std::uint32_t viewport) {
        const std::uint64_t args[] = {logdetail::encodeArg(code), viewport};
        log.error(tagFailed, args, 2);
    };
    auto evaluate = [&](std::uint32_t code) {
        const std::uint64_t args[] = {code};
        log.error(evaluateFailed, args, 1);
    };
    struct Step {
        const char* name;
        int tags, evaluations;
        std::vector<std::string> expected;
    };
    const std::vector<Step> steps = {
        {"first occurrences in full, repeats counted",
         1000,
         3,
         {"slSetTag failed with 0x80004005 on viewport 0", "slEvaluateFeature failed with 1",
          "slSetTag failed with ... on viewport ... (again 999 times, 1000 in all)",
          "slEvaluateFeature failed with ... (again 2 times, 3 in all)"}},
        {"only what came since",
         5,
         0,
         {"slSetTag failed with ... on viewport ... (again 5 times, 1005 in all)"}},
        {"nothing new, nothing said", 0, 0, {}},
        {"a single repeat", 0, 1, {"slEvaluateFeature failed with ... (again 1 time, 4 in all)"}},
    };
    std::size_t seen = 0;
    std::uint32_t n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        for (int i = 0; i < s.tags; ++i, ++n)
            tag(static_cast<long>(0x80004005u), n);
        for (int i = 0; i < s.evaluations; ++i)
            evaluate(static_cast<std::uint32_t>(i + 1));
        ASSERT_TRUE(log.flush(patience));
        const std::vector<std::string> all = events();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end()),
                  s.expected);
        seen = all.size();
    }
    EXPECT_EQ(tagFailed.occurrences.load(), 1005u);
}

// The first report of a counted error that finds the ring full is written all the same, and so is the
// summary of its repeats.
TEST_F(LogFolder, ACountedErrorMeetingAFullRingIsStillReported)
{
    static LogError<std::uint32_t> presentFailed{"present failed with {x}"};
    LogOptions options;
    options.ringCapacity = 16;
    options.pollMilliseconds = 3600 * 1000;
    options.repeatSummaryMilliseconds = 3600 * 1000;
    Logger log(options);
    ASSERT_TRUE(log.start(folder));
    ASSERT_TRUE(log.flush(patience));
    for (std::uint32_t i = 0; i < 16; ++i)
        logEvent(log, numbered, i);
    for (std::uint32_t i = 0; i < 3; ++i) {
        const std::uint64_t args[] = {0x887A0005u + i};
        log.error(presentFailed, args, 1);
    }
    ASSERT_TRUE(log.flush(patience));
    const std::vector<std::string> all = events();
    ASSERT_EQ(all.size(), 18u);
    EXPECT_EQ(all[16], "present failed with 0x887A0005");
    EXPECT_EQ(all[17], "present failed with ... (again 2 times, 3 in all)");
    EXPECT_EQ(log.droppedRecords(), 0u);
}

TEST_F(LogFolder, CountedErrorsAreSummedUpWithoutAFlush)
{
    static LogError<std::uint32_t> presentFailed{"present failed with {x}"};
    LogOptions options;
    options.pollMilliseconds = 10;
    options.repeatSummaryMilliseconds = 50;
    Logger log(options);
    ASSERT_TRUE(log.start(folder));
    for (std::uint32_t i = 0; i < 3; ++i) {
        const std::uint64_t args[] = {0x887A0005u};
        log.error(presentFailed, args, 1);
    }
    const std::vector<std::string> expected = {"present failed with 0x887A0005",
                                               "present failed with ... (again 2 times, 3 in all)"};
    // The writer's own timing: wait (up to a generous bound) for what it writes.
    for (int i = 0; i < 200 && events() != expected; ++i)
        Sleep(50);
    EXPECT_EQ(events(), expected);
}

TEST_F(LogFolder, StopWritesWhatIsPendingAndRefusesLaterRecords)
{
    LogOptions options;
    options.pollMilliseconds = 3600 * 1000;
    Logger log(options);
    ASSERT_TRUE(log.start(folder));
    logEvent(log, numbered, 1);
    log.text("last words");
    log.stop();
    EXPECT_EQ(events(), (std::vector<std::string>{"event 1", "last words"}));
    EXPECT_FALSE(logEvent(log, numbered, 2));
    EXPECT_FALSE(log.flush(100));
    EXPECT_FALSE(log.start(folder)) << "a log starts once";
}

TEST(LogText, ToUtf8)
{
    struct Case {
        std::wstring wide;
        std::string utf8;
    };
    const Case cases[] = {
        {L"", ""},
        {L"C:\\Games\\fsr2bridge.dll", "C:\\Games\\fsr2bridge.dll"},
        {L"C:\\Spiele\\\u00DCbung\\\u2713", "C:\\Spiele\\\xC3\x9C"
                                            "bung\\\xE2\x9C\x93"},
        {L"\U0001F600", "\xF0\x9F\x98\x80"},
        {{L'a', wchar_t(0xD800), L'b', wchar_t(0xDC00)},
         "a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD"}, // lone surrogates
    };
    for (const Case& c : cases)
        EXPECT_EQ(toUtf8(c.wide), c.utf8);
}

} // namespace
} // namespace fsr2bridge
