#include "streamline/signature.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "common/module_export.h"
#include "common/unique_handle.h"

namespace fsr2bridge {
namespace {

constexpr DWORD loadFromSystem32 = 0x800; // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr DWORD uiNone = 2;                 // WTD_UI_NONE
constexpr DWORD revokeNone = 0;             // WTD_REVOKE_NONE
constexpr DWORD choiceFile = 1;             // WTD_CHOICE_FILE
constexpr DWORD stateActionVerify = 1;      // WTD_STATEACTION_VERIFY
constexpr DWORD stateActionClose = 2;       // WTD_STATEACTION_CLOSE
constexpr DWORD verifySpecific = 1;         // WSS_VERIFY_SPECIFIC
constexpr DWORD verifySpecificAndCount = 3; // WSS_VERIFY_SPECIFIC | WSS_GET_SECONDARY_SIG_COUNT
constexpr DWORD primaryIndex = 0;
constexpr DWORD secondaryIndex = 1;
constexpr DWORD strongSignOidChoice = 2; // CERT_STRONG_SIGN_OID_INFO_CHOICE
constexpr char strongSignOs1[] = "1.3.6.1.4.1.311.72.1.1";
constexpr char nestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr char messageDigestOid[] = "1.2.840.113549.1.9.4";

// WINTRUST_ACTION_GENERIC_VERIFY_V2
constexpr GUID genericVerifyV2 = {
    0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

constexpr DWORD queryObjectFile = 1;                             // CERT_QUERY_OBJECT_FILE
constexpr DWORD queryPkcs7SignedEmbed = 0x400;                   // CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED
constexpr DWORD queryFormatBinary = 2;                           // CERT_QUERY_FORMAT_FLAG_BINARY
constexpr DWORD signerInfoParam = 6;                             // CMSG_SIGNER_INFO_PARAM
constexpr DWORD contentParam = 2;                                // CMSG_CONTENT_PARAM
constexpr DWORD verifySignatureEx = 19;                          // CMSG_CTRL_VERIFY_SIGNATURE_EX
constexpr DWORD verifySignerCertificate = 2;                     // CMSG_VERIFY_SIGNER_CERT
const LPCSTR storeProviderPkcs7 = reinterpret_cast<LPCSTR>(5);   // CERT_STORE_PROV_PKCS7
constexpr DWORD findSubjectCert = 0xB0000;                       // CERT_FIND_SUBJECT_CERT
const LPCSTR cngRsaPublicKeyBlob = reinterpret_cast<LPCSTR>(72); // CNG_RSA_PUBLIC_KEY_BLOB
constexpr DWORD decodeAllocFlag = 0x8000;                        // CRYPT_DECODE_ALLOC_FLAG
constexpr DWORD closeStoreForce = 1;                             // CERT_CLOSE_STORE_FORCE_FLAG

WinVerifyTrustFn winVerifyTrust = nullptr;
Crypt32Functions crypt32 = {};
BcryptFunctions bcrypt = {};
LocalMemoryFunctions localMemory = {&::LocalAlloc, &::LocalFree};

// The verifier's functions are looked up by whichever check needs them first; an early check that is late and
// the factory's own check of the same file may overlap, so the lookups take turns.
SRWLOCK lookUps = SRWLOCK_INIT;
class LookUpTurn {
public:
    LookUpTurn() noexcept { AcquireSRWLockExclusive(&lookUps); }
    ~LookUpTurn() { ReleaseSRWLockExclusive(&lookUps); }
    LookUpTurn(const LookUpTurn&) = delete;
    LookUpTurn& operator=(const LookUpTurn&) = delete;
};

template <class F> bool lookUp(HMODULE module, const char* name, F& slot)
{
    if (slot == nullptr) {
        slot = exportedFunction<std::remove_pointer_t<F>>(module, name);
    }
    return slot != nullptr;
}

bool loadWinTrust()
{
    const LookUpTurn turn;
    if (winVerifyTrust != nullptr) {
        return true;
    }
    HMODULE module = LoadLibraryExW(L"wintrust.dll", nullptr, loadFromSystem32);
    return module != nullptr && lookUp(module, "WinVerifyTrust", winVerifyTrust);
}

bool crypt32Complete()
{
    const Crypt32Functions& f = crypt32;
    return f.CryptMsgClose && f.CertOpenStore && f.CertCloseStore && f.CertFreeCertificateContext &&
           f.CertFindCertificateInStore && f.CryptMsgGetParam && f.CryptMsgUpdate && f.CryptMsgOpenToDecode &&
           f.CryptQueryObject && f.CryptDecodeObjectEx && f.CryptMsgControl;
}

bool loadCrypt32()
{
    const LookUpTurn turn;
    if (crypt32Complete()) {
        return true;
    }
    HMODULE module = LoadLibraryExW(L"crypt32.dll", nullptr, loadFromSystem32);
    if (module == nullptr) {
        return false;
    }
    Crypt32Functions& f = crypt32;
    return lookUp(module, "CryptMsgClose", f.CryptMsgClose) &&
           lookUp(module, "CertOpenStore", f.CertOpenStore) &&
           lookUp(module, "CertCloseStore", f.CertCloseStore) &&
           lookUp(module, "CertFreeCertificateContext", f.CertFreeCertificateContext) &&
           lookUp(module, "CertFindCertificateInStore", f.CertFindCertificateInStore) &&
           lookUp(module, "CryptMsgGetParam", f.CryptMsgGetParam) &&
           lookUp(module, "CryptMsgUpdate", f.CryptMsgUpdate) &&
           lookUp(module, "CryptMsgOpenToDecode", f.CryptMsgOpenToDecode) &&
           lookUp(module, "CryptQueryObject", f.CryptQueryObject) &&
           lookUp(module, "CryptDecodeObjectEx", f.CryptDecodeObjectEx) &&
           lookUp(module, "CryptMsgControl", f.CryptMsgControl);
}

bool loadBcrypt()
{
    const LookUpTurn turn;
    BcryptFunctions& f = bcrypt;
    if (f.BCryptOpenAlgorithmProvider && f.BCryptCreateHash && f.BCryptHashData && f.BCryptFinishHash &&
        f.BCryptDestroyHash && f.BCryptCloseAlgorithmProvider) {
        return true;
    }
    HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, loadFromSystem32);
    return module != nullptr &&
           lookUp(module, "BCryptOpenAlgorithmProvider", f.BCryptOpenAlgorithmProvider) &&
           lookUp(module, "BCryptCreateHash", f.BCryptCreateHash) &&
           lookUp(module, "BCryptHashData", f.BCryptHashData) &&
           lookUp(module, "BCryptFinishHash", f.BCryptFinishHash) &&
           lookUp(module, "BCryptDestroyHash", f.BCryptDestroyHash) &&
           lookUp(module, "BCryptCloseAlgorithmProvider", f.BCryptCloseAlgorithmProvider);
}

// A buffer from the local heap, given back when the owner goes.
class LocalBuffer {
public:
    LocalBuffer() = default;
    explicit LocalBuffer(void* buffer) : buffer_(buffer) {}
    ~LocalBuffer() { reset(); }
    LocalBuffer(const LocalBuffer&) = delete;
    LocalBuffer& operator=(const LocalBuffer&) = delete;

