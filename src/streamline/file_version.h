#pragma once
// The file version of a DLL, read from its version resource without loading it: the PE headers, the section
// table and the resource directory are read piece by piece, each read checked against the file's size.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fsr2bridge {

struct FileVersion {
    std::uint16_t major = 0, minor = 0, patch = 0, build = 0;
    bool known = false; // false: no file, not a PE image, or no version resource

    // Same major, minor and patch (Streamline's releases differ there; the fourth number is the build).
    bool sameRelease(const FileVersion& other) const
    {
        return known && other.known && major == other.major && minor == other.minor && patch == other.patch;
    }
    // This release or a later one.
    bool atLeast(std::uint16_t wantedMajor, std::uint16_t wantedMinor, std::uint16_t wantedPatch) const
    {
        if (!known)
            return false;
        if (major != wantedMajor)
            return major > wantedMajor;
        if (minor != wantedMinor)
            return minor > wantedMinor;
        return patch >= wantedPatch;
    }
};

// Random access to a file's bytes: false when [offset, offset + size) is not all in the file.
class ByteSource {
public:
    virtual bool read(std::uint64_t offset, void* out, std::size_t size) noexcept = 0;

protected:
    ~ByteSource() = default;
};

// The VS_FIXEDFILEINFO file version of the PE image behind `source` (its first RT_VERSION resource).
FileVersion imageFileVersion(ByteSource& source) noexcept;

// The same for a file, opened for reading only (read and delete sharing: it may be held or loaded meanwhile).
FileVersion fileVersionOf(const std::wstring& path) noexcept;

// "2.4.0.0", or "unknown".
std::string versionText(const FileVersion& version);

} // namespace fsr2bridge
