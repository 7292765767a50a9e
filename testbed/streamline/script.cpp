// Scripting by environment variables and the journal file.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "records.h"
#include "releases.h"
#include "standin.h"

namespace fsr2bridge::standin {
namespace {

Script current{};
std::atomic<std::uint32_t> dlssgGetStateCalls{0};
HANDLE journal = INVALID_HANDLE_VALUE;
// Lines from several threads are written one at a time: Wine's appending writes are not atomic, and two at
// once can land on the same offset, one line overwriting the other.
SRWLOCK journalWrites = SRWLOCK_INIT;

bool readVariable(const char* name, char* out, DWORD size)
{
    DWORD n = GetEnvironmentVariableA(name, out, size);
    return n > 0 && n < size;
}

std::int64_t parseInteger(const char* text, std::int64_t fallback)
{
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (end == text || *end != '\0') {
        // Large hex codes such as 0x887A0005 do not fit a signed parse path on every CRT.
        unsigned long long u = std::strtoull(text, &end, 0);
        if (end == text || *end != '\0')
            return fallback;
        return static_cast<std::int64_t>(u);
    }
    return v;
}

std::int64_t integerVariable(const char* name, std::int64_t fallback)
{
    char text[64];
    return readVariable(name, text, sizeof text) ? parseInteger(text, fallback) : fallback;
}

} // namespace

int parseFailRules(const char* text, FailRule* rules, int capacity)
{
    int count = 0;
    const char* p = text;
    while (p && *p && count < capacity) {
        const char* end = std::strchr(p, ',');
        std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        char item[96] = {};
        if (len >= sizeof item)
            len = sizeof item - 1;
        std::memcpy(item, p, len);
        char* colon = std::strchr(item, ':');
        FailRule rule{};
        if (colon) {
            *colon = '\0';
            rule.code = parseInteger(colon + 1, 1);
            rule.hasCode = colon[1] != '\0';
        }
        // Trim spaces around the name.
        char* name = item;
        while (*name == ' ')
            ++name;
        std::size_t n = std::strlen(name);
        while (n > 0 && name[n - 1] == ' ')
            name[--n] = '\0';
        if (n > 0 && n < sizeof rule.entry) {
            std::memcpy(rule.entry, name, n + 1);
            rules[count++] = rule;
        }
        p = end ? end + 1 : nullptr;
    }
    return count;
}

bool parseAdapterRule(const char* text, AdapterRule& rule)
{
    rule = AdapterRule{};
    if (!text || !*text)
        return false;
    AdapterRule parsed{};
    parsed.set = true;
    parsed.allButFirst = std::strcmp(text, "allButFirst") == 0;
    for (const char* p = text; !parsed.allButFirst && *p;) {
        unsigned char bytes[sizeof(LUID)] = {};
        for (std::size_t n = 0; n < sizeof bytes; ++n) {
            unsigned value = 0;
            if (parsed.count == 8 || std::sscanf(p + 2 * n, "%2x", &value) != 1)
                return false;
            bytes[n] = static_cast<unsigned char>(value);
        }
        std::memcpy(&parsed.luids[parsed.count++], bytes, sizeof bytes);
        p += 2 * sizeof bytes;
        if (*p == ',')
            ++p;
        else if (*p != '\0')
            return false;
    }
    rule = parsed;
    return true;
}

void reloadScript()
{
    Script s{};
    s.supported[0] = static_cast<int>(integerVariable("SL_STANDIN_SUPPORTED_REFLEX", 0));
    s.supported[1] = static_cast<int>(integerVariable("SL_STANDIN_SUPPORTED_DLSS", 0));
    s.supported[2] = static_cast<int>(integerVariable("SL_STANDIN_SUPPORTED_DLSS_G", 0));
    s.supported[3] = static_cast<int>(integerVariable("SL_STANDIN_SUPPORTED_NIS", 0));
    const char* const adapterVariables[4] = {"SL_STANDIN_ADAPTERS_REFLEX", "SL_STANDIN_ADAPTERS_DLSS",
                                             "SL_STANDIN_ADAPTERS_DLSS_G", "SL_STANDIN_ADAPTERS_NIS"};
    for (int n = 0; n < 4; ++n) {
        char adapters[256];
        if (readVariable(adapterVariables[n], adapters, sizeof adapters))
            parseAdapterRule(adapters, s.adapters[n]);
    }
    s.dlssgStatus = static_cast<std::uint32_t>(integerVariable("SL_STANDIN_DLSSG_STATUS", 0));
    s.dlssgStatusFrom = static_cast<std::uint32_t>(integerVariable("SL_STANDIN_DLSSG_STATUS_FROM", 1));
    s.sleepUs = static_cast<std::uint32_t>(integerVariable("SL_STANDIN_SLEEP_US", 0));
    s.noGpu = integerVariable("SL_STANDIN_NOGPU", 0) != 0;
    s.unwrappedSwapChains = integerVariable("SL_STANDIN_UNWRAPPED_SWAPCHAINS", 0) != 0;
    s.initCreatesFactory = integerVariable("SL_STANDIN_INIT_CREATES_FACTORY", 0) != 0;
    s.initSleepMs = static_cast<std::uint32_t>(integerVariable("SL_STANDIN_INIT_SLEEP_MS", 0));
    s.dlssgStateIgnoresVersion = integerVariable("SL_STANDIN_DLSSG_STATE_IGNORES_VERSION", 0) != 0;
    char fails[2048];
    if (readVariable("SL_STANDIN_FAIL", fails, sizeof fails))
        s.failCount = parseFailRules(fails, s.fails, static_cast<int>(sizeof s.fails / sizeof s.fails[0]));
    char warns[1024];
    if (readVariable("SL_STANDIN_WARN", warns, sizeof warns))
        s.warnCount = parseFailRules(warns, s.warns, static_cast<int>(sizeof s.warns / sizeof s.warns[0]));
    current = s;
    dlssgGetStateCalls = 0;
    forgetTags();
    forgetRules();
    forgetReleaseState();

    wchar_t path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", path, MAX_PATH * 2);
    journalSetPath(n > 0 && n < MAX_PATH * 2 ? path : nullptr);
}

const Script& script()
{
    return current;
}

std::uint32_t nextDlssgGetStateCall()
{
    return ++dlssgGetStateCalls;
}

bool scriptedFailure(const char* entry, std::int64_t defaultCode, std::int64_t& code)
{
    for (int k = 0; k < current.failCount; ++k) {
        if (std::strcmp(current.fails[k].entry, entry) == 0) {
            code = current.fails[k].hasCode ? current.fails[k].code : defaultCode;
            return true;
        }
    }
    return false;
}

bool scriptedWarning(const char* entry, std::int64_t& code)
{
    for (int k = 0; k < current.warnCount; ++k) {
        if (std::strcmp(current.warns[k].entry, entry) == 0) {
            code = current.warns[k].hasCode ? current.warns[k].code : kResultWarnOutOfVRAM;
            return true;
        }
    }
    return false;
}

void journalSetPath(const wchar_t* path)
{
    HANDLE next = INVALID_HANDLE_VALUE;
    if (path) {
        next = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    AcquireSRWLockExclusive(&journalWrites);
    HANDLE old = journal;
    journal = next;
    ReleaseSRWLockExclusive(&journalWrites);
    if (old != INVALID_HANDLE_VALUE)
        CloseHandle(old);
}

// --- Line -------------------------------------------------------------------

Line::Line(const char* entry) : on_(journal != INVALID_HANDLE_VALUE)
{
    if (on_)
        put(entry);
}

void Line::put(const char* text)
{
    std::size_t n = std::strlen(text);
    // Two bytes stay free for the newline and the terminator.
    if (size_ + n + 2 > sizeof buffer_) {
        overflow_ = true;
        return;
    }
    std::memcpy(buffer_ + size_, text, n);
    size_ += n;
}

void Line::putEscaped(const char* text)
{
    char one[4];
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '%' || c == ' ' || c == '=' || c == '\t' || c == '\r' || c == '\n' || c < 0x20) {
            std::snprintf(one, sizeof one, "%%%02X", c);
        } else {
            one[0] = static_cast<char>(c);
            one[1] = '\0';
        }
        put(one);
    }
}

