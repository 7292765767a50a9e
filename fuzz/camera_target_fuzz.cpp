// The host-build guard's reader of the game's image (headers, sections, function table) on hostile images.
// The image lies in reserved memory where only its headers' page and the sections its headers declare are
// readable, as a mapped image is; a read anywhere else faults. Input: the first 1536 bytes of the header
// page, then 64 bytes around the camera function, then the function table's bytes.
#include <sys/mman.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "check.h"
#include "upscaler/camera_target.h"
#include "upscaler/host_layout.h"

using namespace fsr2bridge;

namespace {

constexpr std::size_t page = 4096, reserved = 0x6000000, headerBytes = 1536, aroundFunction = 64;
static_assert(reserved >= hostlayout::fixedReadsEnd);

std::uint8_t* const image = static_cast<std::uint8_t*>(
    mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));

struct Range {
    std::size_t begin, end;
};

// Writes bytes only where the image is readable, and never over the headers the readable ranges came from.
void place(const std::vector<Range>& open, std::size_t at, const std::uint8_t* bytes, std::size_t n)
{
    for (std::size_t i = at < page ? page - at : 0; i < n; ++i) {
        for (const Range& r : open) {
            if (at + i >= r.begin && at + i < r.end) {
                image[at + i] = bytes[i];
                break;
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<Range> open{{0, page}};
    mprotect(image, page, PROT_READ | PROT_WRITE);
    std::memcpy(image, data, std::min(size, headerBytes));

    // The sections the headers declare, as the loader would map them (the image no larger than the
    // reservation).
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, image, sizeof dos);
    if (dos.e_lfanew >= 0 && dos.e_lfanew <= static_cast<LONG>(page - sizeof(IMAGE_NT_HEADERS64))) {
        IMAGE_NT_HEADERS64 nt;
        std::memcpy(&nt, image + dos.e_lfanew, sizeof nt);
        nt.OptionalHeader.SizeOfImage = std::min<DWORD>(nt.OptionalHeader.SizeOfImage, reserved);
        std::memcpy(image + dos.e_lfanew, &nt, sizeof nt);
        const std::size_t at =
            dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
        for (std::size_t i = 0;
             at + (i + 1) * sizeof(IMAGE_SECTION_HEADER) <= page && i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER s;
            std::memcpy(&s, image + at + i * sizeof s, sizeof s);
            const std::size_t begin = s.VirtualAddress / page * page;
            const std::size_t length = s.Misc.VirtualSize != 0 ? s.Misc.VirtualSize : s.SizeOfRawData;
            const std::size_t end =
                std::min<std::size_t>((std::size_t{s.VirtualAddress} + length + page - 1) / page * page,
                                      nt.OptionalHeader.SizeOfImage / page * page);
            if (begin < end) {
                mprotect(image + begin, end - begin, PROT_READ | PROT_WRITE);
                open.push_back({begin, end});
            }
        }
        const std::size_t function = hostlayout::cameraFunction;
        if (size > headerBytes)
            place(open, function - aroundFunction / 2, data + headerBytes,
                  std::min(size - headerBytes, aroundFunction));
        if (size > headerBytes + aroundFunction) {
            const IMAGE_DATA_DIRECTORY table =
                nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
            place(open, table.VirtualAddress, data + headerBytes + aroundFunction,
                  size - headerBytes - aroundFunction);
        }
    }
    for (const Range& r : open)
        mprotect(image + r.begin, r.end - r.begin, PROT_READ);

    const CameraTargetCheck check = checkCameraTarget(image);
    if (cameraHookAllowed(check.verdict)) {
        require(std::memcmp(image + hostlayout::cameraFunction, hostlayout::cameraFunctionStart,
                            sizeof hostlayout::cameraFunctionStart) == 0,
                "allowed on another function's bytes", data, size);
    }

    for (const Range& r : open) {
        madvise(image + r.begin, r.end - r.begin, MADV_DONTNEED);
        mprotect(image + r.begin, r.end - r.begin, PROT_NONE);
    }
    return 0;
}
