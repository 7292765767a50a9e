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

struct Script {
    int supported[4]; // Reflex, DLSS, DLSS-G, NIS
    std::uint32_t dlssgStatus;
    std::uint32_t dlssgStatusFrom;
    std::uint32_t sleepUs;
    bool noGpu;
    bool unwrappedSwapChains; // swap chains handed out as the system made them; any object has a native one
    bool initCreatesFactory;
    FailRule fails[32];
    int failCount;
};

// Reads the environment into the script and (re)opens the journal.
void reloadScript();
const Script& script();

// Counts slDLSSGGetState calls since the last reload (1 for the first).
std::uint32_t nextDlssgGetStateCall();

// The scripted result for an entry, or false when the entry runs normally.
bool scriptedFailure(const char* entry, std::int64_t defaultCode, std::int64_t& code);

// Parses "name[:code],name[:code]" into the rules; exposed for tests.
int parseFailRules(const char* text, FailRule* rules, int capacity);

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

enum class ObjectKind { none, device, factory, queue, swapChain };
ObjectKind interposedKind(const void* object);
// The real object behind an interposed one (no added reference), or null.
IUnknown* interposedReal(const void* object);
// Wraps a real device or factory; null on failure. The result carries one reference.
IUnknown* interposeDevice(IUnknown* device);
IUnknown* interposeFactory(IUnknown* factory);

// The last DLSS-G mode set, reported by presents.
extern volatile std::uint32_t lastFrameGenerationMode;

} // namespace fsr2bridge::standin
