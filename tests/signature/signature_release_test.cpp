// The verification against recording wintrust/crypt32 functions: the records
// passed, the outcome and step of every failing step, and the release order
// (handles and LocalFree'd buffers) on each path.
#include "streamline/signature.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace fsr2bridge;

enum class Step {
    none,
    query,
    primarySize,
    primaryFetch,
    noNestedAttribute,
    nestedWithoutValue,
    openToDecode,
    update,
    nestedSize,
    nestedFetch,
    openStore,
    findCertificate,
    decode,
    otherKey,
    shortKey,
    signature,
    nestedContentFetch,
    nestedContentBad,
    noMessageDigest,
    wrongMessageDigest,
    primaryContentFetch,
    otherFileDigest,
    mixedAlgorithms,
};

const HCERTSTORE primaryStore = reinterpret_cast<HCERTSTORE>(0x1001);
const HCERTSTORE nestedStore = reinterpret_cast<HCERTSTORE>(0x1002);
const HCRYPTMSG primaryMessage = reinterpret_cast<HCRYPTMSG>(0x2001);
const HCRYPTMSG nestedMessage = reinterpret_cast<HCRYPTMSG>(0x2002);

Step failing = Step::none;
std::vector<std::string> log;
std::vector<std::string> argumentErrors;

BYTE nestedBytes[] = {0x30, 0x03, 0x02, 0x01, 0x01};
CRYPT_ATTR_BLOB nestedValue = {sizeof(nestedBytes), nestedBytes};
char otherOid[] = "1.2.840.113549.1.9.6";
char nestedOid[] = "1.3.6.1.4.1.311.2.4.1";
CRYPT_ATTRIBUTE attributes[2] = {{otherOid, 0, nullptr}, {nestedOid, 1, &nestedValue}};
BYTE issuer[] = {1, 2, 3};
BYTE serial[] = {9};
BYTE keyBits[] = {7, 7, 7};
CERT_INFO certificateInfo = {};
CERT_CONTEXT certificate = {};

// Signed contents: SpcIndirectDataContent records, and the nested signer's
// message-digest attribute over the nested one.
using Bytes = std::vector<BYTE>;
char sha256Oid[] = "2.16.840.1.101.3.4.2.1";
char sha384Oid[] = "2.16.840.1.101.3.4.2.2";
char contentTypeOid[] = "1.2.840.113549.1.9.3";
char messageDigestOid[] = "1.2.840.113549.1.9.4";
Bytes primaryContent, nestedContent, messageDigestValue;
BYTE contentTypeBytes[] = {0x06, 0x01, 0x00};
CRYPT_ATTR_BLOB contentTypeValue = {sizeof(contentTypeBytes), contentTypeBytes};
CRYPT_ATTR_BLOB messageDigestBlob = {};
CRYPT_ATTRIBUTE signedAttributes[2] = {{contentTypeOid, 1, &contentTypeValue},
                                       {messageDigestOid, 1, &messageDigestBlob}};

Bytes der(BYTE tag, const Bytes& contents)
{
    Bytes out{tag, static_cast<BYTE>(contents.size())}; // all short here
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes indirectData(const Bytes& oid, BYTE digestByte, std::size_t digestSize)
{
    const Bytes data = der(0x30, der(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F}));
    Bytes algorithm = der(0x06, oid);
    algorithm.insert(algorithm.end(), {0x05, 0x00});
    Bytes info = der(0x30, algorithm);
    const Bytes digest = der(0x04, Bytes(digestSize, digestByte));
    info.insert(info.end(), digest.begin(), digest.end());
    Bytes record = data;
    const Bytes digestInfo = der(0x30, info);
    record.insert(record.end(), digestInfo.begin(), digestInfo.end());
    return der(0x30, record);
}

const Bytes sha256Der = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const Bytes sha384Der = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};