    void reset(void* buffer = nullptr)
    {
        if (buffer_ != nullptr) {
            localMemory.LocalFree(buffer_);
        }
        buffer_ = buffer;
    }
    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(buffer_); }
    explicit operator bool() const { return buffer_ != nullptr; }

private:
    void* buffer_ = nullptr;
};

// A running bcrypt hash; every step fails once one has failed.
class Hash {
public:
    explicit Hash(const DigestAlgorithm& algorithm) : size_(algorithm.digestSize)
    {
        ok_ = bcrypt.BCryptOpenAlgorithmProvider(&provider_, algorithm.cngName, nullptr, 0) == 0 &&
              bcrypt.BCryptCreateHash(provider_, &hash_, nullptr, 0, nullptr, 0, 0) == 0;
    }
    ~Hash()
    {
        if (hash_ != nullptr) {
            bcrypt.BCryptDestroyHash(hash_);
        }
        if (provider_ != nullptr) {
            bcrypt.BCryptCloseAlgorithmProvider(provider_, 0);
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    void add(const std::uint8_t* data, std::uint64_t size)
    {
        constexpr std::uint64_t largestPiece = 1u << 30;
        while (ok_ && size > 0) {
            const auto piece = static_cast<ULONG>(size < largestPiece ? size : largestPiece);
            ok_ = bcrypt.BCryptHashData(hash_, const_cast<UCHAR*>(data), piece, 0) == 0;
            data += piece;
            size -= piece;
        }
    }
    bool finish(std::uint8_t (&digest)[maxDigestSize])
    {
        return ok_ && bcrypt.BCryptFinishHash(hash_, digest, static_cast<ULONG>(size_), 0) == 0;
    }

private:
    void* provider_ = nullptr;
    void* hash_ = nullptr;
    std::size_t size_;
    bool ok_ = false;
};

// A whole file mapped for reading.
class MappedFile {
public:
    explicit MappedFile(const wchar_t* path)
    {
        file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size) || size.QuadPart <= 0) {
            return;
        }
        mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_ != nullptr) {
            view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
            size_ = view_ != nullptr ? static_cast<std::uint64_t>(size.QuadPart) : 0;
        }
    }
    ~MappedFile()
    {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
        if (mapping_ != nullptr) {
            CloseHandle(mapping_);
        }
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(view_); }
    std::uint64_t size() const { return size_; }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
    std::uint64_t size_ = 0;
};

