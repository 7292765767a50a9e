#pragma once
// Shared pieces of the stand-in Streamline: its script (environment), its
// journal and the bookkeeping the entry points and interposed objects share.
#include <unknwn.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace fsr2bridge::standin {

// --- Script -----------------------------------------------------------------

struct FailRule {
    char entry[64];
    std::int64_t code;
    bool hasCode;
};

// The adapters a feature is supported on (SL_STANDIN_ADAPTERS_<feature>): a list of LUIDs, or every adapter
// but the first DXGI enumerates.
struct AdapterRule {
    bool set;
    bool allButFirst;
    int count;
    LUID luids[8];
};

struct Script {
    int supported[4]; // Reflex, DLSS, DLSS-G, NIS
    AdapterRule adapters[4];
    std::uint32_t dlssgStatus;
    std::uint32_t dlssgStatusFrom;
    std::uint32_t sleepUs;
    bool noGpu;
    bool unwrappedSwapChains; // swap chains handed out as the system made them; any object has a native one
    bool initCreatesFactory;
    std::uint32_t initSleepMs;     // slInit takes this long, as a real one loading its plugins does
    bool dlssgStateIgnoresVersion; // Frame Generation writes its release's whole state whatever the version
    FailRule fails[32];
    int failCount;
    FailRule warns[16]; // SL_STANDIN_WARN: entries that answer a warning after their work
    int warnCount;
};

// Reads the environment into the script and (re)opens the journal.
void reloadScript();
const Script& script();

// Counts slDLSSGGetState calls since the last reload (1 for the first).
std::uint32_t nextDlssgGetStateCall();

// The scripted result for an entry, or false when the entry runs normally.
bool scriptedFailure(const char* entry, std::int64_t defaultCode, std::int64_t& code);

// The warning an entry is scripted to answer after doing its work (default 39, eWarnOutOfVRAM).
bool scriptedWarning(const char* entry, std::int64_t& code);

// Parses "name[:code],name[:code]" into the rules; exposed for tests.
int parseFailRules(const char* text, FailRule* rules, int capacity);
// Parses "allButFirst" or LUIDs as the journal writes them (16 hex digits, memory order), comma-separated.
bool parseAdapterRule(const char* text, AdapterRule& rule);

// --- Journal ----------------------------------------------------------------

// One journal line, built in place and written with one write on commit.
// When no journal is open every call is a no-op.
class Line {
public:
    explicit Line(const char* entry);
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    bool on() const { return on_; }

    Line& u(const char* key, std::uint64_t v);
    Line& i(const char* key, std::int64_t v);
    Line& hex(const char* key, std::uint64_t v);
    Line& ptr(const char* key, const void* p);
    Line& f(const char* key, float v);
    Line& floats(const char* key, const void* data, std::size_t count);
    Line& u32s(const char* key, const void* data, std::size_t count);
    Line& str(const char* key, const char* text);
    Line& wstr(const char* key, const wchar_t* text);
    Line& guid(const char* key, const GUID& g);
    Line& bytes(const char* key, const void* data, std::size_t count);
    Line& raw(const char* key, const char* value);
    // Adds the common header fields of a record: type, version, next.
    Line& record(const void* rec, const char* prefix = "");
    void commit(std::int64_t result);
    void commitHr(HRESULT hr);

private:
    void finish();
    void key(const char* key);
    void put(const char* text);
    void putEscaped(const char* text);
    void putFloat(float v);
    char buffer_[12288];
    std::size_t size_ = 0;
    bool on_ = false;
    bool overflow_ = false;
};

void journalSetPath(const wchar_t* path);

// --- Frame tokens -------------------------------------------------------------

std::uint32_t tokenId(const void* token, bool& ours);
void* newFrameToken(const std::uint32_t* frameIndex);

// Adds "token=<id>|null|foreign".
void journalToken(Line& line, const void* token);

// --- GPU work -----------------------------------------------------------------

// Drops every remembered tag (a reload starts from a clean slate).
void forgetTags();
// Drops the viewport's tag of one buffer type, as Streamline does with a stale tag (releases.cpp).
void forgetTag(std::uint32_t viewport, std::uint32_t type);
void forgetTaggedResource(std::uint32_t viewport, std::uint32_t type);
void rememberTags(std::uint32_t viewport, const void* tags, std::uint32_t count);
struct Evaluation {
    const char* work; // "scale", "copy", "none", "nogpu"
    const void* src;
    const void* dst;
    std::uint32_t fromWidth, fromHeight; // the input extent read
    std::uint32_t toWidth, toHeight;     // the output extent written
    std::uint32_t copies;                // CopyTextureRegion calls recorded
};
Evaluation recordEvaluation(std::uint32_t viewport, void* commandList);
// The source texel of destination texel `i` when `from` texels are scaled onto `to` (nearest: the source
// texel under the destination texel's centre).
std::uint32_t nearestSource(std::uint32_t i, std::uint32_t from, std::uint32_t to);