// The contents as the step under test wants them.
void prepareContents(Step step)
{
    primaryContent = indirectData(sha256Der, 0x11, 32);
    nestedContent = step == Step::otherFileDigest    ? indirectData(sha256Der, 0x12, 32)
                    : step == Step::mixedAlgorithms  ? indirectData(sha384Der, 0x11, 48)
                    : step == Step::nestedContentBad ? Bytes{0x30, 0x00}
                                                     : primaryContent;
    const DigestAlgorithm& hash =
        *digestAlgorithmByOid(step == Step::mixedAlgorithms ? sha384Oid : sha256Oid);
    std::uint8_t digest[maxDigestSize] = {};
    ASSERT_TRUE(hashBytes(hash, nestedContent.data() + 2, nestedContent.size() - 2, digest));
    if (step == Step::wrongMessageDigest) {
        digest[5] ^= 1;
    }
    messageDigestValue = der(0x04, Bytes(digest, digest + hash.digestSize));
    messageDigestBlob = {static_cast<DWORD>(messageDigestValue.size()), messageDigestValue.data()};
}

// Names of the buffers handed out (signer information, contents, the decoded
// key); LocalFree logs "free:<name>".
std::map<const void*, std::string> bufferNames;
HLOCAL WINAPI recordingLocalFree(HLOCAL buffer)
{
    auto it = bufferNames.find(buffer);
    log.push_back("free:" + (it == bufferNames.end() ? std::string("?") : it->second));
    if (it != bufferNames.end()) {
        bufferNames.erase(it);
    }
    return LocalFree(buffer);
}

void expect(bool condition, const char* what)
{
    if (!condition) {
        argumentErrors.push_back(what);
    }
}

BOOL WINAPI fakeMsgClose(HCRYPTMSG message)
{
    log.push_back(message == primaryMessage ? "closeMsg:primary" : "closeMsg:nested");
    return TRUE;
}

HCERTSTORE WINAPI fakeOpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY, DWORD flags,
                                const void* para)
{
    expect(provider == reinterpret_cast<LPCSTR>(5) && encoding == 0x10001 && flags == 0,
           "CertOpenStore arguments");
    expect(para == &nestedValue, "CertOpenStore on the nested attribute value");
    return failing == Step::openStore ? nullptr : nestedStore;
}

BOOL WINAPI fakeCloseStore(HCERTSTORE store, DWORD flags)
{
    expect(flags == 1, "CertCloseStore with the force flag");
    log.push_back(store == primaryStore ? "closeStore:primary" : "closeStore:nested");
    return TRUE;
}

BOOL WINAPI fakeFreeCertificate(PCCERT_CONTEXT context)
{
    expect(context == &certificate, "CertFreeCertificateContext on the found certificate");
    log.push_back("freeCert");
    return TRUE;
}

PCCERT_CONTEXT WINAPI fakeFindCertificate(HCERTSTORE store, DWORD encoding, DWORD flags, DWORD type,
                                          const void* para, PCCERT_CONTEXT previous)
{
    const auto* subject = static_cast<const CERT_INFO*>(para);
    expect(store == nestedStore && encoding == 0x10001 && flags == 0 && type == 0xB0000 &&
               previous == nullptr,
           "CertFindCertificateInStore arguments");
    expect(subject->Issuer.pbData == issuer && subject->SerialNumber.pbData == serial,
           "subject by the nested signer's issuer and serial");
    return failing == Step::findCertificate ? nullptr : &certificate;
}