void Line::key(const char* k)
{
    put(" ");
    put(k);
    put("=");
}

Line& Line::u(const char* k, std::uint64_t v)
{
    if (!on_)
        return *this;
    char text[32];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v));
    key(k);
    put(text);
    return *this;
}

Line& Line::i(const char* k, std::int64_t v)
{
    if (!on_)
        return *this;
    char text[32];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
    key(k);
    put(text);
    return *this;
}

Line& Line::hex(const char* k, std::uint64_t v)
{
    if (!on_)
        return *this;
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    key(k);
    put(text);
    return *this;
}

Line& Line::ptr(const char* k, const void* p)
{
    if (!on_)
        return *this;
    if (!p)
        return raw(k, "null");
    return hex(k, reinterpret_cast<std::uintptr_t>(p));
}

void Line::putFloat(float v)
{
    char text[48];
    if (v != v) {
        std::snprintf(text, sizeof text, "%s", std::signbit(v) ? "-nan" : "nan");
    } else {
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    }
    put(text);
}

Line& Line::f(const char* k, float v)
{
    if (!on_)
        return *this;
    key(k);
    putFloat(v);
    return *this;
}

Line& Line::floats(const char* k, const void* data, std::size_t count)
{
    if (!on_)
        return *this;
    key(k);
    for (std::size_t n = 0; n < count; ++n) {
        float v;
        std::memcpy(&v, static_cast<const unsigned char*>(data) + n * sizeof v, sizeof v);
        if (n)
            put(",");
        putFloat(v);
    }
    return *this;
}

