#include "upscaler/host_installation.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#include "common/log.h"
#include "hooking/hook_and_enable.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/host_layout.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

// A mapped PE image as its headers describe it.
struct ImageView {
    const std::uint8_t* base = nullptr;
    const IMAGE_NT_HEADERS64* nt = nullptr;
    const IMAGE_SECTION_HEADER* sections = nullptr;
    std::size_t count = 0;

    // The section that holds all of [offset, offset + size) inside the image, or null.
    const IMAGE_SECTION_HEADER* sectionOf(std::uint64_t offset, std::uint64_t size) const noexcept
    {
        if (offset + size > nt->OptionalHeader.SizeOfImage)
            return nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            const std::uint64_t begin = s.VirtualAddress;
            const std::uint64_t end =
                begin + (s.Misc.VirtualSize != 0 ? s.Misc.VirtualSize : s.SizeOfRawData);
            if (offset >= begin && offset + size <= end)
                return &s;
        }
        return nullptr;
    }

    // Calls visit(entry) for each entry of the function table while it returns true. Nothing is read when
    // the exception directory does not lie inside one section.
    template <class Visit> void forEachFunction(Visit&& visit) const noexcept
    {
        using Entry = IMAGE_RUNTIME_FUNCTION_ENTRY;
        constexpr std::size_t directoriesEnd =
            offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
            (IMAGE_DIRECTORY_ENTRY_EXCEPTION + 1) * sizeof(IMAGE_DATA_DIRECTORY);
        if (nt->FileHeader.SizeOfOptionalHeader < directoriesEnd ||
            nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXCEPTION)
            return;
        const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
        if (table.VirtualAddress == 0 || sectionOf(table.VirtualAddress, table.Size) == nullptr)
            return;
        const std::size_t entries = table.Size / sizeof(Entry);
        for (std::size_t i = 0; i < entries; ++i) {
            Entry entry;
            std::memcpy(&entry, base + table.VirtualAddress + i * sizeof(Entry), sizeof(Entry));
            if (!visit(entry))
                return;
        }
    }
};

// The headers of a mapped image fit in its first page.
bool readHeaders(const std::uint8_t* image, ImageView& view) noexcept
{
    if (image == nullptr)
        return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    constexpr LONG headerPage = 4096;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        dos->e_lfanew > headerPage - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return false;
    const std::size_t sectionsAt = static_cast<std::size_t>(dos->e_lfanew) +
                                   offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt->FileHeader.SizeOfOptionalHeader;
    const std::size_t count = nt->FileHeader.NumberOfSections;
    if (sectionsAt + count * sizeof(IMAGE_SECTION_HEADER) > static_cast<std::size_t>(headerPage))
        return false;
    view = {image, nt, reinterpret_cast<const IMAGE_SECTION_HEADER*>(image + sectionsAt), count};
    return true;
}

// The guard's decision with its reason, in the log.
void logCameraTarget(const CameraTargetCheck& c) noexcept
{
    const auto at = static_cast<unsigned>(hostlayout::cameraFunction);
    switch (c.verdict) {
    case CameraTarget::functionStart:
        logLine("camera hook allowed: the game's function table has a function beginning at +0x%X", at);
        return;
    case CameraTarget::paddedStart:
        logLine("camera hook allowed: no function-table entry covers +0x%X and byte 0x%02X before it ends "
                "the code before",
                at, c.byteBefore);
        return;
    case CameraTarget::sectionStart:
        logLine("camera hook allowed: no function-table entry covers +0x%X, which begins its code section",
                at);
        return;
    case CameraTarget::notAnImage:
        logLine("camera hook skipped: the game's executable has no readable 64-bit headers");
        return;
    case CameraTarget::imageTooSmall:
        logLine("camera hook skipped: the game's image is too small for the camera data (another build)");
        return;
    case CameraTarget::notInCode:
        logLine("camera hook skipped: +0x%X is not in an executable section (another build)", at);
        return;
    case CameraTarget::insideFunction:
        logLine("camera hook skipped: +0x%X lies inside the function at +0x%X..+0x%X of the game's function "
                "table (another build)",
                at, static_cast<unsigned>(c.entryBegin), static_cast<unsigned>(c.entryEnd));
        return;
    case CameraTarget::otherLength:
        logLine(
            "camera hook skipped: the function at +0x%X of the game's function table is 0x%X bytes long, the "
            "known build's 0x%X (another build)",
            at, static_cast<unsigned>(c.entryEnd - c.entryBegin),
            static_cast<unsigned>(hostlayout::cameraFunctionLength));
        return;
    case CameraTarget::otherCode:
        logLine(
            "camera hook skipped: the code at +0x%X is not the known build's camera function (another build)",
            at);
        return;
    case CameraTarget::noStart:
        logLine("camera hook skipped: no function-table entry covers +0x%X and byte 0x%02X before it is no "
                "padding (another build)",
                at, c.byteBefore);
        return;
    case CameraTarget::dataNotWritable:
        logLine("camera hook skipped: the object pointer at +0x%X is not in writable data (another build)",
                static_cast<unsigned>(c.pointerAt));
        return;
    }
}