BOOL WINAPI fakeGetParam(HCRYPTMSG message, DWORD param, DWORD index, void* data, DWORD* size)
{
    expect((param == 6 || param == 2) && index == 0, "signer information or content of signer 0");
    const bool primary = message == primaryMessage;
    if (param == 2) { // CMSG_CONTENT_PARAM
        const Bytes& content = primary ? primaryContent : nestedContent;
        if (data == nullptr) {
            *size = static_cast<DWORD>(content.size());
            return TRUE;
        }
        bufferNames[data] = primary ? "primaryContent" : "nestedContent";
        if (failing == (primary ? Step::primaryContentFetch : Step::nestedContentFetch) ||
            *size < content.size()) {
            return FALSE;
        }
        std::memcpy(data, content.data(), content.size());
        *size = static_cast<DWORD>(content.size());
        return TRUE;
    }
    if (data == nullptr) {
        if (failing == (primary ? Step::primarySize : Step::nestedSize)) {
            return FALSE;
        }
        *size = sizeof(CMSG_SIGNER_INFO);
        return TRUE;
    }
    bufferNames[data] = primary ? "primarySigner" : "nestedSigner";
    if (failing == (primary ? Step::primaryFetch : Step::nestedFetch)) {
        return FALSE;
    }
    auto* info = static_cast<CMSG_SIGNER_INFO*>(data);
    for (std::size_t i = 0; i < sizeof(*info); ++i) {
        expect(reinterpret_cast<const BYTE*>(info)[i] == 0, "zero-filled signer buffer");
    }
    if (primary) {
        info->UnauthAttrs.cAttr = failing == Step::noNestedAttribute ? 1 : 2;
        info->UnauthAttrs.rgAttr = attributes;
        attributes[1].cValue = failing == Step::nestedWithoutValue ? 0 : 1;
    } else {
        info->Issuer = {sizeof(issuer), issuer};
        info->SerialNumber = {sizeof(serial), serial};
        info->HashAlgorithm.pszObjId = failing == Step::mixedAlgorithms ? sha384Oid : sha256Oid;
        info->AuthAttrs.cAttr = failing == Step::noMessageDigest ? 1 : 2;
        info->AuthAttrs.rgAttr = signedAttributes;
    }
    return TRUE;
}

BOOL WINAPI fakeMsgControl(HCRYPTMSG message, DWORD flags, DWORD control, const void* para)
{
    const auto* signer = static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(para);
    expect(message == nestedMessage && flags == 0 && control == 19 && signer->cbSize == sizeof(*signer) &&
               signer->hCryptProv == 0 && signer->dwSignerIndex == 0 && signer->dwSignerType == 2 &&
               signer->pvSigner == &certificate,
           "CMSG_CTRL_VERIFY_SIGNATURE_EX with the signer's certificate");
    return failing != Step::signature;
}

BOOL WINAPI fakeUpdate(HCRYPTMSG message, const BYTE* data, DWORD size, BOOL final)
{
    expect(message == nestedMessage && data == nestedBytes && size == sizeof(nestedBytes) && final,
           "one final update with the nested value");
    return failing != Step::update;
}

HCRYPTMSG WINAPI fakeOpenToDecode(DWORD encoding, DWORD flags, DWORD type, HCRYPTPROV_LEGACY,
                                  PCERT_INFO recipient, void* stream)
{
    expect(encoding == 0x10001 && flags == 0 && type == 0 && recipient == nullptr && stream == nullptr,
           "CryptMsgOpenToDecode arguments");
    return failing == Step::openToDecode ? nullptr : nestedMessage;
}

BOOL WINAPI fakeQuery(DWORD object, const void* path, DWORD content, DWORD format, DWORD flags,
                      DWORD* encoding, DWORD* contentType, DWORD* formatType, HCERTSTORE* store,
                      HCRYPTMSG* message, const void** context)
{
    expect(object == 1 && content == 0x400 && format == 2 && flags == 0, "CryptQueryObject arguments");
    expect(path != nullptr && encoding && contentType && formatType && context == nullptr,
           "CryptQueryObject outputs");
    if (failing == Step::query) {
        return FALSE;
    }
    *store = primaryStore;
    *message = primaryMessage;
    return TRUE;
}

BOOL WINAPI fakeDecode(DWORD encoding, LPCSTR type, const BYTE* data, DWORD size, DWORD flags, void* para,
                       void* out, DWORD* outSize)
{
    expect(encoding == 0x10001 && type == reinterpret_cast<LPCSTR>(72) && flags == 0x8000 && para == nullptr,
           "CryptDecodeObjectEx arguments");
    expect(data == keyBits && size == sizeof(keyBits), "the certificate's public key bits");
    if (failing == Step::decode) {
        return FALSE;
    }
    const DWORD n = failing == Step::shortKey ? 410 : 411;
    auto* blob = static_cast<BYTE*>(LocalAlloc(LPTR, n));
    bufferNames[blob] = "key";
    std::memcpy(blob, vendorPublicKey, n);
    if (failing == Step::otherKey) {
        blob[200] ^= 0x40;
    }
    *static_cast<BYTE**>(out) = blob;
    *outSize = n;
    return TRUE;
}

