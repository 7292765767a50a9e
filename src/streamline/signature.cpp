#include "streamline/signature.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "common/module_export.h"

namespace fsr2bridge {
namespace {

constexpr DWORD loadFromSystem32 = 0x800; // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr DWORD uiNone = 2;                 // WTD_UI_NONE
constexpr DWORD revokeNone = 0;             // WTD_REVOKE_NONE
constexpr DWORD choiceFile = 1;             // WTD_CHOICE_FILE
constexpr DWORD stateActionVerify = 1;      // WTD_STATEACTION_VERIFY
constexpr DWORD stateActionClose = 2;       // WTD_STATEACTION_CLOSE
constexpr DWORD verifySpecificAndCount = 3; // WSS_VERIFY_SPECIFIC | WSS_GET_SECONDARY_SIG_COUNT
constexpr DWORD strongSignOidChoice = 2;    // CERT_STRONG_SIGN_OID_INFO_CHOICE
constexpr char strongSignOs1[] = "1.3.6.1.4.1.311.72.1.1";
constexpr char nestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

// WINTRUST_ACTION_GENERIC_VERIFY_V2
constexpr GUID genericVerifyV2 = {
    0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

constexpr DWORD queryObjectFile = 1;                             // CERT_QUERY_OBJECT_FILE
constexpr DWORD queryPkcs7SignedEmbed = 0x400;                   // CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED
constexpr DWORD queryFormatBinary = 2;                           // CERT_QUERY_FORMAT_FLAG_BINARY
constexpr DWORD signerInfoParam = 6;                             // CMSG_SIGNER_INFO_PARAM
const LPCSTR storeProviderPkcs7 = reinterpret_cast<LPCSTR>(5);   // CERT_STORE_PROV_PKCS7
constexpr DWORD findSubjectCert = 0xB0000;                       // CERT_FIND_SUBJECT_CERT
const LPCSTR cngRsaPublicKeyBlob = reinterpret_cast<LPCSTR>(72); // CNG_RSA_PUBLIC_KEY_BLOB
constexpr DWORD decodeAllocFlag = 0x8000;                        // CRYPT_DECODE_ALLOC_FLAG
constexpr DWORD closeStoreForce = 1;                             // CERT_CLOSE_STORE_FORCE_FLAG

WinVerifyTrustFn winVerifyTrust = nullptr;
Crypt32Functions crypt32 = {};

template <class F> bool lookUp(HMODULE module, const char* name, F& slot)
{
    if (slot == nullptr) {
        slot = exportedFunction<std::remove_pointer_t<F>>(module, name);
    }
    return slot != nullptr;
}

bool loadWinTrust()
{
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
           f.CryptQueryObject && f.CryptDecodeObjectEx;
}

bool loadCrypt32()
{
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
           lookUp(module, "CryptDecodeObjectEx", f.CryptDecodeObjectEx);
}

// Everything the nested check obtains; released in one fixed order on every path.
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
            LocalFree(nestedSigner);
        }
        if (nestedMessage != nullptr) {
            crypt32.CryptMsgClose(nestedMessage);
        }
        if (primarySigner != nullptr) {
            LocalFree(primarySigner);
        }
        if (primaryMessage != nullptr) {
            crypt32.CryptMsgClose(primaryMessage);
        }
        if (primaryStore != nullptr) {
            crypt32.CertCloseStore(primaryStore, closeStoreForce);
        }
    }
};

// The signer information of `message` (index 0) in a zero-filled LocalAlloc
// buffer, or null. A buffer too small to hold the record counts as failure.
CMSG_SIGNER_INFO* fetchSignerInfo(HCRYPTMSG message)
{
    DWORD size = 0;
    if (!crypt32.CryptMsgGetParam(message, signerInfoParam, 0, nullptr, &size) ||
        size < sizeof(CMSG_SIGNER_INFO)) {
        return nullptr;
    }
    auto* info = static_cast<CMSG_SIGNER_INFO*>(LocalAlloc(LPTR, size));
    if (info == nullptr) {
        return nullptr;
    }
    if (!crypt32.CryptMsgGetParam(message, signerInfoParam, 0, info, &size)) {
        LocalFree(info);
        return nullptr;
    }
    return info;
}

// The first value of the first nested-signature attribute, or null.
const CRYPT_ATTR_BLOB* nestedSignatureBlob(const CMSG_SIGNER_INFO& signer)
{
    const CRYPT_ATTRIBUTES& attributes = signer.UnauthAttrs;
    if (attributes.rgAttr == nullptr) {
        return nullptr;
    }
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, nestedSignatureOid) != 0) {
            continue;
        }
        // The first matching attribute decides, even when it carries no value.
        if (attribute.cValue == 0 || attribute.rgValue == nullptr || attribute.rgValue[0].pbData == nullptr) {
            return nullptr;
        }
        return &attribute.rgValue[0];
    }
    return nullptr;
}

