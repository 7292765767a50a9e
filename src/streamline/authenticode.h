#pragma once
// The pure parts of checking that a nested Authenticode signature belongs to a
// file: reading the DER records it signs, knowing its digest algorithms, and
// the byte ranges of a PE file that an Authenticode digest covers.
#include <cstddef>
#include <cstdint>

namespace fsr2bridge {

// ---- DER -----------------------------------------------------------------------

inline constexpr std::uint8_t derSequence = 0x30;
inline constexpr std::uint8_t derObjectIdentifier = 0x06;
inline constexpr std::uint8_t derOctetString = 0x04;

struct DerElement {
    std::uint8_t tag = 0;
    const std::uint8_t* value = nullptr;
    std::size_t length = 0;
};

// Reads the element at `at` (single-byte tag, definite length of at most four
// length bytes) that must end at or before `end`, and moves `at` past it.
// False, with `at` unchanged, for anything else.
bool readDerElement(const std::uint8_t*& at, const std::uint8_t* end, DerElement& out);

// ---- Digest algorithms -------------------------------------------------------------

struct DigestAlgorithm {
    const char* oid;                // dotted form, as crypt32 reports it
    const std::uint8_t* encodedOid; // DER contents of the object identifier
    std::size_t encodedOidSize;
    const wchar_t* cngName; // BCryptOpenAlgorithmProvider identifier
    std::size_t digestSize;
};

inline constexpr std::size_t maxDigestSize = 64;

// SHA-1, SHA-256, SHA-384 and SHA-512; null for any other algorithm.
const DigestAlgorithm* digestAlgorithmByOid(const char* dottedOid);
const DigestAlgorithm* digestAlgorithmByEncodedOid(const std::uint8_t* contents, std::size_t size);

// ---- The record an Authenticode signature signs ---------------------------------------

// The file digest of an SpcIndirectDataContent record.
struct IndirectDigest {
    const DigestAlgorithm* algorithm = nullptr;
    std::uint8_t digest[maxDigestSize] = {};
    std::size_t digestSize = 0;
};

// Reads an encoded SpcIndirectDataContent, SEQUENCE { SEQUENCE data,
// SEQUENCE digestInfo { SEQUENCE { OID, ... }, OCTET STRING digest } }, that
// fills [data, data + size) exactly; the SEQUENCE's contents alone are read
// the same way. The digest must have the size of its (known) algorithm.
// `signedPart` receives the SEQUENCE's contents: the bytes whose hash the
// signer's message-digest attribute holds.
bool readIndirectData(const std::uint8_t* data, std::size_t size, IndirectDigest& out,
                      const std::uint8_t*& signedPart, std::size_t& signedPartSize);

// The contents of an encoded OCTET STRING that fills [data, data + size), as
// the message-digest attribute holds its value.
bool readOctetString(const std::uint8_t* data, std::size_t size, const std::uint8_t*& contents,
                     std::size_t& contentsSize);

// ---- PE files ---------------------------------------------------------------------

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The ranges of a signed PE file that its Authenticode digest covers, in file
// order: everything but the header checksum, the certificate-table directory
// entry and the certificate table itself. Returns how many of `out` are used
// (empty ranges are left out), or 0 when the file is no PE image with a
// certificate table inside it.
std::size_t authenticodeRanges(const std::uint8_t* file, std::uint64_t fileSize, ByteRange (&out)[4]);

} // namespace fsr2bridge