// The Authenticode digest of the PE file at `path`, with `algorithm`.
bool fileDigest(const wchar_t* path, const DigestAlgorithm& algorithm, std::uint8_t (&digest)[maxDigestSize])
{
    const MappedFile file(path);
    ByteRange ranges[4];
    const std::size_t count = authenticodeRanges(file.bytes(), file.size(), ranges);
    if (count == 0) {
        return false;
    }
    Hash hash(algorithm);
    for (std::size_t i = 0; i < count; ++i) {
        hash.add(file.bytes() + ranges[i].offset, ranges[i].size);
    }
    return hash.finish(digest);
}

// Everything the nested check holds across its steps; released in one fixed
// order on every path.
struct NestedCheckHandles {
    HCERTSTORE primaryStore = nullptr;
    HCRYPTMSG primaryMessage = nullptr;
    CMSG_SIGNER_INFO* primarySigner = nullptr;
    HCRYPTMSG nestedMessage = nullptr;
    CMSG_SIGNER_INFO* nestedSigner = nullptr;
    HCERTSTORE nestedStore = nullptr;
    PCCERT_CONTEXT certificate = nullptr;

    NestedCheckHandles() = default;
    NestedCheckHandles(const NestedCheckHandles&) = delete;
    NestedCheckHandles& operator=(const NestedCheckHandles&) = delete;

    ~NestedCheckHandles()
    {
        if (certificate != nullptr) {
            crypt32.CertFreeCertificateContext(certificate);
        }
        if (nestedStore != nullptr) {
            crypt32.CertCloseStore(nestedStore, closeStoreForce);
        }
        if (nestedSigner != nullptr) {
            localMemory.LocalFree(nestedSigner);
        }
        if (nestedMessage != nullptr) {
            crypt32.CryptMsgClose(nestedMessage);
        }
        if (primarySigner != nullptr) {
            localMemory.LocalFree(primarySigner);
        }
        if (primaryMessage != nullptr) {
            crypt32.CryptMsgClose(primaryMessage);
        }
        if (primaryStore != nullptr) {
            crypt32.CertCloseStore(primaryStore, closeStoreForce);
        }
    }
};

// Parameter `param` (index 0) of `message` in a zero-filled local buffer of at
// least `minimum` bytes, or null. `size` receives the size of the value.
void* fetchParam(HCRYPTMSG message, DWORD param, DWORD minimum, DWORD& size)
{
    size = 0;
    if (!crypt32.CryptMsgGetParam(message, param, 0, nullptr, &size) || size == 0 || size < minimum) {
        return nullptr;
    }
    void* buffer = localMemory.LocalAlloc(LPTR, size);
    if (buffer == nullptr) {
        return nullptr;
    }
    if (!crypt32.CryptMsgGetParam(message, param, 0, buffer, &size)) {
        localMemory.LocalFree(buffer);
        return nullptr;
    }
    return buffer;
}

CMSG_SIGNER_INFO* fetchSignerInfo(HCRYPTMSG message)
{
    DWORD size = 0;
    return static_cast<CMSG_SIGNER_INFO*>(
        fetchParam(message, signerInfoParam, sizeof(CMSG_SIGNER_INFO), size));
}

