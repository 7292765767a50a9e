// The log's ring (many producers, one consumer), its writer thread and its file.
#include "common/log.h"

#include "common/build_info.h"
#include "common/log_format.h"
#include "common/unique_handle.h"

#include <intrin.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace fsr2bridge {
namespace {

constexpr const wchar_t* logName = L"fsr2bridge.log";
constexpr const wchar_t* previousLogName = L"fsr2bridge.previous.log";

// A text line's place in the ring; its text waits in the writer's text queue.
constexpr LogKind textMarker{nullptr, false, 0, {}, {}};

struct LogRecord {
    const LogKind* kind;
    std::int64_t time; // timestamp()
    std::uint32_t thread;
    std::uint32_t argCount;
    std::uint64_t args[maxLogArgs];
};
static_assert(sizeof(LogRecord) == 56);

// A ring slot: `sequence` says whose turn it is (the classic bounded-queue scheme): equal to the
// producer's position when free, position + 1 once written, position + capacity once read.
struct Slot {
    std::atomic<std::uint64_t> sequence;
    LogRecord record;
};
static_assert(sizeof(Slot) == 64);

std::uint32_t roundUpToPowerOfTwo(std::uint32_t value)
{
    std::uint32_t result = 2;
    while (result < value && result < (1u << 30))
        result <<= 1;
    return result;
}

std::int64_t performanceCounter() noexcept
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// A record's time: the processor's time-stamp counter where there is one (a few cycles to read, where the
// performance counter may cost a system call), else the performance counter.
std::int64_t timestamp() noexcept
{
#if defined(_M_X64) || defined(__x86_64__)
    return static_cast<std::int64_t>(__rdtsc());
#else
    return performanceCounter();
#endif
}

std::int64_t performanceFrequency() noexcept
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Timestamp ticks per second, measured against the performance counter between two readings.
std::int64_t timestampFrequency(std::int64_t fromStamp, std::int64_t fromCounter, std::int64_t toStamp,
                                std::int64_t toCounter) noexcept
{
#if defined(_M_X64) || defined(__x86_64__)
    if (toCounter <= fromCounter || toStamp <= fromStamp)
        return 0;
    return static_cast<std::int64_t>(static_cast<double>(toStamp - fromStamp) *
                                     static_cast<double>(performanceFrequency()) /
                                     static_cast<double>(toCounter - fromCounter));
#else
    (void)fromStamp, (void)fromCounter, (void)toStamp, (void)toCounter;
    return performanceFrequency();
#endif
}

std::string modulePath(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return "?";
        if (n < path.size()) {
            path.resize(n);
            return toUtf8(path);
        }
        path.resize(path.size() * 4);
    }
    return "?";
}

StartFacts gatherStartFacts(const std::wstring& directory)
{
    StartFacts facts;
    facts.version = buildVersion;
    facts.commit = buildCommit;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&gatherStartFacts), &self);
    facts.module = modulePath(self);
    facts.process = modulePath(nullptr);
    facts.processId = GetCurrentProcessId();
    // GetVersionEx answers by the executable's manifest; ntdll tells the truth.
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
        if (auto getVersion = reinterpret_cast<RtlGetVersionFunction>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))) {
            OSVERSIONINFOW info{};
            info.dwOSVersionInfoSize = sizeof info;
            if (getVersion(&info) == 0) {
                facts.windowsMajor = info.dwMajorVersion;
                facts.windowsMinor = info.dwMinorVersion;
                facts.windowsBuild = info.dwBuildNumber;
            }
        }
        using WineVersionFunction = const char*(__cdecl*)();
        if (auto wineVersion = reinterpret_cast<WineVersionFunction>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))))
            facts.wine = wineVersion();
    }
    facts.directory = toUtf8(directory);
    return facts;
}

} // namespace

class LogWriter {
public:
    explicit LogWriter(const LogOptions& options)
        : options_(options), capacity_(roundUpToPowerOfTwo(options.ringCapacity)), slots_(new Slot[capacity_])
    {
        for (std::uint32_t i = 0; i < capacity_; ++i)
            slots_[i].sequence.store(i, std::memory_order_relaxed);
    }

    ~LogWriter() { stop(); }

    // The log's one start, in `directory`: false when it was started before. With control_ held.
    bool claimStart(const std::wstring& directory)
    {
        if (started_)
            return false;
        directory_ = directory;
        started_ = true;
        return true;
    }