// WinVerifyTrust: records each call's state action and answers as scripted:
// "verify"/"close" for the primary signature, "verify:1"/"close:1" for the secondary one.
LONG trustAnswer = 0;
DWORD secondaryAnswer = 1;
LONG secondaryTrustAnswer = 0;
LONG WINAPI fakeVerifyTrust(HWND window, GUID* action, void* raw)
{
    const GUID v2 = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
    expect(window == nullptr && std::memcmp(action, &v2, sizeof(GUID)) == 0,
           "null window, generic verify v2");
    auto* data = static_cast<TrustData*>(raw);
    expect(data->cbStruct == 88 && data->dwUIChoice == 2 && data->fdwRevocationChecks == 0 &&
               data->dwUnionChoice == 1 && data->dwProvFlags == 0 && data->pPolicyCallbackData == nullptr,
           "WINTRUST_DATA fields");
    expect(data->pFile->cbStruct == 32 && data->pFile->hFile == nullptr, "WINTRUST_FILE_INFO fields");
    TrustSignatureSettings* settings = data->pSignatureSettings;
    const bool secondary = settings->dwIndex == 1;
    if (secondary) {
        expect(settings->cbStruct == 32 && settings->dwFlags == 1 && settings->pCryptoPolicy == nullptr,
               "secondary signature settings");
    } else {
        expect(settings->cbStruct == 32 && settings->dwIndex == 0 && settings->dwFlags == 3,
               "signature settings");
        expect(settings->pCryptoPolicy->cbSize == 16 && settings->pCryptoPolicy->dwInfoChoice == 2 &&
                   std::strcmp(settings->pCryptoPolicy->pszOID, "1.3.6.1.4.1.311.72.1.1") == 0,
               "strong-sign policy");
    }
    const std::string suffix = secondary ? ":1" : "";
    const HANDLE state = reinterpret_cast<HANDLE>(secondary ? 0x78 : 0x77);
    if (data->dwStateAction == 1) {
        log.push_back("verify" + suffix);
        data->hWVTStateData = state;
        if (secondary) {
            return secondaryTrustAnswer;
        }
        settings->cSecondarySigs = secondaryAnswer;
        return trustAnswer;
    }
    expect(data->dwStateAction == 2 && data->hWVTStateData == state, "close the state");
    log.push_back("close" + suffix);
    return 0;
}

// A real file to hold: the test program itself.
std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

class RecordingCrypto : public ::testing::Test {
protected:
    Crypt32Functions savedCrypt = {};
    WinVerifyTrustFn savedTrust = nullptr;
    LocalMemoryFunctions savedMemory = {};
    const std::wstring path = ownPath();

    void SetUp() override
    {
        savedCrypt = crypt32Slots();
        savedTrust = winVerifyTrustSlot();
        savedMemory = localMemorySlots();
        crypt32Slots() =
            Crypt32Functions{fakeMsgClose,        fakeOpenStore, fakeCloseStore, fakeFreeCertificate,
                             fakeFindCertificate, fakeGetParam,  fakeUpdate,     fakeOpenToDecode,
                             fakeQuery,           fakeDecode,    fakeMsgControl};
        winVerifyTrustSlot() = fakeVerifyTrust;
        localMemorySlots().LocalFree = recordingLocalFree;
        certificateInfo.SubjectPublicKeyInfo.PublicKey = {sizeof(keyBits), keyBits, 0};
        certificate.pCertInfo = &certificateInfo;
        start(Step::none);
    }
    void TearDown() override
    {
        crypt32Slots() = savedCrypt;
        winVerifyTrustSlot() = savedTrust;
        localMemorySlots() = savedMemory;
    }
    void start(Step step)
    {
        log.clear();
        argumentErrors.clear();
        bufferNames.clear();
        failing = step;
        prepareContents(step);
    }
};

using Log = std::vector<std::string>;

