// The pure parts of the nested-signature check: DER elements, the signed
// indirect-data record, digest algorithms and the PE ranges a digest covers.
#include "streamline/authenticode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace fsr2bridge;
using Bytes = std::vector<std::uint8_t>;

// One DER element with the shortest length form.
Bytes der(std::uint8_t tag, const Bytes& contents)
{
    Bytes out{tag};
    const std::size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

const Bytes sha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const Bytes sha1Oid = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const Bytes md5Oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
const Bytes peImageData =
    der(0x30, join({der(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F}),
                    der(0x30, {0x03, 0x01, 0x00})}));

Bytes digestOf(std::size_t size)
{
    Bytes d(size);
    for (std::size_t i = 0; i < size; ++i) {
        d[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return d;
}

// SpcIndirectDataContent { data, DigestInfo { AlgorithmIdentifier { oid [, NULL] }, digest } }.
Bytes indirectData(const Bytes& oid, const Bytes& digest, bool withNull = true)
{
    Bytes algorithm = der(0x06, oid);
    if (withNull) {
        algorithm = join({algorithm, Bytes{0x05, 0x00}});
    }
    return der(0x30, join({peImageData, der(0x30, join({der(0x30, algorithm), der(0x04, digest)}))}));
}

TEST(DerElement, LengthFormsAndLimits)
{
    const struct {
        const char* name;
        Bytes bytes;
        bool ok;
        std::size_t length;
    } cases[] = {
        {"empty contents", {0x04, 0x00}, true, 0},
        {"short form", {0x04, 0x02, 1, 2}, true, 2},
        {"short form beyond the end", {0x04, 0x03, 1, 2}, false, 0},
        {"one length byte", {0x04, 0x81, 0x02, 1, 2}, true, 2},
        {"two length bytes", {0x04, 0x82, 0x00, 0x02, 1, 2}, true, 2},
        {"length bytes cut off", {0x04, 0x82, 0x00}, false, 0},
        {"indefinite length", {0x30, 0x80, 0x00, 0x00}, false, 0},
        {"five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 9}, false, 0},
        {"four length bytes, huge", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 1}, false, 0},
        {"multi-byte tag", {0x1F, 0x81, 0x01, 0x00}, false, 0},
        {"tag only", {0x04}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint8_t* at = c.bytes.data();
        DerElement element;
        EXPECT_EQ(readDerElement(at, c.bytes.data() + c.bytes.size(), element), c.ok);
        if (c.ok) {
            EXPECT_EQ(element.length, c.length);
            EXPECT_EQ(element.value + element.length, at);
            EXPECT_EQ(at, c.bytes.data() + c.bytes.size());
        } else {
            EXPECT_EQ(at, c.bytes.data()); // not moved
        }
    }
    const std::uint8_t* none = nullptr;
    DerElement element;
    EXPECT_FALSE(readDerElement(none, none, element));
}

TEST(IndirectData, DigestAndSignedPart)
{
    const Bytes digest32 = digestOf(32);
    const Bytes valid = indirectData(sha256Oid, digest32);
    const struct {
        const char* name;
        Bytes bytes;
        const char* algorithm; // null: refused
        std::size_t digestSize;
    } cases[] = {
        {"SHA-256 with NULL parameters", valid, "2.16.840.1.101.3.4.2.1", 32},
        {"SHA-1 without parameters", indirectData(sha1Oid, digestOf(20), false), "1.3.14.3.2.26", 20},
        {"unknown algorithm", indirectData(md5Oid, digestOf(16)), nullptr, 0},
        {"digest shorter than its algorithm", indirectData(sha256Oid, digestOf(31)), nullptr, 0},
        {"digest longer than its algorithm", indirectData(sha256Oid, digestOf(33)), nullptr, 0},
        {"trailing byte", join({valid, Bytes{0x00}}), nullptr, 0},
        {"cut short", Bytes(valid.begin(), valid.end() - 1), nullptr, 0},
        {"three members", der(0x30, join({peImageData, peImageData, der(0x30, {})})), nullptr, 0},
        {"digest not an octet string",
         der(0x30,
             join({peImageData, der(0x30, join({der(0x30, der(0x06, sha256Oid)), der(0x03, digest32)}))})),
         nullptr, 0},
        {"algorithm not an object identifier",
         der(0x30,
             join({peImageData, der(0x30, join({der(0x30, der(0x04, sha256Oid)), der(0x04, digest32)}))})),
         nullptr, 0},
        {"outer set instead of sequence", der(0x31, Bytes(valid.begin() + 2, valid.end())), nullptr, 0},
        {"empty", {}, nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IndirectDigest out;
        const std::uint8_t* signedPart = nullptr;
        std::size_t signedSize = 0;
        const bool ok = readIndirectData(c.bytes.data(), c.bytes.size(), out, signedPart, signedSize);
        EXPECT_EQ(ok, c.algorithm != nullptr);
        if (!ok) {
            continue;
        }
        ASSERT_NE(out.algorithm, nullptr);
        EXPECT_STREQ(out.algorithm->oid, c.algorithm);
        EXPECT_EQ(out.digestSize, c.digestSize);
        EXPECT_EQ(std::memcmp(out.digest, digestOf(c.digestSize).data(), c.digestSize), 0);
        // The signed part is the outer sequence's contents: all but its tag and length.
        EXPECT_EQ(signedPart, c.bytes.data() + 2);
        EXPECT_EQ(signedSize, c.bytes.size() - 2);
    }
    // The contents alone read the same, and are all signed.
    const Bytes contents(valid.begin() + 2, valid.end());
    IndirectDigest out;
    const std::uint8_t* signedPart = nullptr;
    std::size_t signedSize = 0;
    ASSERT_TRUE(readIndirectData(contents.data(), contents.size(), out, signedPart, signedSize));
    EXPECT_EQ(out.digestSize, 32u);
    EXPECT_EQ(std::memcmp(out.digest, digest32.data(), 32), 0);
    EXPECT_EQ(signedPart, contents.data());
    EXPECT_EQ(signedSize, contents.size());
}

TEST(IndirectData, MessageDigestValue)
{
    const Bytes digest = digestOf(32);
    const struct {
        const char* name;
        Bytes bytes;
        bool ok;
    } cases[] = {
        {"octet string", der(0x04, digest), true},
        {"other tag", der(0x03, digest), false},
        {"trailing byte", join({der(0x04, digest), Bytes{0}}), false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint8_t* contents = nullptr;
        std::size_t size = 0;
        EXPECT_EQ(readOctetString(c.bytes.data(), c.bytes.size(), contents, size), c.ok);
        if (c.ok) {
            EXPECT_EQ(size, 32u);
            EXPECT_EQ(std::memcmp(contents, digest.data(), 32), 0);
        }
    }
}

TEST(DigestAlgorithms, KnownByBothForms)
{
    const struct {
        const char* oid;
        Bytes encoded;
        const wchar_t* cngName;
        std::size_t size;
    } known[] = {
        {"1.3.14.3.2.26", sha1Oid, L"SHA1", 20},
        {"2.16.840.1.101.3.4.2.1", sha256Oid, L"SHA256", 32},
        {"2.16.840.1.101.3.4.2.2", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, L"SHA384", 48},
        {"2.16.840.1.101.3.4.2.3", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, L"SHA512", 64},
    };
    for (const auto& k : known) {
        SCOPED_TRACE(k.oid);
        const DigestAlgorithm* byOid = digestAlgorithmByOid(k.oid);
        ASSERT_NE(byOid, nullptr);
        EXPECT_EQ(digestAlgorithmByEncodedOid(k.encoded.data(), k.encoded.size()), byOid);
        EXPECT_EQ(std::wcscmp(byOid->cngName, k.cngName), 0);
        EXPECT_EQ(byOid->digestSize, k.size);
    }
    for (const char* unknown :
         {"1.2.840.113549.2.5", "2.16.840.1.101.3.4.2.1.0", "", "2.16.840.1.101.3.4.2"}) {
        EXPECT_EQ(digestAlgorithmByOid(unknown), nullptr) << unknown;
    }
    EXPECT_EQ(digestAlgorithmByOid(nullptr), nullptr);
    EXPECT_EQ(digestAlgorithmByEncodedOid(md5Oid.data(), md5Oid.size()), nullptr);
    EXPECT_EQ(digestAlgorithmByEncodedOid(sha256Oid.data(), sha256Oid.size() - 1), nullptr);
}

// A PE file of `size` bytes: headers at 0x80, the certificate table as given.
struct PeShape {
    bool pe32Plus = true;
    std::uint32_t size = 0x1000;
    std::uint32_t table = 0xE00;
    std::uint32_t tableSize = 0x180;
};

constexpr std::uint32_t peAt = 0x80;
constexpr std::uint32_t optionalAt = peAt + 24;

void putLe(Bytes& file, std::size_t at, std::uint32_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

Bytes peFile(const PeShape& shape)
{
    Bytes file(shape.size, 0x5A);
    file[0] = 'M';
    file[1] = 'Z';
    putLe(file, 0x3C, peAt, 4);
    std::memcpy(file.data() + peAt, "PE\0\0", 4);
    putLe(file, peAt + 4 + 16, shape.pe32Plus ? 240 : 224, 2);
    putLe(file, optionalAt, shape.pe32Plus ? 0x20B : 0x10B, 2);
    putLe(file, optionalAt + (shape.pe32Plus ? 108 : 92), 16, 4);
    const std::uint32_t security = optionalAt + (shape.pe32Plus ? 112 : 96) + 32;
    putLe(file, security, shape.table, 4);
    putLe(file, security + 4, shape.tableSize, 4);
    return file;
}

TEST(AuthenticodeRanges, EverythingButChecksumDirectoryEntryAndTable)
{
    const std::uint64_t checksum = optionalAt + 64;
    const std::uint64_t security64 = optionalAt + 112 + 32;
    const std::uint64_t security32 = optionalAt + 96 + 32;
    using R = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const auto spans = [](std::uint64_t a, std::uint64_t b) { return std::make_pair(a, b - a); };
    struct Case {
        const char* name;
        Bytes file;
        R expected; // empty: refused
    };
    Bytes noMz = peFile({});
    noMz[0] = 'X';
    Bytes farPe = peFile({});
    putLe(farPe, 0x3C, 0xFFF0, 4);
    Bytes noSignature = peFile({});
    noSignature[peAt + 1] = 'X';
    Bytes romImage = peFile({});
    putLe(romImage, optionalAt, 0x107, 2);
    Bytes fewDirectories = peFile({});
    putLe(fewDirectories, optionalAt + 108, 4, 4);
    Bytes shortOptional = peFile({});
    Bytes cutOff = peFile({});
    cutOff.resize(optionalAt + 40);
    putLe(shortOptional, peAt + 4 + 16, 112 + 32 + 4, 2);
    const Case cases[] = {
        {"PE32+, table at the end",
         peFile({}),
         {spans(0, checksum), spans(checksum + 4, security64), spans(security64 + 8, 0xE00),
          spans(0xF80, 0x1000)}},
        {"PE32, table at the very end",
         peFile({false, 0x1000, 0xE00, 0x200}),
         {spans(0, checksum), spans(checksum + 4, security32), spans(security32 + 8, 0xE00)}},
        {"table right after the directory entry",
         peFile({true, 0x1000, static_cast<std::uint32_t>(security64 + 8), 0x100}),
         {spans(0, checksum), spans(checksum + 4, security64), spans(security64 + 8 + 0x100, 0x1000)}},
        {"no table", peFile({true, 0x1000, 0, 0}), {}},
        {"table past the end", peFile({true, 0x1000, 0xF00, 0x101}), {}},
        {"table inside the headers",
         peFile({true, 0x1000, static_cast<std::uint32_t>(security64), 0x10}),
         {}},
        {"no MZ", noMz, {}},
        {"PE header past the end", farPe, {}},
        {"no PE signature", noSignature, {}},
        {"unknown optional header", romImage, {}},
        {"no security directory", fewDirectories, {}},
        {"optional header too short for the entry", shortOptional, {}},
        {"headers cut off", cutOff, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteRange ranges[4];
        const std::size_t count = authenticodeRanges(c.file.data(), c.file.size(), ranges);
        R got;
        for (std::size_t i = 0; i < count; ++i) {
            got.emplace_back(ranges[i].offset, ranges[i].size);
        }
        EXPECT_EQ(got, c.expected);
    }
    ByteRange ranges[4];
    EXPECT_EQ(authenticodeRanges(nullptr, 0x1000, ranges), 0u);
}

} // namespace