    bool start(const std::wstring& directory) noexcept
    {
        try {
            std::lock_guard lock(control_);
            if (!claimStart(directory))
                return false;
            DWORD id = 0;
            thread_.reset(CreateThread(nullptr, 0, &LogWriter::threadMain, this, 0, &id));
            if (!thread_) {
                finished_ = true;
                accepting_.store(false, std::memory_order_relaxed);
                return false;
            }
            SetThreadPriority(thread_.get(), THREAD_PRIORITY_BELOW_NORMAL);
            return true;
        } catch (...) {
            return false;
        }
    }

    bool writeNow(const std::wstring& directory) noexcept
    {
        try {
            std::lock_guard lock(control_);
            if (!claimStart(directory))
                return false;
        } catch (...) {
            return false;
        }
        const bool opened = open();
        if (opened) {
            writeStartLines();
            drain();
            summariseRepeats();
            writeOut();
            file_.reset();
        }
        accepting_.store(false, std::memory_order_relaxed);
        discardPending();
        std::lock_guard lock(control_);
        failed_ = !opened;
        finished_ = true;
        return opened;
    }

    void stop() noexcept
    {
        {
            std::lock_guard lock(control_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_) {
            WaitForSingleObject(thread_.get(), INFINITE);
            thread_.reset();
        }
        accepting_.store(false, std::memory_order_relaxed);
        discardPending();
    }

    bool flush(std::uint32_t timeoutMilliseconds) noexcept
    {
        std::unique_lock lock(control_);
        if (!started_ || finished_)
            return false;
        const std::uint64_t request = ++requested_;
        wake_.notify_all();
        done_.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                       [&] { return served_ >= request || finished_; });
        return served_ >= request && !failed_;
    }