Log operator+(Log a, const Log& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Log primaryOnly = {"closeMsg:primary", "closeStore:primary"};
const Log withPrimarySigner = Log{"free:primarySigner"} + primaryOnly;
const Log withNestedMessage = Log{"closeMsg:nested"} + withPrimarySigner;
const Log withNestedSigner = Log{"free:nestedSigner"} + withNestedMessage;
const Log withNestedStore = Log{"closeStore:nested"} + withNestedSigner;
const Log everything = Log{"freeCert"} + withNestedStore;
const Log afterKey = Log{"free:key"} + everything;
const Log afterNestedContent = Log{"free:key", "free:nestedContent"} + everything;
const Log afterContents = Log{"free:key", "free:nestedContent", "free:primaryContent"} + everything;

TEST_F(RecordingCrypto, EveryFailingStepReleasesInOrder)
{
    const struct {
        Step step;
        SignatureStep result;
        Log releases;
    } cases[] = {
        {Step::none, SignatureStep::none, afterContents},
        {Step::query, SignatureStep::primaryMessage, {}},
        {Step::primarySize, SignatureStep::primarySigner, primaryOnly},
        {Step::primaryFetch, SignatureStep::primarySigner, withPrimarySigner},
        {Step::noNestedAttribute, SignatureStep::nestedAttribute, withPrimarySigner},
        {Step::nestedWithoutValue, SignatureStep::nestedAttribute, withPrimarySigner},
        {Step::openToDecode, SignatureStep::nestedMessage, withPrimarySigner},
        {Step::update, SignatureStep::nestedMessage, withNestedMessage},
        {Step::nestedSize, SignatureStep::nestedSigner, withNestedMessage},
        {Step::nestedFetch, SignatureStep::nestedSigner, withNestedSigner},
        {Step::openStore, SignatureStep::nestedCertificates, withNestedSigner},
        {Step::findCertificate, SignatureStep::nestedCertificate, withNestedStore},
        {Step::decode, SignatureStep::vendorKey, everything},
        {Step::otherKey, SignatureStep::vendorKey, afterKey},
        {Step::shortKey, SignatureStep::vendorKey, afterKey},
        {Step::signature, SignatureStep::nestedSignature, afterKey},
        {Step::nestedContentFetch, SignatureStep::nestedContent, afterNestedContent},
        {Step::nestedContentBad, SignatureStep::nestedContent, afterNestedContent},
        {Step::noMessageDigest, SignatureStep::nestedContent, afterNestedContent},
        {Step::wrongMessageDigest, SignatureStep::nestedContentDigest, afterNestedContent},
        {Step::primaryContentFetch, SignatureStep::primaryContent, afterContents},
        {Step::otherFileDigest, SignatureStep::fileDigest, afterContents},
        // SHA-384 against a SHA-256 primary: the file's own digest is needed, and this
        // program carries no signature to compute it over.
        {Step::mixedAlgorithms, SignatureStep::fileDigest, afterContents},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.step));
        start(c.step);
        EXPECT_EQ(signatureStepName(checkNestedSignature(path.c_str())),
                  std::string(signatureStepName(c.result)));
        EXPECT_EQ(log, c.releases);
        EXPECT_EQ(argumentErrors, std::vector<std::string>{});
        EXPECT_TRUE(bufferNames.empty()) << "a buffer was not given back";
    }
}