template <class F> void* detour(F* function) noexcept
{
    return reinterpret_cast<void*>(function);
}

constexpr const char* cameraHookName = "the game's camera function";

// Takes back hooks that were created but are not to go live; a trampoline slot left filled is never called.
void removeHooks(void* const* targets, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        if (targets[i] != nullptr) // null would mean every hook
            MH_RemoveHook(targets[i]);
    }
}

} // namespace

bool installHostHooks(void* cameraFunction) noexcept
{
    struct ExportHook {
        const char* name;
        void* detour;
        void** trampoline;
    };
    const ExportHook exports[] = {
        {"ffxFsr2ContextCreate", detour(&fsr2ContextCreateReplacement),
         fsr2TrampolineSlot(Fsr2Entry::create)},
        {"ffxFsr2ContextDispatch", detour(&fsr2ContextDispatchReplacement),
         fsr2TrampolineSlot(Fsr2Entry::dispatch)},
        {"ffxFsr2ContextDestroy", detour(&fsr2ContextDestroyReplacement),
         fsr2TrampolineSlot(Fsr2Entry::destroy)},
        {"ffxFsr2RegisterAliasableResources", detour(&fsr2RegisterAliasableResourcesReplacement), nullptr},
    };
    // The camera hook first, so that it is live no later than the dispatch that reads what it copies. It may
    // fail on its own: DLSS then runs with neutral camera data.
    void* created[1 + std::size(exports)] = {};
    const char* names[1 + std::size(exports)] = {};
    std::size_t count = 0;
    if (cameraFunction != nullptr) {
        if (MH_CreateHook(cameraFunction, detour(&hostCameraHook), hostCameraTrampolineSlot()) == MH_OK) {
            names[count] = cameraHookName;
            created[count++] = cameraFunction;
        } else {
            logLine("hook on %s could not be made: DLSS runs with neutral camera data", cameraHookName);
        }
    }
    const bool withCamera = count == 1;
    // The four FSR2 hooks are all or none: the game's own FSR2 would take our record in a context for its
    // own.
    for (const ExportHook& hook : exports) {
        void* function = nullptr;
        if (MH_CreateHookApiEx(nullptr, hook.name, hook.detour, hook.trampoline, &function) != MH_OK) {
            removeHooks(created, count);
            logLine("hook on %s could not be made: no host hook is installed, the game's own FSR2 runs",
                    hook.name);
            return false;
        }
        names[count] = hook.name;
        created[count++] = function;
    }
    // Enabled together, so that the game's threads stop once rather than once per hook.
    bool enabled = enableTogether(created, count);
    if (!enabled && withCamera) {
        logLine("hook on %s could not be enabled: DLSS runs with neutral camera data", cameraHookName);
        removeHooks(created, 1);
        created[0] = nullptr;
        enabled = enableTogether(created + 1, count - 1);
    }
    if (!enabled) {
        removeHooks(created, count);
        logLine("the FSR2 hooks could not be enabled: no host hook is installed, the game's own FSR2 runs");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (created[i] != nullptr)
            logLine("hook on %s installed", names[i]);
    }
    return true;
}

