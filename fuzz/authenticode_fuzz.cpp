// The Authenticode readers on hostile bytes: DER elements (walked as deep as they nest), the signed
// indirect-data record, the message-digest octet string, and the byte ranges of a PE file its digest covers.
// Whatever they hand back must lie inside the input.
#include "check.h"
#include "streamline/authenticode.h"

using namespace fsr2bridge;

namespace {

bool inside(const std::uint8_t* p, std::size_t n, const std::uint8_t* data, std::size_t size)
{
    return p >= data && n <= size && p - data <= static_cast<std::ptrdiff_t>(size - n);
}

void walk(const std::uint8_t* at, const std::uint8_t* end, const std::uint8_t* data, std::size_t size,
          int depth)
{
    DerElement e;
    while (depth < 16 && readDerElement(at, end, e)) {
        require(inside(e.value, e.length, data, size) && e.value + e.length == at && at <= end, "DER element",
                data, size);
        if (e.tag & 0x20) // constructed
            walk(e.value, e.value + e.length, data, size, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    walk(data, data + size, data, size, 0);

    IndirectDigest digest;
    const std::uint8_t* signedPart = nullptr;
    std::size_t signedSize = 0;
    if (readIndirectData(data, size, digest, signedPart, signedSize)) {
        require(inside(signedPart, signedSize, data, size), "signed part", data, size);
        require(digest.algorithm != nullptr && digest.digestSize == digest.algorithm->digestSize &&
                    digest.digestSize <= maxDigestSize,
                "digest", data, size);
    }
    const std::uint8_t* contents = nullptr;
    std::size_t contentsSize = 0;
    if (readOctetString(data, size, contents, contentsSize))
        require(inside(contents, contentsSize, data, size), "octet string", data, size);

    // In file order, apart, inside the file, and the checksum, directory entry and table left out.
    ByteRange ranges[4];
    const std::size_t count = authenticodeRanges(data, size, ranges);
    require(count <= 4, "range count", data, size);
    std::uint64_t next = 0, covered = 0;
    for (std::size_t i = 0; i < count; ++i) {
        require(ranges[i].size != 0 && ranges[i].offset >= next &&
                    ranges[i].offset + ranges[i].size <= size &&
                    ranges[i].offset + ranges[i].size > ranges[i].offset,
                "range", data, size);
        next = ranges[i].offset + ranges[i].size;
        covered += ranges[i].size;
    }
    require(count == 0 || covered + 12 < size, "ranges leave out the checksum, entry and table", data, size);
    return 0;
}