// The first value of the first attribute `oid`, or null; the first matching
// attribute decides, even when it carries no value.
const CRYPT_ATTR_BLOB* firstAttributeValue(const CRYPT_ATTRIBUTES& attributes, const char* oid)
{
    if (attributes.rgAttr == nullptr) {
        return nullptr;
    }
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, oid) != 0) {
            continue;
        }
        if (attribute.cValue == 0 || attribute.rgValue == nullptr || attribute.rgValue[0].pbData == nullptr) {
            return nullptr;
        }
        return &attribute.rgValue[0];
    }
    return nullptr;
}

// The file digest that `message` signs, read from its SpcIndirectDataContent.
// With `signer`, also checks that the signer's message-digest attribute is the
// hash of that content, which ties the digest to the signer's signature.
SignatureStep readSignedDigest(HCRYPTMSG message, const CMSG_SIGNER_INFO* signer, IndirectDigest& out,
                               SignatureStep unreadable)
{
    DWORD size = 0;
    const LocalBuffer content(fetchParam(message, contentParam, 1, size));
    const std::uint8_t* signedPart = nullptr;
    std::size_t signedSize = 0;
    if (!content || !readIndirectData(content.bytes(), size, out, signedPart, signedSize)) {
        return unreadable;
    }
    if (signer == nullptr) {
        return SignatureStep::none;
    }
    const DigestAlgorithm* algorithm = digestAlgorithmByOid(signer->HashAlgorithm.pszObjId);
    const CRYPT_ATTR_BLOB* attribute = firstAttributeValue(signer->AuthAttrs, messageDigestOid);
    const std::uint8_t* expected = nullptr;
    std::size_t expectedSize = 0;
    if (algorithm == nullptr || attribute == nullptr ||
        !readOctetString(attribute->pbData, attribute->cbData, expected, expectedSize) ||
        expectedSize != algorithm->digestSize) {
        return unreadable;
    }
    std::uint8_t actual[maxDigestSize];
    if (!hashBytes(*algorithm, signedPart, signedSize, actual) ||
        std::memcmp(actual, expected, expectedSize) != 0) {
        return SignatureStep::nestedContentDigest;
    }
    return SignatureStep::none;
}

