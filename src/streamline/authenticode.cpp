#include "streamline/authenticode.h"

#include <cstring>

namespace fsr2bridge {
namespace {

constexpr std::uint8_t sha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr std::uint8_t sha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr std::uint8_t sha384Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
constexpr std::uint8_t sha512Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

constexpr DigestAlgorithm digestAlgorithms[] = {
    {"1.3.14.3.2.26", sha1Oid, sizeof sha1Oid, L"SHA1", 20},
    {"2.16.840.1.101.3.4.2.1", sha256Oid, sizeof sha256Oid, L"SHA256", 32},
    {"2.16.840.1.101.3.4.2.2", sha384Oid, sizeof sha384Oid, L"SHA384", 48},
    {"2.16.840.1.101.3.4.2.3", sha512Oid, sizeof sha512Oid, L"SHA512", 64},
};

std::uint32_t readLe(const std::uint8_t* at, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t i = size; i > 0; --i) {
        value = (value << 8) | at[i - 1];
    }
    return value;
}

} // namespace

bool readDerElement(const std::uint8_t*& at, const std::uint8_t* end, DerElement& out)
{
    if (at == nullptr || end == nullptr || end < at || end - at < 2) {
        return false;
    }
    const std::uint8_t* p = at;
    const std::uint8_t tag = *p++;
    if ((tag & 0x1F) == 0x1F) {
        return false; // multi-byte tags do not occur in these records
    }
    std::size_t length = *p++;
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<std::size_t>(end - p) < count) {
            return false; // indefinite or absurd length
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = (length << 8) | *p++;
        }
    }
    if (static_cast<std::size_t>(end - p) < length) {
        return false;
    }
    out = DerElement{tag, p, length};
    at = p + length;
    return true;
}

const DigestAlgorithm* digestAlgorithmByOid(const char* dottedOid)
{
    if (dottedOid == nullptr) {
        return nullptr;
    }
    for (const DigestAlgorithm& algorithm : digestAlgorithms) {
        if (std::strcmp(algorithm.oid, dottedOid) == 0) {
            return &algorithm;
        }
    }
    return nullptr;
}

const DigestAlgorithm* digestAlgorithmByEncodedOid(const std::uint8_t* contents, std::size_t size)
{
    if (contents == nullptr) {
        return nullptr;
    }
    for (const DigestAlgorithm& algorithm : digestAlgorithms) {
        if (algorithm.encodedOidSize == size && std::memcmp(algorithm.encodedOid, contents, size) == 0) {
            return &algorithm;
        }
    }
    return nullptr;
}

bool readIndirectData(const std::uint8_t* data, std::size_t size, IndirectDigest& out,
                      const std::uint8_t*& signedPart, std::size_t& signedPartSize)
{
    if (data == nullptr) {
        return false;
    }
    // The encoded record, or only its contents (two sequences): the same bytes are signed.
    const std::uint8_t* at = data;
    DerElement outer;
    if (!readDerElement(at, data + size, outer) || outer.tag != derSequence || at != data + size) {
        outer = DerElement{derSequence, data, size};
    }
    const std::uint8_t* inner = outer.value;
    const std::uint8_t* innerEnd = outer.value + outer.length;
    DerElement attribute, digestInfo;
    if (!readDerElement(inner, innerEnd, attribute) || attribute.tag != derSequence ||
        !readDerElement(inner, innerEnd, digestInfo) || digestInfo.tag != derSequence || inner != innerEnd) {
        return false;
    }
    const std::uint8_t* info = digestInfo.value;
    const std::uint8_t* infoEnd = digestInfo.value + digestInfo.length;
    DerElement algorithmId, digest;
    if (!readDerElement(info, infoEnd, algorithmId) || algorithmId.tag != derSequence ||
        !readDerElement(info, infoEnd, digest) || digest.tag != derOctetString || info != infoEnd) {
        return false;
    }
    const std::uint8_t* id = algorithmId.value;
    DerElement oid;
    if (!readDerElement(id, algorithmId.value + algorithmId.length, oid) || oid.tag != derObjectIdentifier) {
        return false;
    }
    const DigestAlgorithm* algorithm = digestAlgorithmByEncodedOid(oid.value, oid.length);
    if (algorithm == nullptr || digest.length != algorithm->digestSize) {
        return false;
    }
    out.algorithm = algorithm;
    out.digestSize = digest.length;
    std::memcpy(out.digest, digest.value, digest.length);
    signedPart = outer.value;
    signedPartSize = outer.length;
    return true;
}

bool readOctetString(const std::uint8_t* data, std::size_t size, const std::uint8_t*& contents,
                     std::size_t& contentsSize)
{
    if (data == nullptr) {
        return false;
    }
    const std::uint8_t* at = data;
    DerElement element;
    if (!readDerElement(at, data + size, element) || element.tag != derOctetString || at != data + size) {
        return false;
    }
    contents = element.value;
    contentsSize = element.length;
    return true;
}

std::size_t authenticodeRanges(const std::uint8_t* file, std::uint64_t fileSize, ByteRange (&out)[4])
{
    constexpr std::uint64_t peOffsetAt = 0x3C;
    if (file == nullptr || fileSize < peOffsetAt + 4 || file[0] != 'M' || file[1] != 'Z') {
        return 0;
    }
    const std::uint64_t pe = readLe(file + peOffsetAt, 4);
    const std::uint64_t optional = pe + 4 + 20;
    if (optional + 2 > fileSize || std::memcmp(file + pe, "PE\0\0", 4) != 0) {
        return 0;
    }
    const std::uint64_t optionalSize = readLe(file + pe + 4 + 16, 2);
    const std::uint32_t magic = readLe(file + optional, 2);
    std::uint64_t countAt = 0, directories = 0;
    if (magic == 0x10B) { // PE32
        countAt = optional + 92;
        directories = optional + 96;
    } else if (magic == 0x20B) { // PE32+
        countAt = optional + 108;
        directories = optional + 112;
    } else {
        return 0;
    }
    constexpr std::uint64_t securityIndex = 4;
    const std::uint64_t checksum = optional + 64;
    const std::uint64_t security = directories + securityIndex * 8;
    if (countAt + 4 > fileSize || security + 8 > optional + optionalSize || security + 8 > fileSize ||
        readLe(file + countAt, 4) <= securityIndex) {
        return 0;
    }
    const std::uint64_t table = readLe(file + security, 4);
    const std::uint64_t tableSize = readLe(file + security + 4, 4);
    if (tableSize == 0 || table < security + 8 || table + tableSize > fileSize) {
        return 0;
    }
    const ByteRange ranges[4] = {
        {0, checksum},
        {checksum + 4, security - (checksum + 4)},
        {security + 8, table - (security + 8)},
        {table + tableSize, fileSize - (table + tableSize)},
    };
    std::size_t used = 0;
    for (const ByteRange& range : ranges) {
        if (range.size != 0) {
            out[used++] = range;
        }
    }
    return used;
}

} // namespace fsr2bridge