// --- Interposed objects ---------------------------------------------------------

class InterposedDevice;
enum class ObjectKind { none, device, factory, queue, swapChain };
ObjectKind interposedKind(const void* object);
// The real object behind an interposed one (no added reference), or null.
IUnknown* interposedReal(const void* object);
// Wraps a real device or factory; null on failure. The result carries one reference.
IUnknown* interposeDevice(IUnknown* device);
IUnknown* interposeFactory(IUnknown* factory);

// The last DLSS-G mode set, reported by presents.
extern volatile std::uint32_t lastFrameGenerationMode;

// --- Shared bookkeeping -----------------------------------------------------------

// Holds an SRW lock exclusively for its scope.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// The slot of `viewport` among `slots` (each with `used` and `viewport`); a new viewport takes the next slot
// in turn, reset.
template <class Slot, std::size_t N>
Slot& viewportSlot(Slot (&slots)[N], std::uint32_t& next, std::uint32_t viewport)
{
    for (Slot& s : slots)
        if (s.used && s.viewport == viewport)
            return s;
    Slot& s = slots[next++ % N];
    s = Slot{};
    s.used = true;
    s.viewport = viewport;
    return s;
}

// --- Streamline's rules (rules.cpp) -----------------------------------------------

// The render sizes a DLSS mode accepts for an output size, from a fixed table of ratios; false for a mode
// without one (off, unknown).
struct DlssRange {
    std::uint32_t optimalWidth, optimalHeight;
    std::uint32_t minWidth, minHeight, maxWidth, maxHeight;
};
bool dlssRange(std::uint32_t mode, std::uint32_t outputWidth, std::uint32_t outputHeight, DlssRange& out);
void rememberDlssOptions(std::uint32_t viewport, std::uint32_t mode, std::uint32_t outputWidth,
                         std::uint32_t outputHeight);
// The tagged input's size against the range of the viewport's DLSS mode (nothing to check without options,
// with mode off or without an input tag).
struct RenderSizeCheck {
    std::uint32_t mode;
    std::uint32_t width, height;
    bool outside;
};
RenderSizeCheck checkRenderSize(std::uint32_t viewport);

// kResultOk, or kResultDuplicatedConstants for other constants than those already set for this frame token
// and viewport (foreign tokens are not checked).
int acceptConstants(const void* token, std::uint32_t viewport, const void* constants);
// kResultOk for the first device; kResultInvalidIntegration for every later call, the same device included.
int bindDevice(const void* device);
// The index of a feature in the script's per-feature tables (Reflex, DLSS, DLSS-G, NIS), or -1.
int featureIndex(std::uint32_t feature);
// What slIsFeatureSupported answers for a feature on the adapter of `luid` (null: no adapter named), in
// Streamline's order: hardware scheduling, Windows' version, the script, the adapters. `rule` names the rule
// of the stand-in's own that refused ("os", "adapter"), else it stays null.
int featureSupport(std::uint32_t feature, const LUID* luid, const char*& rule);
// The latency ping message exists once Reflex has its options.
void noteReflexOptionsSet();
bool reflexOptionsSet();
// kResultFeatureNotSupported for a feature the script reports unsupported (SL_STANDIN_SUPPORTED_*),
// kResultFeatureMissing for one whose plug-in did not load (releases.cpp).
int featureFunctionRefusal(std::uint32_t feature);
// The buffer types whose last tag for the viewport carried a resource (bit n = type n, types below 64).
void rememberHeldTags(std::uint32_t viewport, const void* tags, std::uint32_t count);
std::uint64_t heldTags(std::uint32_t viewport);
// A reload starts Streamline's remembered state afresh.
void forgetRules();
// Commits a successful call: with the scripted warning of the entry (or of "<entry>.<qualifier>"), marked
// "warned=1", or with eOk; returns the result.
int finishWithScriptedWarning(Line& line, const char* entry, const char* qualifier = nullptr);

} // namespace fsr2bridge::standin