// The signer certificate's key is the expected one, and the signer's signature
// verifies with it.
SignatureStep checkSigner(const NestedCheckHandles& h, const std::uint8_t* expectedKey, std::size_t keySize)
{
    const CRYPT_BIT_BLOB& keyBits = h.certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    BYTE* decodedBytes = nullptr;
    DWORD decodedSize = 0;
    if (!crypt32.CryptDecodeObjectEx(encoding, cngRsaPublicKeyBlob, keyBits.pbData, keyBits.cbData,
                                     decodeAllocFlag, nullptr, &decodedBytes, &decodedSize)) {
        return SignatureStep::vendorKey;
    }
    const LocalBuffer decoded(decodedBytes);
    if (!keyBlobMatches(decoded.bytes(), decodedSize, expectedKey, keySize)) {
        return SignatureStep::vendorKey;
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA signer = {};
    signer.cbSize = sizeof signer;
    signer.dwSignerIndex = 0;
    signer.dwSignerType = verifySignerCertificate;
    signer.pvSigner = const_cast<CERT_CONTEXT*>(h.certificate);
    if (!crypt32.CryptMsgControl(h.nestedMessage, 0, verifySignatureEx, &signer)) {
        return SignatureStep::nestedSignature;
    }
    return SignatureStep::none;
}

// The digest the nested signature signs is this file's: the primary
// signature's digest when both use one algorithm (WinVerifyTrust has checked
// that one against the file), the file's digest computed afresh otherwise.
SignatureStep checkFileDigest(const wchar_t* path, const NestedCheckHandles& h, const IndirectDigest& nested)
{
    IndirectDigest primary;
    const SignatureStep read =
        readSignedDigest(h.primaryMessage, nullptr, primary, SignatureStep::primaryContent);
    if (read != SignatureStep::none) {
        return read;
    }
    const std::uint8_t* own = primary.digest;
    std::uint8_t computed[maxDigestSize];
    if (primary.algorithm != nested.algorithm) {
        if (!fileDigest(path, *nested.algorithm, computed)) {
            return SignatureStep::fileDigest;
        }
        own = computed;
    }
    return std::memcmp(own, nested.digest, nested.digestSize) == 0 ? SignatureStep::none
                                                                   : SignatureStep::fileDigest;
}

SignatureStep nestedCheck(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    NestedCheckHandles h;
    DWORD encodingType = 0, contentType = 0, formatType = 0;
    if (!crypt32.CryptQueryObject(queryObjectFile, path, queryPkcs7SignedEmbed, queryFormatBinary, 0,
                                  &encodingType, &contentType, &formatType, &h.primaryStore,
                                  &h.primaryMessage, nullptr) ||
        h.primaryMessage == nullptr) {
        return SignatureStep::primaryMessage;
    }
    h.primarySigner = fetchSignerInfo(h.primaryMessage);
    if (h.primarySigner == nullptr) {
        return SignatureStep::primarySigner;
    }
    const CRYPT_ATTR_BLOB* nested = firstAttributeValue(h.primarySigner->UnauthAttrs, nestedSignatureOid);
    if (nested == nullptr) {
        return SignatureStep::nestedAttribute;
    }
    h.nestedMessage = crypt32.CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
    if (h.nestedMessage == nullptr ||
        !crypt32.CryptMsgUpdate(h.nestedMessage, nested->pbData, nested->cbData, TRUE)) {
        return SignatureStep::nestedMessage;
    }
    h.nestedSigner = fetchSignerInfo(h.nestedMessage);
    if (h.nestedSigner == nullptr) {
        return SignatureStep::nestedSigner;
    }
    h.nestedStore = crypt32.CertOpenStore(storeProviderPkcs7, encoding, 0, 0, nested);
    if (h.nestedStore == nullptr) {
        return SignatureStep::nestedCertificates;
    }
    CERT_INFO subject = {};
    subject.Issuer = h.nestedSigner->Issuer;
    subject.SerialNumber = h.nestedSigner->SerialNumber;
    h.certificate =
        crypt32.CertFindCertificateInStore(h.nestedStore, encoding, 0, findSubjectCert, &subject, nullptr);
    if (h.certificate == nullptr || h.certificate->pCertInfo == nullptr) {
        return SignatureStep::nestedCertificate;
    }
    const SignatureStep signer = checkSigner(h, expectedKey, keySize);
    if (signer != SignatureStep::none) {
        return signer;
    }
    IndirectDigest signedDigest;
    const SignatureStep content =
        readSignedDigest(h.nestedMessage, h.nestedSigner, signedDigest, SignatureStep::nestedContent);
    if (content != SignatureStep::none) {
        return content;
    }
    return checkFileDigest(path, h, signedDigest);
}

// The four WinVerifyTrust records for one signature of the file at `path`.
struct TrustRecords {
    StrongSignPara policy = {sizeof(StrongSignPara), strongSignOidChoice, strongSignOs1};
    TrustSignatureSettings settings = {};
    TrustFileInfo file = {};
    TrustData data = {};
    GUID action = genericVerifyV2;

    TrustRecords(const wchar_t* path, DWORD index, DWORD flags, bool strongPolicy)
    {
        settings.cbStruct = sizeof(settings);
        settings.dwIndex = index;
        settings.dwFlags = flags;
        settings.pCryptoPolicy = strongPolicy ? &policy : nullptr;
        file = {sizeof(TrustFileInfo), path, nullptr, nullptr};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = uiNone;
        data.fdwRevocationChecks = revokeNone;
        data.dwUnionChoice = choiceFile;
        data.pFile = &file;
        data.dwStateAction = stateActionVerify;
        data.pSignatureSettings = &settings;
    }
    TrustRecords(const TrustRecords&) = delete;
    TrustRecords& operator=(const TrustRecords&) = delete;

    LONG verify() { return winVerifyTrust(nullptr, &action, &data); }
    void close()
    {
        data.dwStateAction = stateActionClose;
        winVerifyTrust(nullptr, &action, &data);
    }
};

// The system's own verification of the one secondary signature. The vendor key
// is its anchor, so the certificate path is not held to the strong-signature policy.
LONG verifySecondarySignature(const wchar_t* path)
{
    TrustRecords secondary(path, secondaryIndex, verifySpecific, false);
    const LONG result = secondary.verify();
    secondary.close();
    return result;
}

} // namespace