    // `countDrop`: a full ring counts the record as dropped.
    bool push(const LogKind& kind, const std::uint64_t* args, std::uint32_t count,
              bool countDrop = true) noexcept
    {
        if (!accepting_.load(std::memory_order_relaxed))
            return false;
        std::uint64_t position = enqueue_.load(std::memory_order_relaxed);
        Slot* slot;
        for (;;) {
            slot = &slots_[position & (capacity_ - 1)];
            const std::uint64_t sequence = slot->sequence.load(std::memory_order_acquire);
            const auto difference = static_cast<std::int64_t>(sequence - position);
            if (difference == 0) {
                if (enqueue_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                    break;
            } else if (difference < 0) {
                if (countDrop)
                    dropped_.fetch_add(1, std::memory_order_relaxed);
                return false;
            } else {
                position = enqueue_.load(std::memory_order_relaxed);
            }
        }
        LogRecord& r = slot->record;
        r.kind = &kind;
        r.time = timestamp();
        r.thread = GetCurrentThreadId();
        r.argCount = count < maxLogArgs ? count : maxLogArgs;
        for (std::uint32_t i = 0; i < maxLogArgs; ++i)
            r.args[i] = i < r.argCount ? args[i] : 0;
        slot->sequence.store(position + 1, std::memory_order_release);
        return true;
    }

    // A counted error's first occurrence: into the ring, or, when it is full, kept in the kind itself until
    // the writer comes (one lock-free push onto a list of kinds; each kind is on it at most once).
    void pushFirst(LogErrorKind& kind, const std::uint64_t* args, std::uint32_t count) noexcept
    {
        if (push(kind, args, count, false) || !accepting_.load(std::memory_order_relaxed))
            return;
        kind.firstTime = timestamp();
        kind.firstThread = GetCurrentThreadId();
        kind.firstArgCount = count < maxLogArgs ? count : maxLogArgs;
        for (std::uint32_t i = 0; i < maxLogArgs; ++i)
            kind.firstArgs[i] = i < kind.firstArgCount ? args[i] : 0;
        LogErrorKind* head = kept_.load(std::memory_order_relaxed);
        do {
            kind.nextKept = head;
        } while (
            !kept_.compare_exchange_weak(head, &kind, std::memory_order_release, std::memory_order_relaxed));
    }

    void pushText(std::string_view utf8) noexcept
    {
        if (!accepting_.load(std::memory_order_relaxed))
            return;
        try {
            std::string line(utf8.substr(0, 4 * LineBuffer::capacity));
            // The marker and the text go in under one lock, so markers and texts stay in the same order.
            std::lock_guard lock(textLock_);
            if (push(textMarker, nullptr, 0))
                texts_.push_back(std::move(line));
        } catch (...) {
            // Out of memory: the line is lost, the game goes on.
        }
    }

    bool accepting() const noexcept { return accepting_.load(std::memory_order_relaxed); }
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    static DWORD WINAPI threadMain(void* self)
    {
        static_cast<LogWriter*>(self)->run();
        return 0;
    }

    void run() noexcept
    {
        if (!open()) {
            accepting_.store(false, std::memory_order_relaxed);
            discardPending();
            std::lock_guard lock(control_);
            failed_ = true;
            finished_ = true;
            done_.notify_all();
            return;
        }
        writeStartLines();
        writeOut();
        std::uint64_t lastSummary = GetTickCount64();
        for (;;) {
            std::uint64_t request;
            bool stopping;
            {
                std::unique_lock lock(control_);
                wake_.wait_for(lock, std::chrono::milliseconds(options_.pollMilliseconds),
                               [&] { return requested_ != served_ || stopping_; });
                request = requested_;
                stopping = stopping_;
            }
            calibrate();
            drain();
            const std::uint64_t now = GetTickCount64();
            if (request != served_ || stopping || now - lastSummary >= options_.repeatSummaryMilliseconds) {
                summariseRepeats();
                lastSummary = now;
            }
            writeOut();
            {
                std::lock_guard lock(control_);
                served_ = request;
                if (stopping)
                    finished_ = true;
            }
            done_.notify_all();
            if (stopping)
                return;
        }
    }

    void writeStartLines() noexcept
    {
        try {
            for (const std::string& line : startLines(gatherStartFacts(directory_)))
                writeText(timestamp(), GetCurrentThreadId(), line);
        } catch (...) {
        }
    }

    // The log is open without delete sharing, so that no other copy of the game can rename it.
    static HANDLE createLog(const std::wstring& path) noexcept
    {
        return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    // Keeps the last log as the previous one and starts a new file. The log of another copy of the game
    // running in the same folder is left alone: this one gets a name of its own.
    bool open() noexcept
    {
        try {
            std::wstring folder = directory_;
            if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
                folder += L'\\';
            const std::wstring path = folder + logName;
            const DWORD attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                MoveFileExW(path.c_str(), (folder + previousLogName).c_str(), MOVEFILE_REPLACE_EXISTING);
            file_.reset(createLog(path));
            if (!file_ && GetLastError() == ERROR_SHARING_VIOLATION)
                file_.reset(
                    createLog(folder + L"fsr2bridge." + std::to_wstring(GetCurrentProcessId()) + L".log"));
        } catch (...) {
            file_.reset();
        }
        if (!file_)
            return false;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        anchorCounter_ = performanceCounter();
        anchor_ = {timestamp(), 0, (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime};
        // A first measure of the timestamp's rate; calibrate() refines it as time goes by.
        Sleep(20);
        calibrate();
        return true;
    }

    // The timestamp's rate over all the time since the log was opened.
    void calibrate() noexcept
    {
        if (const std::int64_t frequency =
                timestampFrequency(anchor_.counter, anchorCounter_, timestamp(), performanceCounter()))
            anchor_.frequency = frequency;
    }

    // Takes every finished record out of the ring and turns it into a line.
    void drain() noexcept
    {
        for (;;) {
            Slot& slot = slots_[dequeue_ & (capacity_ - 1)];
            if (slot.sequence.load(std::memory_order_acquire) != dequeue_ + 1)
                break;
            const LogRecord record = slot.record;
            slot.sequence.store(dequeue_ + capacity_, std::memory_order_release);
            ++dequeue_;
            if (record.kind == &textMarker)
                writeText(record.time, record.thread, takeText());
            else
                writeRecord(record);
        }
        writeKeptFirsts();
        const std::uint64_t dropped = dropped_.load(std::memory_order_relaxed);
        if (dropped != droppedReported_) {
            line_.clear();
            line_.appendUnsigned(dropped - droppedReported_);
            line_.append(" log records dropped: they came faster than the log could take them");
            droppedReported_ = dropped;
            writeLine(timestamp(), GetCurrentThreadId());
        }
    }

    // The first occurrences that found the ring full, in the order they came.
    void writeKeptFirsts() noexcept
    {
        LogErrorKind* kind = kept_.exchange(nullptr, std::memory_order_acquire);
        LogErrorKind* inOrder = nullptr;
        while (kind) {
            LogErrorKind* next = kind->nextKept;
            kind->nextKept = inOrder;
            inOrder = kind;
            kind = next;
        }
        for (; inOrder; inOrder = inOrder->nextKept) {
            LogRecord record{inOrder, inOrder->firstTime, inOrder->firstThread, inOrder->firstArgCount, {}};
            for (std::uint32_t i = 0; i < maxLogArgs; ++i)
                record.args[i] = inOrder->firstArgs[i];
            writeRecord(record);
        }
    }

    std::string takeText() noexcept
    {
        std::lock_guard lock(textLock_);
        if (texts_.empty())
            return {};
        std::string text = std::move(texts_.front());
        texts_.pop_front();
        return text;
    }

    void writeRecord(const LogRecord& record) noexcept
    {
        line_.clear();
        appendEvent(line_, *record.kind, record.args, record.argCount);
        writeLine(record.time, record.thread);
        if (record.kind->counted)
            noteCounted(static_cast<const LogErrorKind&>(*record.kind));
    }

    // A counted error's first record: from now on its later occurrences are summed up.
    void noteCounted(const LogErrorKind& kind) noexcept
    {
        for (const auto& entry : counted_)
            if (entry.kind == &kind)
                return;
        try {
            counted_.push_back({&kind, 1});
        } catch (...) {
        }
    }

    void summariseRepeats() noexcept
    {
        for (auto& entry : counted_) {
            const std::uint64_t total = entry.kind->occurrences.load(std::memory_order_relaxed);
            if (total <= entry.reported)
                continue;
            line_.clear();
            appendRepeatSummary(line_, *entry.kind, total - entry.reported, total);
            entry.reported = total;
            writeLine(timestamp(), GetCurrentThreadId());
        }
    }

    void writeText(std::int64_t time, std::uint32_t thread, std::string_view text) noexcept
    {
        line_.clear();
        line_.appendText(text);
        writeLine(time, thread);
    }

    // Prefixes line_ with its time and thread and queues it for the file, minding the byte limit.
    void writeLine(std::int64_t time, std::uint32_t thread) noexcept
    {
        if (capped_ || !file_)
            return;
        static constexpr std::string_view limitText =
            "the log reached its size limit: the rest of this run is not logged";
        LineBuffer& full = full_;
        full.clear();
        appendLogLine(full, localTime(time), thread, line_.view());
        // Room for the closing line (its prefix at most 40 bytes) stays free until the last.
        constexpr std::uint64_t closing = 40 + limitText.size() + 2;
        if (bytes_ + full.view().size() + closing > options_.byteLimit) {
            capped_ = true;
            accepting_.store(false, std::memory_order_relaxed);
            full.clear();
            appendLogLine(full, localTime(timestamp()), GetCurrentThreadId(), limitText);
            if (bytes_ + full.view().size() > options_.byteLimit)
                return;
        }
        queue(full.view());
    }

    SYSTEMTIME localTime(std::int64_t time) const noexcept
    {
        const std::uint64_t utc = fileTimeAt(anchor_, time);
        FILETIME fileTime{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
        FILETIME local;
        SYSTEMTIME parts{};
        if (!FileTimeToLocalFileTime(&fileTime, &local) || !FileTimeToSystemTime(&local, &parts))
            FileTimeToSystemTime(&fileTime, &parts);
        return parts;
    }

    void queue(std::string_view bytes) noexcept
    {
        if (pendingSize_ + bytes.size() > sizeof pending_)
            writeOut();
        if (bytes.size() > sizeof pending_)
            return;
        std::memcpy(pending_ + pendingSize_, bytes.data(), bytes.size());
        pendingSize_ += bytes.size();
        bytes_ += bytes.size();
    }

    void writeOut() noexcept
    {
        if (pendingSize_ == 0 || !file_) {
            pendingSize_ = 0;
            return;
        }
        DWORD written = 0;
        if (!WriteFile(file_.get(), pending_, static_cast<DWORD>(pendingSize_), &written, nullptr) ||
            written != pendingSize_) {
            // A full disk or a vanished folder: the log ends here, the game goes on.
            capped_ = true;
            accepting_.store(false, std::memory_order_relaxed);
        }
        pendingSize_ = 0;
    }

    // Empties the ring and the text queue without writing (the log is closed or could not be opened).
    void discardPending() noexcept
    {
        for (;;) {
            Slot& slot = slots_[dequeue_ & (capacity_ - 1)];
            if (slot.sequence.load(std::memory_order_acquire) != dequeue_ + 1)
                break;
            slot.sequence.store(dequeue_ + capacity_, std::memory_order_release);
            ++dequeue_;
        }
        kept_.store(nullptr, std::memory_order_relaxed);
        std::lock_guard lock(textLock_);
        texts_.clear();
    }

    struct CountedEntry {
        const LogErrorKind* kind;
        std::uint64_t reported;
    };

    const LogOptions options_;
    const std::uint32_t capacity_;
    const std::unique_ptr<Slot[]> slots_;
    std::atomic<bool> accepting_{true};
    std::atomic<std::uint64_t> enqueue_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<LogErrorKind*> kept_{nullptr};

    std::mutex textLock_;
    std::deque<std::string> texts_;

    // Start, flush and stop.
    std::mutex control_;
    std::condition_variable wake_, done_;
    bool started_ = false, stopping_ = false, finished_ = false, failed_ = false;
    std::uint64_t requested_ = 0, served_ = 0;
    std::wstring directory_;
    UniqueHandle thread_;

    // The writer thread's own.
    std::uint64_t dequeue_ = 0;
    std::uint64_t droppedReported_ = 0;
    std::vector<CountedEntry> counted_;
    UniqueHandle file_;
    ClockAnchor anchor_{};
    std::int64_t anchorCounter_ = 0;
    std::uint64_t bytes_ = 0;
    bool capped_ = false;
    LineBuffer line_, full_;
    char pending_[16 * 1024];
    std::size_t pendingSize_ = 0;
};

Logger::Logger(const LogOptions& options) : writer_(new LogWriter(options)) {}

Logger::~Logger() = default;

bool Logger::start(const std::wstring& directory) noexcept
{
    return writer_->start(directory);
}

void Logger::stop() noexcept
{
    writer_->stop();
}

bool Logger::writeNow(const std::wstring& directory) noexcept
{
    return writer_->writeNow(directory);
}

bool Logger::flush(std::uint32_t timeoutMilliseconds) noexcept
{
    return writer_->flush(timeoutMilliseconds);
}

bool Logger::record(const LogKind& kind, const std::uint64_t* args, std::uint32_t count) noexcept
{
    return writer_->push(kind, args, count);
}

void Logger::error(LogErrorKind& kind, const std::uint64_t* args, std::uint32_t count) noexcept
{
    if (kind.occurrences.fetch_add(1, std::memory_order_relaxed) == 0)
        writer_->pushFirst(kind, args, count);
}

void Logger::text(std::string_view utf8) noexcept
{
    writer_->pushText(utf8);
}

bool Logger::accepting() const noexcept
{
    return writer_->accepting();
}

std::uint64_t Logger::droppedRecords() const noexcept
{
    return writer_->dropped();
}

Logger& processLog() noexcept
{
    // Made on first use and never destroyed: nothing of the log runs at process detach.
    static Logger* const log = new Logger();
    return *log;
}

namespace {

// The current directory; empty when it cannot be read.
std::wstring currentDirectory()
{
    std::wstring folder;
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0)
        return folder;
    folder.resize(size);
    const DWORD n = GetCurrentDirectoryW(size, folder.data());
    folder.resize(n < size ? n : 0);
    return folder;
}

} // namespace

bool startLog(const std::wstring& directory) noexcept
{
    try {
        const std::wstring folder = directory.empty() ? currentDirectory() : directory;
        if (folder.empty())
            return false;
        // The writer thread runs our code for the rest of the process: the module must never be unloaded.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&startLog), &self);
        return processLog().start(folder);
    } catch (...) {
        return false;
    }
}

bool writeLogNow() noexcept
{
    try {
        const std::wstring folder = currentDirectory();
        return !folder.empty() && processLog().writeNow(folder);
    } catch (...) {
        return false;
    }
}

void logLine(const char* format, ...) noexcept
{
    if (!format || !processLog().accepting())
        return;
    char text[LineBuffer::capacity];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= 0)
        processLog().text(
            std::string_view(text, static_cast<std::size_t>(n) < sizeof text ? n : sizeof text - 1));
}

void logText(std::string_view utf8) noexcept
{
    processLog().text(utf8);
}

bool flushLog(std::uint32_t timeoutMilliseconds) noexcept
{
    return processLog().flush(timeoutMilliseconds);
}

} // namespace fsr2bridge
