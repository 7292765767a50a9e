#include "streamline/file_version.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/unique_handle.h"

namespace fsr2bridge {

namespace {

template <class T> bool readValue(ByteSource& source, std::uint64_t offset, T& out) noexcept
{
    return source.read(offset, &out, sizeof out);
}

// Where an image's relative address lies in its file, through the section that holds it.
struct Sections {
    std::uint64_t tableOffset = 0;
    std::uint16_t count = 0;
};

bool fileOffsetOf(ByteSource& source, const Sections& sections, std::uint32_t rva,
                  std::uint64_t& offset) noexcept
{
    for (std::uint16_t i = 0; i < sections.count; ++i) {
        std::uint32_t header[6] = {}; // name (2), virtual size, virtual address, raw size, raw offset
        if (!source.read(sections.tableOffset + 40ull * i, header, sizeof header))
            return false;
        const std::uint32_t virtualAddress = header[3], rawSize = header[4], rawOffset = header[5];
        if (rva >= virtualAddress && rva - virtualAddress < rawSize) {
            offset = std::uint64_t{rawOffset} + (rva - virtualAddress);
            return true;
        }
    }
    return false;
}

constexpr std::uint32_t subdirectoryBit = 0x80000000u;
constexpr std::uint16_t maxEntries = 256; // more than any real resource directory level holds

// The entry of a resource directory (at `directory`, inside the resource section at `base`) with the numeric
// id `id`, or the first entry when `id` is 0; its OffsetToData.
bool resourceEntry(ByteSource& source, std::uint64_t base, std::uint32_t directory, std::uint32_t id,
                   std::uint32_t& target) noexcept
{
    std::uint16_t counts[2] = {}; // named entries, id entries
    if (!source.read(base + directory + 12, counts, sizeof counts))
        return false;
    const std::uint32_t total = std::uint32_t{counts[0]} + counts[1];
    for (std::uint32_t i = 0; i < total && i < maxEntries; ++i) {
        std::uint32_t entry[2] = {}; // name or id, offset to data
        if (!source.read(base + directory + 16 + 8ull * i, entry, sizeof entry))
            return false;
        if (id == 0 || entry[0] == id) {
            target = entry[1];
            return true;
        }
    }
    return false;
}

class FileSource final : public ByteSource {
public:
    explicit FileSource(HANDLE file) : file_(file)
    {
        LARGE_INTEGER size{};
        size_ = GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    }
    bool read(std::uint64_t offset, void* out, std::size_t size) noexcept override
    {
        if (offset > size_ || size > size_ - offset || size > 0xFFFFFFFFu)
            return false;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        return ReadFile(file_, out, static_cast<DWORD>(size), &done, &at) && done == size;
    }

private:
    HANDLE file_;
    std::uint64_t size_ = 0;
};

} // namespace

FileVersion imageFileVersion(ByteSource& source) noexcept
{
    FileVersion none;
    std::uint16_t dosMagic = 0;
    std::uint32_t peOffset = 0;
    if (!readValue(source, 0, dosMagic) || dosMagic != 0x5A4D || !readValue(source, 0x3C, peOffset))
        return none;
    std::uint32_t peMagic = 0;
    std::uint16_t sectionCount = 0, optionalSize = 0, optionalMagic = 0;
    if (!readValue(source, peOffset, peMagic) || peMagic != 0x00004550 ||
        !readValue(source, std::uint64_t{peOffset} + 6, sectionCount) ||
        !readValue(source, std::uint64_t{peOffset} + 20, optionalSize) ||
        !readValue(source, std::uint64_t{peOffset} + 24, optionalMagic))
        return none;
    // The data directories: PE32+ at 112 of the optional header, PE32 at 96; the resource table is the third.
    const std::uint64_t optional = std::uint64_t{peOffset} + 24;
    const std::uint32_t directoriesAt = optionalMagic == 0x20B ? 112 : optionalMagic == 0x10B ? 96 : 0;
    std::uint32_t directoryCount = 0;
    std::uint32_t resources[2] = {}; // address, size
    if (directoriesAt == 0 || !readValue(source, optional + directoriesAt - 4, directoryCount) ||
        directoryCount < 3 || directoriesAt + 3 * 8 > optionalSize ||
        !source.read(optional + directoriesAt + 2 * 8, resources, sizeof resources) || resources[0] == 0)
        return none;
    const Sections sections{optional + optionalSize, sectionCount};
    std::uint64_t base = 0;
    if (!fileOffsetOf(source, sections, resources[0], base))
        return none;
    // Type RT_VERSION (16), then its first name and first language: a data entry (address, size).
    std::uint32_t byName = 0, byLanguage = 0, data = 0;
    if (!resourceEntry(source, base, 0, 16, byName) || !(byName & subdirectoryBit) ||
        !resourceEntry(source, base, byName & ~subdirectoryBit, 0, byLanguage) ||
        !(byLanguage & subdirectoryBit) ||
        !resourceEntry(source, base, byLanguage & ~subdirectoryBit, 0, data) || (data & subdirectoryBit))
        return none;
    std::uint32_t dataEntry[2] = {}; // address, size
    std::uint64_t info = 0;
    if (!source.read(base + data, dataEntry, sizeof dataEntry) || dataEntry[1] < 92 ||
        !fileOffsetOf(source, sections, dataEntry[0], info))
        return none;
    // VS_VERSIONINFO: its length, value length and type, L"VS_VERSION_INFO" and padding, then the fixed
    // file info: signature 0xFEEF04BD, structure version, file version (most, then least significant).
    unsigned char head[92] = {};
    if (!source.read(info, head, sizeof head))
        return none;
    static constexpr char16_t key[] = u"VS_VERSION_INFO";
    std::uint16_t valueLength = 0;
    std::uint32_t fixed[4] = {};
    std::memcpy(&valueLength, head + 2, sizeof valueLength);
    std::memcpy(fixed, head + 40, sizeof fixed);
    if (std::memcmp(head + 6, key, sizeof key) != 0 || valueLength < 52 || fixed[0] != 0xFEEF04BDu)
        return none;
    FileVersion version;
    version.major = static_cast<std::uint16_t>(fixed[2] >> 16);
    version.minor = static_cast<std::uint16_t>(fixed[2] & 0xFFFF);
    version.patch = static_cast<std::uint16_t>(fixed[3] >> 16);
    version.build = static_cast<std::uint16_t>(fixed[3] & 0xFFFF);
    version.known = true;
    return version;
}

FileVersion fileVersionOf(const std::wstring& path) noexcept
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return {};
    FileSource source(file.get());
    return imageFileVersion(source);
}

std::string versionText(const FileVersion& version)
{
    if (!version.known)
        return "unknown";
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", version.major, version.minor, version.patch,
                  version.build);
    return text;
}

} // namespace fsr2bridge