ModuleFileHold::~ModuleFileHold()
{
    release();
}

bool ModuleFileHold::hold(const wchar_t* path)
{
    release();
    if (path != nullptr) {
        file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return held();
}

bool ModuleFileHold::holds(const wchar_t* path) const
{
    BY_HANDLE_FILE_INFORMATION held{}, there{};
    if (!this->held() || path == nullptr || !GetFileInformationByHandle(file_, &held))
        return false;
    const UniqueHandle now(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return now && GetFileInformationByHandle(now.get(), &there) != 0 &&
           held.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
           held.nFileIndexHigh == there.nFileIndexHigh && held.nFileIndexLow == there.nFileIndexLow;
}

void ModuleFileHold::release()
{
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
}

WinVerifyTrustFn& winVerifyTrustSlot()
{
    return winVerifyTrust;
}

Crypt32Functions& crypt32Slots()
{
    return crypt32;
}

BcryptFunctions& bcryptSlots()
{
    return bcrypt;
}

LocalMemoryFunctions& localMemorySlots()
{
    return localMemory;
}

const char* signatureStepName(SignatureStep step)
{
    switch (step) {
    case SignatureStep::none:
        return "none";
    case SignatureStep::noPath:
        return "noPath";
    case SignatureStep::wintrust:
        return "wintrust";
    case SignatureStep::fileHold:
        return "fileHold";
    case SignatureStep::primaryTrust:
        return "primaryTrust";
    case SignatureStep::secondaryCount:
        return "secondaryCount";
    case SignatureStep::crypt32:
        return "crypt32";
    case SignatureStep::primaryMessage:
        return "primaryMessage";
    case SignatureStep::primarySigner:
        return "primarySigner";
    case SignatureStep::nestedAttribute:
        return "nestedAttribute";
    case SignatureStep::nestedMessage:
        return "nestedMessage";
    case SignatureStep::nestedSigner:
        return "nestedSigner";
    case SignatureStep::nestedCertificates:
        return "nestedCertificates";
    case SignatureStep::nestedCertificate:
        return "nestedCertificate";
    case SignatureStep::vendorKey:
        return "vendorKey";
    case SignatureStep::nestedSignature:
        return "nestedSignature";
    case SignatureStep::nestedContent:
        return "nestedContent";
    case SignatureStep::nestedContentDigest:
        return "nestedContentDigest";
    case SignatureStep::primaryContent:
        return "primaryContent";
    case SignatureStep::fileDigest:
        return "fileDigest";
    case SignatureStep::secondaryTrust:
        return "secondaryTrust";
    }
    return "unknown";
}

SignatureVerdict verdictOf(const SignatureCheck& check)
{
    return check.accepted                                      ? SignatureVerdict::accepted
           : check.failedStep == SignatureStep::secondaryCount ? SignatureVerdict::missingSecondary
                                                               : SignatureVerdict::rejected;
}

SignatureVerdict trustVerdict(long trustResult, std::uint32_t secondarySignatures)
{
    if (trustResult != 0) {
        return SignatureVerdict::rejected;
    }
    if (secondarySignatures != 1) {
        return SignatureVerdict::missingSecondary;
    }
    return SignatureVerdict::accepted;
}

const char* signatureLineFormat(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::accepted:
        return "File '%S' is signed by NVIDIA and the signature was verified.\n";
    case SignatureVerdict::missingSecondary:
        return "File '%S' does not have the secondary NVIDIA signature - Streamline will not load unsecured "
               "modules\n";
    case SignatureVerdict::rejected:
        break;
    }
    return "File '%S' is NOT correctly signed - Streamline will not load unsecured modules\n";
}

std::string signatureLogText(const SignatureCheck& check, std::string_view utf8Path)
{
    const std::string path(utf8Path);
    if (check.failedStep == SignatureStep::noPath || check.failedStep == SignatureStep::wintrust)
        return "the signature of '" + path +
               "' could not be checked (failed step: " + signatureStepName(check.failedStep) + ")";
    std::string line = signatureLineFormat(verdictOf(check));
    const std::size_t argument = line.find("%S");
    if (argument != std::string::npos)
        line.replace(argument, 2, path);
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!check.accepted)
        line += std::string(" (failed step: ") + signatureStepName(check.failedStep) + ")";
    return line;
}

