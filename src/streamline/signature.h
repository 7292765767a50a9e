#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

#include <wincrypt.h>

#include "streamline/authenticode.h"
#include "streamline/vendor_public_key.h"

namespace fsr2bridge {

// Which step of the verification refused a module; `none` when it was accepted.
enum class SignatureStep : std::uint8_t {
    none,
    noPath,              // no path given: nothing examined, no line printed
    wintrust,            // wintrust.dll or WinVerifyTrust unavailable: no line printed
    fileHold,            // the file cannot be held open against writing and deleting
    primaryTrust,        // WinVerifyTrust refused the primary signature
    secondaryCount,      // not exactly one secondary signature
    crypt32,             // crypt32.dll, bcrypt.dll or one of their functions unavailable
    primaryMessage,      // the embedded signature cannot be read as a message
    primarySigner,       // nor its signer information
    nestedAttribute,     // no nested-signature attribute with a value
    nestedMessage,       // its value does not decode as a message
    nestedSigner,        // nor gives signer information
    nestedCertificates,  // no certificate store can be opened on it
    nestedCertificate,   // the nested signer's certificate is not in it
    vendorKey,           // that certificate's public key is not the vendor key
    nestedSignature,     // the nested signer's signature does not verify with that key
    nestedContent,       // the signed content or its message-digest attribute is unreadable
    nestedContentDigest, // the signed message digest is not the hash of the signed content
    primaryContent,      // the primary signature's signed content is unreadable
    fileDigest,          // the nested signature signs another file's digest
    secondaryTrust,      // the system's own verification refused the secondary signature
};

// A short name for the step ("none", "fileDigest", ...), for logs.
const char* signatureStepName(SignatureStep step);

struct SignatureCheck {
    bool accepted = false;
    SignatureStep failedStep = SignatureStep::none;
};

// The outcome as the log records it: the line printed to standard output (without its line end) with the
// path in UTF-8, and for a rejection which step refused the module. A check that printed nothing (no
// path, no wintrust) says so instead.
std::string signatureLogText(const SignatureCheck& check, std::string_view utf8Path);

// Holds a file open for reading while others may only read it: nobody can
// write, delete, rename or replace it while it is held. The loader keeps the
// interposer held from its verification until LoadLibraryW has returned, so
// the file verified is the file loaded.
class ModuleFileHold {
public:
    ModuleFileHold() = default;
    ~ModuleFileHold();
    ModuleFileHold(const ModuleFileHold&) = delete;
    ModuleFileHold& operator=(const ModuleFileHold&) = delete;

    // Releases any earlier hold, then holds `path`. False when it cannot be held.
    bool hold(const wchar_t* path);
    // The file now at `path` is the one held (the same volume and file index): nobody has put another file,
    // or another folder, in its place.
    bool holds(const wchar_t* path) const;
    void release();
    bool held() const { return file_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Accepts the module at `path` only when its Authenticode signature verifies
// under the strong-signature policy, it carries exactly one secondary signature,
// and that nested signature was made with the RSA key `expectedKey` (a CNG
// BCRYPT_RSAKEY_BLOB) over this very file. Holds the file in `hold` from the
// start (and leaves it held). Prints one line about the outcome to standard
// output (none when wintrust cannot be loaded or `path` is null); the result
// names the step that refused the module.
SignatureCheck checkModuleSignature(const wchar_t* path, ModuleFileHold& hold,
                                    const std::uint8_t* expectedKey = vendorPublicKey,
                                    std::size_t keySize = vendorPublicKeySize);

// checkModuleSignature without its line: the caller prints it (printSignatureLine) when it uses the result.
SignatureCheck examineModuleSignature(const wchar_t* path, ModuleFileHold& hold,
                                      const std::uint8_t* expectedKey = vendorPublicKey,
                                      std::size_t keySize = vendorPublicKeySize);
// The one line on standard output for a result (none when nothing could be examined).
void printSignatureLine(const SignatureCheck& check, const wchar_t* path);

// checkModuleSignature, holding the file only while it is verified.
bool verifyModuleSignature(const wchar_t* path, const std::uint8_t* expectedKey = vendorPublicKey,
                           std::size_t keySize = vendorPublicKeySize);

// The nested signature of the module's primary signer: the first one is read;
// its signer certificate's public key, decoded as CNG RSA public blob, must
// equal `expectedKey` byte for byte; its signature must verify with that key;
// and the file digest it signs must be the digest of the file at `path`.
// Returns the step that failed, or none.
SignatureStep checkNestedSignature(const wchar_t* path, const std::uint8_t* expectedKey = vendorPublicKey,
                                   std::size_t keySize = vendorPublicKeySize);

// checkNestedSignature(...) == none.
bool checkNestedVendorSignature(const wchar_t* path, const std::uint8_t* expectedKey = vendorPublicKey,
                                std::size_t keySize = vendorPublicKeySize);

// The digest of `size` bytes with `algorithm`, through bcrypt. False when bcrypt
// or the algorithm is unavailable.
bool hashBytes(const DigestAlgorithm& algorithm, const std::uint8_t* data, std::size_t size,
               std::uint8_t (&digest)[maxDigestSize]);

// ---- Pure parts of the decision ------------------------------------------------

enum class SignatureVerdict { accepted, rejected, missingSecondary };

// The verdict a finished check stands for (its printed line).
SignatureVerdict verdictOf(const SignatureCheck& check);

// What WinVerifyTrust's answer decides on its own: rejected (the trust result
// is not 0), missingSecondary (not exactly one secondary signature), or
// accepted, meaning the nested signature decides.
SignatureVerdict trustVerdict(long trustResult, std::uint32_t secondarySignatures);

// The printf format (one %S argument: the path) of the line for a verdict.
const char* signatureLineFormat(SignatureVerdict verdict);

// Whether WinVerifyTrust's answer for the secondary signature (dwIndex 1,
// WSS_VERIFY_SPECIFIC) lets it pass. A certificate path the system does not
// trust does not refuse it: the vendor key itself is the anchor here. A
// system that does not examine secondary signatures answers for the primary.
bool secondaryTrustAccepts(long trustResult);

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
    BOOL(WINAPI* CryptMsgControl)(HCRYPTMSG, DWORD, DWORD, const void*);
};

// From "bcrypt.dll": hashing for the digests the nested signature is checked against.
struct BcryptFunctions {
    LONG(WINAPI* BCryptOpenAlgorithmProvider)(void**, const wchar_t*, const wchar_t*, ULONG);
    LONG(WINAPI* BCryptCreateHash)(void*, void**, UCHAR*, ULONG, UCHAR*, ULONG, ULONG);
    LONG(WINAPI* BCryptHashData)(void*, UCHAR*, ULONG, ULONG);
    LONG(WINAPI* BCryptFinishHash)(void*, UCHAR*, ULONG, ULONG);
    LONG(WINAPI* BCryptDestroyHash)(void*);
    LONG(WINAPI* BCryptCloseAlgorithmProvider)(void*, ULONG);
};

// The buffers of the verification (signer information, signed content, decoded
// key) come from and go back to these; they start as kernel32's own.
struct LocalMemoryFunctions {
    HLOCAL(WINAPI* LocalAlloc)(UINT, SIZE_T);
    HLOCAL(WINAPI* LocalFree)(HLOCAL);
};

WinVerifyTrustFn& winVerifyTrustSlot();
Crypt32Functions& crypt32Slots();
BcryptFunctions& bcryptSlots();
LocalMemoryFunctions& localMemorySlots();

} // namespace fsr2bridge