std::string captureStdout(const std::wstring& path, SignatureCheck& check)
{
    const char* file = "signature_release_stdout.txt";
    std::fflush(stdout);
    const int saved = _dup(1);
    const int fd = _open(file, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 1);
    ModuleFileHold hold;
    check = checkModuleSignature(path.c_str(), hold);
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(fd);
    _close(saved);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

TEST_F(RecordingCrypto, TrustAnswerDecidesLineAndStateIsClosed)
{
    const std::string p = narrow(path);
    const std::string bad =
        "File '" + p + "' is NOT correctly signed - Streamline will not load unsecured modules\n";
    const std::string missing = "File '" + p +
                                "' does not have the secondary NVIDIA signature - Streamline will "
                                "not load unsecured modules\n";
    const std::string good = "File '" + p + "' is signed by NVIDIA and the signature was verified.\n";
    const struct {
        const char* name;
        LONG trust;
        DWORD secondary;
        LONG secondaryTrust;
        Step nested;
        SignatureStep result;
        std::string line;
        Log calls;
    } cases[] = {
        {"accepted", 0, 1, 0, Step::none, SignatureStep::none, good,
         Log{"verify"} + afterContents + Log{"verify:1", "close:1", "close"}},
        {"primary refused",
         static_cast<LONG>(0x800B0100),
         1,
         0,
         Step::none,
         SignatureStep::primaryTrust,
         bad,
         {"verify", "close"}},
        {"no secondary", 0, 0, 0, Step::none, SignatureStep::secondaryCount, missing, {"verify", "close"}},
        {"two secondaries", 0, 2, 0, Step::none, SignatureStep::secondaryCount, missing, {"verify", "close"}},
        {"unreadable", 0, 1, 0, Step::query, SignatureStep::primaryMessage, bad, {"verify", "close"}},
        {"other key", 0, 1, 0, Step::otherKey, SignatureStep::vendorKey, bad,
         Log{"verify"} + afterKey + Log{"close"}},
        {"grafted", 0, 1, 0, Step::otherFileDigest, SignatureStep::fileDigest, bad,
         Log{"verify"} + afterContents + Log{"close"}},
        {"system refuses the secondary", 0, 1, static_cast<LONG>(0x80096010), Step::none,
         SignatureStep::secondaryTrust, bad,
         Log{"verify"} + afterContents + Log{"verify:1", "close:1", "close"}},
        {"system distrusts only the path", 0, 1, static_cast<LONG>(0x800B0109), Step::none,
         SignatureStep::none, good, Log{"verify"} + afterContents + Log{"verify:1", "close:1", "close"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.nested);
        trustAnswer = c.trust;
        secondaryAnswer = c.secondary;
        secondaryTrustAnswer = c.secondaryTrust;
        SignatureCheck check{c.result != SignatureStep::none, SignatureStep::noPath};
        EXPECT_EQ(captureStdout(path, check), c.line);
        EXPECT_EQ(check.accepted, c.result == SignatureStep::none);
        EXPECT_EQ(signatureStepName(check.failedStep), std::string(signatureStepName(c.result)));
        EXPECT_EQ(log, c.calls);
        EXPECT_EQ(argumentErrors, std::vector<std::string>{});
    }
}

TEST_F(RecordingCrypto, FileThatCannotBeHeldIsNeverExamined)
{
    const std::wstring absent = path + L".absent";
    SignatureCheck check{true, SignatureStep::none};
    EXPECT_EQ(captureStdout(absent, check),
              "File '" + narrow(absent) +
                  "' is NOT correctly signed - Streamline will not load unsecured modules\n");
    EXPECT_FALSE(check.accepted);
    EXPECT_EQ(check.failedStep, SignatureStep::fileHold);
    EXPECT_EQ(log, Log{});
}

TEST(SecondaryTrust, OnlyAnUntrustedPathIsForgiven)
{
    const struct {
        std::uint32_t result;
        bool accepted;
    } cases[] = {
        {0, true},           {0x800B0101, true}, // CERT_E_EXPIRED
        {0x800B0109, true},                      // CERT_E_UNTRUSTEDROOT
        {0x800B010A, true},                      // CERT_E_CHAINING
        {0x800B0112, true},                      // CERT_E_UNTRUSTEDCA
        {0x80096010, false},                     // TRUST_E_BAD_DIGEST
        {0x800B0100, false},                     // TRUST_E_NOSIGNATURE
        {0x80090006, false},                     // NTE_BAD_SIGNATURE
        {0x80091007, false},                     // CRYPT_E_HASH_VALUE
        {0x800B010C, false},                     // CERT_E_REVOKED
        {0x800B0111, false},                     // TRUST_E_EXPLICIT_DISTRUST
        {0x80096004, false},                     // TRUST_E_CERT_SIGNATURE
        {1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(secondaryTrustAccepts(static_cast<long>(c.result)), c.accepted) << std::hex << c.result;
    }
}

} // namespace
