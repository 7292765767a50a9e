#include "upscaler/camera_target.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "upscaler/host_layout.h"

namespace fsr2bridge {

namespace {

// A mapped PE image as its headers describe it. The headers are copied out: nothing guarantees their
// alignment.
struct ImageView {
    const std::uint8_t* base = nullptr;
    IMAGE_NT_HEADERS64 nt{};
    std::size_t sectionsAt = 0;
    std::size_t count = 0;

    // The section that holds all of [offset, offset + size) inside the image, into `out`; false when none
    // does.
    bool sectionOf(std::uint64_t offset, std::uint64_t size, IMAGE_SECTION_HEADER& out) const noexcept
    {
        if (offset + size > nt.OptionalHeader.SizeOfImage)
            return false;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(&out, base + sectionsAt + i * sizeof out, sizeof out);
            const std::uint64_t begin = out.VirtualAddress;
            const std::uint64_t end =
                begin + (out.Misc.VirtualSize != 0 ? out.Misc.VirtualSize : out.SizeOfRawData);
            if (offset >= begin && offset + size <= end)
                return true;
        }
        return false;
    }

    // Calls visit(entry) for each entry of the function table while it returns true. Nothing is read when
    // the exception directory does not lie inside one section.
    template <class Visit> void forEachFunction(Visit&& visit) const noexcept
    {
        using Entry = IMAGE_RUNTIME_FUNCTION_ENTRY;
        constexpr std::size_t directoriesEnd =
            offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
            (IMAGE_DIRECTORY_ENTRY_EXCEPTION + 1) * sizeof(IMAGE_DATA_DIRECTORY);
        if (nt.FileHeader.SizeOfOptionalHeader < directoriesEnd ||
            nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXCEPTION)
            return;
        const IMAGE_DATA_DIRECTORY& table = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
        IMAGE_SECTION_HEADER holder;
        if (table.VirtualAddress == 0 || !sectionOf(table.VirtualAddress, table.Size, holder))
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
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, image, sizeof dos);
    constexpr LONG headerPage = 4096;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        dos.e_lfanew > headerPage - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
        return false;
    view.base = image;
    std::memcpy(&view.nt, image + dos.e_lfanew, sizeof view.nt);
    if (view.nt.Signature != IMAGE_NT_SIGNATURE ||
        view.nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return false;
    view.sectionsAt = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                      view.nt.FileHeader.SizeOfOptionalHeader;
    view.count = view.nt.FileHeader.NumberOfSections;
    return view.sectionsAt + view.count * sizeof(IMAGE_SECTION_HEADER) <=
           static_cast<std::size_t>(headerPage);
}

} // namespace

CameraTargetCheck checkCameraTarget(const std::uint8_t* image) noexcept
{
    CameraTargetCheck check;
    ImageView view;
    if (!readHeaders(image, view))
        return check;
    constexpr auto function = hostlayout::cameraFunction;
    check.verdict = CameraTarget::imageTooSmall;
    if (view.nt.OptionalHeader.SizeOfImage < hostlayout::fixedReadsEnd)
        return check;
    for (std::uintptr_t pointer : hostlayout::objectPointers) {
        IMAGE_SECTION_HEADER data;
        if (!view.sectionOf(pointer, sizeof(void*), data) ||
            (data.Characteristics & IMAGE_SCN_MEM_WRITE) == 0 ||
            (data.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0) {
            check.verdict = CameraTarget::dataNotWritable;
            check.pointerAt = pointer;
            return check;
        }
    }
    constexpr std::size_t startSize = sizeof hostlayout::cameraFunctionStart;
    IMAGE_SECTION_HEADER code;
    check.verdict = CameraTarget::notInCode;
    if (!view.sectionOf(function, startSize, code) || (code.Characteristics & IMAGE_SCN_MEM_EXECUTE) == 0)
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
    if (function == code.VirtualAddress) {
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
