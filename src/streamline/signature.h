#pragma once
#include <cstddef>
#include <cstdint>

#include <windows.h>

#include <wincrypt.h>

#include "streamline/vendor_public_key.h"

namespace fsr2bridge {

// Accepts the module at `path` only when its Authenticode signature verifies
// under the strong-signature policy, it carries exactly one secondary signature,
// and that nested signature was made with the RSA key `expectedKey` (a CNG
// BCRYPT_RSAKEY_BLOB). Prints one line about the outcome to standard output
// (none when wintrust cannot be loaded or `path` is null).
bool verifyModuleSignature(const wchar_t* path, const std::uint8_t* expectedKey = vendorPublicKey,
                           std::size_t keySize = vendorPublicKeySize);

// True when the first nested signature of the module's primary signer was made
// with a certificate whose public key, decoded as CNG RSA public blob, equals
// `expectedKey` byte for byte.
bool checkNestedVendorSignature(const wchar_t* path, const std::uint8_t* expectedKey = vendorPublicKey,
                                std::size_t keySize = vendorPublicKeySize);

// ---- Pure parts of the decision ------------------------------------------------

enum class SignatureVerdict { accepted, rejected, missingSecondary };

// What WinVerifyTrust's answer decides on its own: rejected (the trust result
// is not 0), missingSecondary (not exactly one secondary signature), or
// accepted, meaning the nested signature decides.
SignatureVerdict trustVerdict(long trustResult, std::uint32_t secondarySignatures);

// The printf format (one %S argument: the path) of the line for a verdict.
const char* signatureLineFormat(SignatureVerdict verdict);

// True when the decoded key blob has exactly the vendor key size and equals
// `expected` (which must have that size as well).
bool keyBlobMatches(const std::uint8_t* decoded, std::size_t decodedSize, const std::uint8_t* expected,
                    std::size_t expectedSize);

// ---- Windows SDK records newer than MinGW's wintrust.h ---------------------------

struct StrongSignPara { // CERT_STRONG_SIGN_PARA
    DWORD cbSize;
    DWORD dwInfoChoice;
    const char* pszOID; // union with pvInfo / pSerializedInfo
};
static_assert(sizeof(StrongSignPara) == 16 && offsetof(StrongSignPara, pszOID) == 8);

struct TrustSignatureSettings { // WINTRUST_SIGNATURE_SETTINGS
    DWORD cbStruct;
    DWORD dwIndex;
    DWORD dwFlags;
    DWORD cSecondarySigs;
    DWORD dwVerifiedSigIndex;
    StrongSignPara* pCryptoPolicy;
};
static_assert(sizeof(TrustSignatureSettings) == 32 &&
              offsetof(TrustSignatureSettings, cSecondarySigs) == 12 &&
              offsetof(TrustSignatureSettings, dwVerifiedSigIndex) == 16 &&
              offsetof(TrustSignatureSettings, pCryptoPolicy) == 24);

struct TrustFileInfo { // WINTRUST_FILE_INFO
    DWORD cbStruct;
    const wchar_t* pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
};
static_assert(sizeof(TrustFileInfo) == 32 && offsetof(TrustFileInfo, pcwszFilePath) == 8 &&
              offsetof(TrustFileInfo, pgKnownSubject) == 24);

struct TrustData { // WINTRUST_DATA with pSignatureSettings
    DWORD cbStruct;
    void* pPolicyCallbackData;
    void* pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    TrustFileInfo* pFile; // union with the other subject kinds
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    wchar_t* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    TrustSignatureSettings* pSignatureSettings;
};
static_assert(sizeof(TrustData) == 88 && offsetof(TrustData, pPolicyCallbackData) == 8 &&
              offsetof(TrustData, dwUIChoice) == 24 && offsetof(TrustData, fdwRevocationChecks) == 28 &&
              offsetof(TrustData, dwUnionChoice) == 32 && offsetof(TrustData, pFile) == 40 &&
              offsetof(TrustData, dwStateAction) == 48 && offsetof(TrustData, hWVTStateData) == 56 &&
              offsetof(TrustData, pwszURLReference) == 64 && offsetof(TrustData, dwProvFlags) == 72 &&
              offsetof(TrustData, dwUIContext) == 76 && offsetof(TrustData, pSignatureSettings) == 80);

// ---- Function slots, filled on first use from the system directory -----------------
// Tests may fill them beforehand with their own functions.

using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, void*);

struct Crypt32Functions {
    BOOL(WINAPI* CryptMsgClose)(HCRYPTMSG);
    HCERTSTORE(WINAPI* CertOpenStore)(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*);
    BOOL(WINAPI* CertCloseStore)(HCERTSTORE, DWORD);
    BOOL(WINAPI* CertFreeCertificateContext)(PCCERT_CONTEXT);
    PCCERT_CONTEXT(WINAPI* CertFindCertificateInStore)
    (HCERTSTORE, DWORD, DWORD, DWORD, const void*, PCCERT_CONTEXT);
    BOOL(WINAPI* CryptMsgGetParam)(HCRYPTMSG, DWORD, DWORD, void*, DWORD*);
    BOOL(WINAPI* CryptMsgUpdate)(HCRYPTMSG, const BYTE*, DWORD, BOOL);
    HCRYPTMSG(WINAPI* CryptMsgOpenToDecode)(DWORD, DWORD, DWORD, HCRYPTPROV_LEGACY, PCERT_INFO, void*);
    BOOL(WINAPI* CryptQueryObject)
    (DWORD, const void*, DWORD, DWORD, DWORD, DWORD*, DWORD*, DWORD*, HCERTSTORE*, HCRYPTMSG*, const void**);
    BOOL(WINAPI* CryptDecodeObjectEx)(DWORD, LPCSTR, const BYTE*, DWORD, DWORD, void*, void*, DWORD*);
};

WinVerifyTrustFn& winVerifyTrustSlot();
Crypt32Functions& crypt32Slots();

} // namespace fsr2bridge