bool installUpscaler(HMODULE upscalerModule, Config* settings) noexcept
{
    const HMODULE host = GetModuleHandleW(nullptr);
    publishUpscalerState(upscalerModule, settings, host);
    auto* image = reinterpret_cast<std::uint8_t*>(host);
    // On another build of the host the camera function is not where we expect it: DLSS still replaces FSR2,
    // with neutral camera data and without Frame Generation requests.
    const CameraTargetCheck target = checkCameraTarget(image);
    logCameraTarget(target);
    const bool installed =
        installHostHooks(cameraHookAllowed(target.verdict) ? image + hostlayout::cameraFunction : nullptr);
    if (installed)
        logLine("DLSS is in place of the game's FSR2");
    return installed;
}

CameraTargetCheck checkCameraTarget(const std::uint8_t* image) noexcept
{
    CameraTargetCheck check;
    ImageView view;
    if (!readHeaders(image, view))
        return check;
    constexpr auto function = hostlayout::cameraFunction;
    check.verdict = CameraTarget::imageTooSmall;
    if (view.nt->OptionalHeader.SizeOfImage < hostlayout::fixedReadsEnd)
        return check;
    for (std::uintptr_t pointer : hostlayout::objectPointers) {
        const IMAGE_SECTION_HEADER* data = view.sectionOf(pointer, sizeof(void*));
        if (data == nullptr || (data->Characteristics & IMAGE_SCN_MEM_WRITE) == 0 ||
            (data->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0) {
            check.verdict = CameraTarget::dataNotWritable;
            check.pointerAt = pointer;
            return check;
        }
    }
    constexpr std::size_t startSize = sizeof hostlayout::cameraFunctionStart;
    const IMAGE_SECTION_HEADER* code = view.sectionOf(function, startSize);
    check.verdict = CameraTarget::notInCode;
    if (code == nullptr || (code->Characteristics & IMAGE_SCN_MEM_EXECUTE) == 0)
        return check;
    // Whatever the function table says, a later build may have another function at the same position.
    const bool knownStart = std::memcmp(image + function, hostlayout::cameraFunctionStart, startSize) == 0;
    // Every x64 function that touches the stack has an entry; a game update moves functions, and the entry
    // around the old position then begins somewhere else.
    bool covered = false;
    view.forEachFunction([&](const IMAGE_RUNTIME_FUNCTION_ENTRY& entry) {
        if (entry.BeginAddress == function) {
            check.entryBegin = entry.BeginAddress;
            check.entryEnd = entry.EndAddress;
            check.verdict = entry.EndAddress - entry.BeginAddress != hostlayout::cameraFunctionLength
                                ? CameraTarget::otherLength
                            : knownStart ? CameraTarget::functionStart
                                         : CameraTarget::otherCode;
            return false;
        }
        if (entry.BeginAddress < function && function < entry.EndAddress && !covered) {
            covered = true;
            check.entryBegin = entry.BeginAddress;
            check.entryEnd = entry.EndAddress;
        }
        return true;
    });
    if (check.verdict != CameraTarget::notInCode)
        return check;
    if (covered) {
        check.verdict = CameraTarget::insideFunction;
        return check;
    }
    if (!knownStart) {
        check.verdict = CameraTarget::otherCode;
        return check;
    }
    // A leaf function has no entry: then only what lies before it can tell where it begins.
    if (function == code->VirtualAddress) {
        check.verdict = CameraTarget::sectionStart;
        return check;
    }
    check.byteBefore = image[function - 1];
    constexpr std::uint8_t int3 = 0xCC, nop = 0x90, ret = 0xC3;
    check.verdict = check.byteBefore == int3 || check.byteBefore == nop || check.byteBefore == ret
                        ? CameraTarget::paddedStart
                        : CameraTarget::noStart;
    return check;
}

bool cameraHookAllowed(CameraTarget verdict) noexcept
{
    return verdict == CameraTarget::functionStart || verdict == CameraTarget::paddedStart ||
           verdict == CameraTarget::sectionStart;
}

bool hostLayoutFits(const std::uint8_t* image) noexcept
{
    return cameraHookAllowed(checkCameraTarget(image).verdict);
}

} // namespace fsr2bridge
