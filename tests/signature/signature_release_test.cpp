// The verification against recording wintrust/crypt32 functions: the records
// passed, the outcome of every failing step and the release order on each path.
#include "streamline/signature.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
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
    expect(param == 6 && index == 0, "CMSG_SIGNER_INFO_PARAM of signer 0");
    const bool primary = message == primaryMessage;
    if (data == nullptr) {
        if (failing == (primary ? Step::primarySize : Step::nestedSize)) {
            return FALSE;
        }
        *size = sizeof(CMSG_SIGNER_INFO);
        return TRUE;
    }
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
    }
    return TRUE;
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
    std::memcpy(blob, vendorPublicKey, n);
    if (failing == Step::otherKey) {
        blob[200] ^= 0x40;
    }
    *static_cast<BYTE**>(out) = blob;
    *outSize = n;
    return TRUE;
}

// WinVerifyTrust: records each call's state action and answers as scripted.
LONG trustAnswer = 0;
DWORD secondaryAnswer = 1;
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
    expect(settings->cbStruct == 32 && settings->dwIndex == 0 && settings->dwFlags == 3,
           "signature settings");
    expect(settings->pCryptoPolicy->cbSize == 16 && settings->pCryptoPolicy->dwInfoChoice == 2 &&
               std::strcmp(settings->pCryptoPolicy->pszOID, "1.3.6.1.4.1.311.72.1.1") == 0,
           "strong-sign policy");
    if (data->dwStateAction == 1) {
        log.push_back("verify");
        settings->cSecondarySigs = secondaryAnswer;
        data->hWVTStateData = reinterpret_cast<HANDLE>(0x77);
        return trustAnswer;
    }
    expect(data->dwStateAction == 2 && data->hWVTStateData == reinterpret_cast<HANDLE>(0x77),
           "close the state");
    log.push_back("close");
    return 0;
}

class RecordingCrypto : public ::testing::Test {
protected:
    Crypt32Functions savedCrypt = {};
    WinVerifyTrustFn savedTrust = nullptr;

    void SetUp() override
    {
        savedCrypt = crypt32Slots();
        savedTrust = winVerifyTrustSlot();
        crypt32Slots() = Crypt32Functions{
            fakeMsgClose, fakeOpenStore, fakeCloseStore,   fakeFreeCertificate, fakeFindCertificate,
            fakeGetParam, fakeUpdate,    fakeOpenToDecode, fakeQuery,           fakeDecode};
        winVerifyTrustSlot() = fakeVerifyTrust;
        certificateInfo.SubjectPublicKeyInfo.PublicKey = {sizeof(keyBits), keyBits, 0};
        certificate.pCertInfo = &certificateInfo;
        log.clear();
        argumentErrors.clear();
        failing = Step::none;
    }
    void TearDown() override
    {
        crypt32Slots() = savedCrypt;
        winVerifyTrustSlot() = savedTrust;
    }
};

using Log = std::vector<std::string>;
const Log primaryOnly = {"closeMsg:primary", "closeStore:primary"};
const Log withNestedMessage = {"closeMsg:nested", "closeMsg:primary", "closeStore:primary"};
const Log withNestedStore = {"closeStore:nested", "closeMsg:nested", "closeMsg:primary",
                             "closeStore:primary"};
const Log everything = {"freeCert", "closeStore:nested", "closeMsg:nested", "closeMsg:primary",
                        "closeStore:primary"};

TEST_F(RecordingCrypto, EveryFailingStepReleasesInOrder)
{
    const struct {
        Step step;
        bool result;
        Log releases;
    } cases[] = {
        {Step::none, true, everything},
        {Step::query, false, {}},
        {Step::primarySize, false, primaryOnly},
        {Step::primaryFetch, false, primaryOnly},
        {Step::noNestedAttribute, false, primaryOnly},
        {Step::nestedWithoutValue, false, primaryOnly},
        {Step::openToDecode, false, primaryOnly},
        {Step::update, false, withNestedMessage},
        {Step::nestedSize, false, withNestedMessage},
        {Step::nestedFetch, false, withNestedMessage},
        {Step::openStore, false, withNestedMessage},
        {Step::findCertificate, false, withNestedStore},
        {Step::decode, false, everything},
        {Step::otherKey, false, everything},
        {Step::shortKey, false, everything},
    };
    for (const auto& c : cases) {
        log.clear();
        argumentErrors.clear();
        failing = c.step;
        EXPECT_EQ(checkNestedVendorSignature(L"C:\\module.dll"), c.result) << static_cast<int>(c.step);
        EXPECT_EQ(log, c.releases) << static_cast<int>(c.step);
        EXPECT_EQ(argumentErrors, std::vector<std::string>{}) << static_cast<int>(c.step);
    }
}

std::string captureStdout(const wchar_t* path, bool& result)
{
    const char* file = "signature_release_stdout.txt";
    std::fflush(stdout);
    const int saved = _dup(1);
    const int fd = _open(file, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 1);
    result = verifyModuleSignature(path);
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(fd);
    _close(saved);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(RecordingCrypto, TrustAnswerDecidesLineAndStateIsClosed)
{
    const std::string bad =
        "File 'C:\\m.dll' is NOT correctly signed - Streamline will not load unsecured modules\n";
    const std::string missing =
        "File 'C:\\m.dll' does not have the secondary NVIDIA signature - Streamline will "
        "not load unsecured modules\n";
    const std::string good = "File 'C:\\m.dll' is signed by NVIDIA and the signature was verified.\n";
    const struct {
        LONG trust;
        DWORD secondary;
        Step nested;
        bool result;
        std::string line;
        Log calls;
    } cases[] = {
        {0,
         1,
         Step::none,
         true,
         good,
         {"verify", "freeCert", "closeStore:nested", "closeMsg:nested", "closeMsg:primary",
          "closeStore:primary", "close"}},
        {static_cast<LONG>(0x800B0100), 1, Step::none, false, bad, {"verify", "close"}},
        {0, 0, Step::none, false, missing, {"verify", "close"}},
        {0, 2, Step::none, false, missing, {"verify", "close"}},
        {0, 1, Step::query, false, bad, {"verify", "close"}},
        {0,
         1,
         Step::otherKey,
         false,
         bad,
         {"verify", "freeCert", "closeStore:nested", "closeMsg:nested", "closeMsg:primary",
          "closeStore:primary", "close"}},
    };
    for (const auto& c : cases) {
        log.clear();
        argumentErrors.clear();
        trustAnswer = c.trust;
        secondaryAnswer = c.secondary;
        failing = c.nested;
        bool result = !c.result;
        EXPECT_EQ(captureStdout(L"C:\\m.dll", result), c.line);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(log, c.calls);
        EXPECT_EQ(argumentErrors, std::vector<std::string>{});
    }
}

} // namespace