Line& Line::u32s(const char* k, const void* data, std::size_t count)
{
    if (!on_)
        return *this;
    key(k);
    for (std::size_t n = 0; n < count; ++n) {
        std::uint32_t v;
        std::memcpy(&v, static_cast<const unsigned char*>(data) + n * sizeof v, sizeof v);
        char text[16];
        std::snprintf(text, sizeof text, n ? ",%u" : "%u", static_cast<unsigned>(v));
        put(text);
    }
    return *this;
}

Line& Line::str(const char* k, const char* text)
{
    if (!on_)
        return *this;
    if (!text)
        return raw(k, "null");
    key(k);
    putEscaped(text);
    return *this;
}

Line& Line::wstr(const char* k, const wchar_t* text)
{
    if (!on_)
        return *this;
    if (!text)
        return raw(k, "null");
    char utf8[MAX_PATH * 3];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (n <= 0)
        utf8[0] = '\0';
    key(k);
    putEscaped(utf8);
    return *this;
}

Line& Line::guid(const char* k, const GUID& g)
{
    if (!on_)
        return *this;
    char text[48];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    key(k);
    put(text);
    return *this;
}

Line& Line::bytes(const char* k, const void* data, std::size_t count)
{
    if (!on_)
        return *this;
    if (!data)
        return raw(k, "null");
    key(k);
    for (std::size_t n = 0; n < count; ++n) {
        char text[4];
        std::snprintf(text, sizeof text, "%02x", static_cast<const unsigned char*>(data)[n]);
        put(text);
    }
    return *this;
}

Line& Line::raw(const char* k, const char* value)
{
    if (!on_)
        return *this;
    key(k);
    put(value);
    return *this;
}

Line& Line::record(const void* rec, const char* prefix)
{
    if (!on_)
        return *this;
    char k[48];
    if (!rec) {
        std::snprintf(k, sizeof k, "%stype", prefix);
        return raw(k, "null");
    }
    std::snprintf(k, sizeof k, "%stype", prefix);
    guid(k, recordType(rec));
    std::snprintf(k, sizeof k, "%sversion", prefix);
    u(k, recordVersion(rec));
    std::snprintf(k, sizeof k, "%snext", prefix);
    ptr(k, recordNext(rec));
    return *this;
}

void Line::commit(std::int64_t result)
{
    if (!on_)
        return;
    u("tid", GetCurrentThreadId());
    i("result", result);
    finish();
}

void Line::commitHr(HRESULT hr)
{
    if (!on_)
        return;
    u("tid", GetCurrentThreadId());
    hex("result", static_cast<std::uint32_t>(hr));
    finish();
}

void Line::finish()
{
    if (overflow_) {
        // Never write half a line: mark the truncation instead.
        size_ = 0;
        overflow_ = false;
        put("journal.overflow");
    }
    buffer_[size_++] = '\n';
    AcquireSRWLockExclusive(&journalWrites);
    HANDLE h = journal;
    DWORD written = 0;
    if (h != INVALID_HANDLE_VALUE)
        WriteFile(h, buffer_, static_cast<DWORD>(size_), &written, nullptr);
    ReleaseSRWLockExclusive(&journalWrites);
    on_ = false;
}

} // namespace fsr2bridge::standin