bool secondaryTrustAccepts(long trustResult)
{
    switch (static_cast<std::uint32_t>(trustResult)) {
    case 0:
    case 0x800B0101: // CERT_E_EXPIRED
    case 0x800B0102: // CERT_E_VALIDITYPERIODNESTING
    case 0x800B0109: // CERT_E_UNTRUSTEDROOT
    case 0x800B010A: // CERT_E_CHAINING
    case 0x800B010D: // CERT_E_UNTRUSTEDTESTROOT
    case 0x800B0110: // CERT_E_WRONG_USAGE
    case 0x800B0112: // CERT_E_UNTRUSTEDCA
        return true;
    default:
        return false;
    }
}

bool keyBlobMatches(const std::uint8_t* decoded, std::size_t decodedSize, const std::uint8_t* expected,
                    std::size_t expectedSize)
{
    return decoded != nullptr && expected != nullptr && decodedSize == vendorPublicKeySize &&
           expectedSize == vendorPublicKeySize && std::memcmp(decoded, expected, vendorPublicKeySize) == 0;
}

bool hashBytes(const DigestAlgorithm& algorithm, const std::uint8_t* data, std::size_t size,
               std::uint8_t (&digest)[maxDigestSize])
{
    if (!loadBcrypt()) {
        return false;
    }
    Hash hash(algorithm);
    hash.add(data, size);
    return hash.finish(digest);
}

SignatureStep checkNestedSignature(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    if (path == nullptr) {
        return SignatureStep::noPath;
    }
    if (!loadCrypt32() || !loadBcrypt()) {
        return SignatureStep::crypt32;
    }
    return nestedCheck(path, expectedKey, keySize);
}

bool checkNestedVendorSignature(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    return checkNestedSignature(path, expectedKey, keySize) == SignatureStep::none;
}

SignatureCheck examineModuleSignature(const wchar_t* path, ModuleFileHold& hold,
                                      const std::uint8_t* expectedKey, std::size_t keySize)
{
    if (path == nullptr) {
        return {false, SignatureStep::noPath};
    }
    if (!loadWinTrust()) {
        return {false, SignatureStep::wintrust};
    }
    SignatureCheck check;
    if (!hold.hold(path)) {
        check.failedStep = SignatureStep::fileHold;
        return check;
    }
    TrustRecords primary(path, primaryIndex, verifySpecificAndCount, true);
    const LONG trust = primary.verify();
    SignatureVerdict verdict = trustVerdict(trust, primary.settings.cSecondarySigs);
    if (verdict == SignatureVerdict::rejected) {
        check.failedStep = SignatureStep::primaryTrust;
    } else if (verdict == SignatureVerdict::missingSecondary) {
        check.failedStep = SignatureStep::secondaryCount;
    } else {
        check.failedStep = checkNestedSignature(path, expectedKey, keySize);
        if (check.failedStep == SignatureStep::none &&
            !secondaryTrustAccepts(verifySecondarySignature(path))) {
            check.failedStep = SignatureStep::secondaryTrust;
        }
        if (check.failedStep != SignatureStep::none) {
            verdict = SignatureVerdict::rejected;
        }
    }
    primary.close();
    check.accepted = verdict == SignatureVerdict::accepted;
    return check;
}

void printSignatureLine(const SignatureCheck& check, const wchar_t* path)
{
    if (check.failedStep == SignatureStep::noPath || check.failedStep == SignatureStep::wintrust)
        return;
    std::printf(signatureLineFormat(verdictOf(check)), path);
    std::fflush(stdout);
}

SignatureCheck checkModuleSignature(const wchar_t* path, ModuleFileHold& hold,
                                    const std::uint8_t* expectedKey, std::size_t keySize)
{
    const SignatureCheck check = examineModuleSignature(path, hold, expectedKey, keySize);
    printSignatureLine(check, path);
    return check;
}

bool verifyModuleSignature(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    ModuleFileHold hold;
    return checkModuleSignature(path, hold, expectedKey, keySize).accepted;
}

} // namespace fsr2bridge