bool nestedKeyMatches(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    NestedCheckHandles h;
    DWORD encodingType = 0, contentType = 0, formatType = 0;
    if (!crypt32.CryptQueryObject(queryObjectFile, path, queryPkcs7SignedEmbed, queryFormatBinary, 0,
                                  &encodingType, &contentType, &formatType, &h.primaryStore,
                                  &h.primaryMessage, nullptr) ||
        h.primaryMessage == nullptr) {
        return false;
    }
    h.primarySigner = fetchSignerInfo(h.primaryMessage);
    if (h.primarySigner == nullptr) {
        return false;
    }
    const CRYPT_ATTR_BLOB* nested = nestedSignatureBlob(*h.primarySigner);
    if (nested == nullptr) {
        return false;
    }
    h.nestedMessage = crypt32.CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
    if (h.nestedMessage == nullptr ||
        !crypt32.CryptMsgUpdate(h.nestedMessage, nested->pbData, nested->cbData, TRUE)) {
        return false;
    }
    h.nestedSigner = fetchSignerInfo(h.nestedMessage);
    if (h.nestedSigner == nullptr) {
        return false;
    }
    h.nestedStore = crypt32.CertOpenStore(storeProviderPkcs7, encoding, 0, 0, nested);
    if (h.nestedStore == nullptr) {
        return false;
    }
    CERT_INFO subject = {};
    subject.Issuer = h.nestedSigner->Issuer;
    subject.SerialNumber = h.nestedSigner->SerialNumber;
    h.certificate =
        crypt32.CertFindCertificateInStore(h.nestedStore, encoding, 0, findSubjectCert, &subject, nullptr);
    if (h.certificate == nullptr || h.certificate->pCertInfo == nullptr) {
        return false;
    }
    const CRYPT_BIT_BLOB& keyBits = h.certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    BYTE* decoded = nullptr;
    DWORD decodedSize = 0;
    if (!crypt32.CryptDecodeObjectEx(encoding, cngRsaPublicKeyBlob, keyBits.pbData, keyBits.cbData,
                                     decodeAllocFlag, nullptr, &decoded, &decodedSize)) {
        return false;
    }
    const bool matches = keyBlobMatches(decoded, decodedSize, expectedKey, keySize);
    if (decoded != nullptr) {
        LocalFree(decoded);
    }
    return matches;
}

} // namespace

WinVerifyTrustFn& winVerifyTrustSlot()
{
    return winVerifyTrust;
}

Crypt32Functions& crypt32Slots()
{
    return crypt32;
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

bool keyBlobMatches(const std::uint8_t* decoded, std::size_t decodedSize, const std::uint8_t* expected,
                    std::size_t expectedSize)
{
    return decoded != nullptr && expected != nullptr && decodedSize == vendorPublicKeySize &&
           expectedSize == vendorPublicKeySize && std::memcmp(decoded, expected, vendorPublicKeySize) == 0;
}

bool checkNestedVendorSignature(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    if (path == nullptr || !loadCrypt32()) {
        return false;
    }
    return nestedKeyMatches(path, expectedKey, keySize);
}

bool verifyModuleSignature(const wchar_t* path, const std::uint8_t* expectedKey, std::size_t keySize)
{
    if (path == nullptr || !loadWinTrust()) {
        return false;
    }
    StrongSignPara policy = {sizeof(StrongSignPara), strongSignOidChoice, strongSignOs1};
    TrustSignatureSettings settings = {};
    settings.cbStruct = sizeof(settings);
    settings.dwIndex = 0;
    settings.dwFlags = verifySpecificAndCount;
    settings.pCryptoPolicy = &policy;
    TrustFileInfo file = {sizeof(TrustFileInfo), path, nullptr, nullptr};
    TrustData data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = uiNone;
    data.fdwRevocationChecks = revokeNone;
    data.dwUnionChoice = choiceFile;
    data.pFile = &file;
    data.dwStateAction = stateActionVerify;
    data.pSignatureSettings = &settings;

    GUID action = genericVerifyV2;
    const LONG trust = winVerifyTrust(nullptr, &action, &data);
    SignatureVerdict verdict = trustVerdict(trust, settings.cSecondarySigs);
    if (verdict == SignatureVerdict::accepted && !checkNestedVendorSignature(path, expectedKey, keySize)) {
        verdict = SignatureVerdict::rejected;
    }
    std::printf(signatureLineFormat(verdict), path);
    std::fflush(stdout);

    data.dwStateAction = stateActionClose;
    winVerifyTrust(nullptr, &action, &data);
    return verdict == SignatureVerdict::accepted;
}

} // namespace fsr2bridge
