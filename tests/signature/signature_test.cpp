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

namespace fsr2bridge::testing {
extern const std::uint8_t otherVendorPublicKey[vendorPublicKeySize];
}

namespace {

using namespace fsr2bridge;

// Runs `body` with the CRT's standard output redirected to a file; returns what was written.
template <class F> std::string captureStdout(F body)
{
    const char* file = "signature_test_stdout.txt";
    std::fflush(stdout);
    const int saved = _dup(1);
    const int fd = _open(file, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 1);
    body();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(fd);
    _close(saved);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The samples directory as a Windows path (Wine maps / to Z:).
std::wstring samplePath(const std::string& mode)
{
    std::string unix = std::string(FSR2BRIDGE_SIGNING_SAMPLES_DIR) + "/" + mode + "/signing_sample.dll";
    std::wstring path = L"Z:";
    for (char c : unix) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return path;
}

std::string narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

std::string rejected(const std::string& p)
{
    return "File '" + p + "' is NOT correctly signed - Streamline will not load unsecured modules\n";
}
std::string missing(const std::string& p)
{
    return "File '" + p +
           "' does not have the secondary NVIDIA signature - Streamline will not load unsecured modules\n";
}
std::string accepted(const std::string& p)
{
    return "File '" + p + "' is signed by NVIDIA and the signature was verified.\n";
}

struct MatrixCase {
    const char* mode;
    bool otherKeyExpected; // pass the "other" vendor key instead of the linked test key
    bool result;
    std::string (*line)(const std::string&);
    SignatureStep step;
};

class SignatureMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(SignatureMatrix, PrintsOneLineAndDecides)
{
    const MatrixCase& c = GetParam();
    const std::wstring path = samplePath(c.mode);
    const std::uint8_t* key =
        c.otherKeyExpected ? fsr2bridge::testing::otherVendorPublicKey : vendorPublicKey;
    SignatureCheck check{!c.result, SignatureStep::noPath};
    ModuleFileHold hold;
    const std::string out = captureStdout([&] { check = checkModuleSignature(path.c_str(), hold, key); });
    EXPECT_EQ(check.accepted, c.result);
    EXPECT_EQ(signatureStepName(check.failedStep), std::string(signatureStepName(c.step)));
    EXPECT_EQ(out, c.line(narrow(path)));
    // The log has the same line, and for a rejection the step that refused the module.
    std::string logged = out.substr(0, out.size() - 1);
    if (!c.result)
        logged += std::string(" (failed step: ") + signatureStepName(c.step) + ")";
    EXPECT_EQ(signatureLogText(check, narrow(path)), logged);
    EXPECT_TRUE(hold.held());
    bool plain = !c.result;
    EXPECT_EQ(captureStdout([&] { plain = verifyModuleSignature(path.c_str(), key); }), out);
    EXPECT_EQ(plain, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SignatureMatrix,
    ::testing::Values(MatrixCase{"unsigned", false, false, rejected, SignatureStep::primaryTrust},
                      MatrixCase{"nonested", false, false, missing, SignatureStep::secondaryCount},
                      MatrixCase{"twonested", false, false, missing, SignatureStep::secondaryCount},
                      MatrixCase{"otherkey", false, false, rejected, SignatureStep::vendorKey},
                      MatrixCase{"tampered", false, false, rejected, SignatureStep::primaryTrust},
                      MatrixCase{"correct", false, true, accepted, SignatureStep::none},
                      // The nested signature hashes with SHA-384: the file's digest is computed afresh.
                      MatrixCase{"mixedhash", false, true, accepted, SignatureStep::none},
                      // The vendor's genuine signature of another file.
                      MatrixCase{"grafted", false, false, rejected, SignatureStep::fileDigest},
                      // ... with this file's digest written into it.
                      MatrixCase{"redigested", false, false, rejected, SignatureStep::nestedContentDigest},
                      // A certificate with the vendor key, a signature made with another key.
                      MatrixCase{"forgedcert", false, false, rejected, SignatureStep::nestedSignature},
                      // The key is data: the same files judged against the other key.
                      MatrixCase{"correct", true, false, rejected, SignatureStep::vendorKey},
                      MatrixCase{"otherkey", true, true, accepted, SignatureStep::none},
                      MatrixCase{"forgedcert", true, false, rejected, SignatureStep::vendorKey}));

TEST(SignaturePath, PrintedExactlyAsPassed)
{
    // Mixed separators, a detour through another directory and a relative tail.
    std::wstring path = samplePath("unsigned");
    path = path.substr(0, path.size() - std::wstring(L"unsigned\\signing_sample.dll").size());
    path += L"nonested/..\\.\\correct/signing_sample.dll";
    bool result = false;
    const std::string out = captureStdout([&] { result = verifyModuleSignature(path.c_str()); });
    EXPECT_TRUE(result);
    EXPECT_EQ(out, accepted(narrow(path)));
}

TEST(SignaturePath, MissingFileAndNullPath)
{
    const std::wstring path = L"Z:\\no\\such\\dir\\sl.interposer.dll";
    bool result = true;
    std::string out = captureStdout([&] { result = verifyModuleSignature(path.c_str()); });
    EXPECT_FALSE(result);
    EXPECT_EQ(out, rejected(narrow(path)));
    out = captureStdout([&] { result = verifyModuleSignature(nullptr); });
    EXPECT_FALSE(result);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(checkNestedVendorSignature(nullptr));
    ModuleFileHold hold;
    const SignatureCheck noPath = checkModuleSignature(nullptr, hold);
    EXPECT_EQ(noPath.failedStep, SignatureStep::noPath);
    EXPECT_EQ(signatureLogText(noPath, ""), "the signature of '' could not be checked (failed step: noPath)");
    const SignatureCheck unheld = checkModuleSignature(path.c_str(), hold);
    EXPECT_EQ(unheld.failedStep, SignatureStep::fileHold);
    EXPECT_EQ(signatureLogText(unheld, narrow(path)),
              rejected(narrow(path)).substr(0, rejected(narrow(path)).size() - 1) +
                  " (failed step: fileHold)");
    EXPECT_FALSE(hold.held());
}

// A copy of a sample in its own folder, removed afterwards.
class SampleCopy : public ::testing::Test {
protected:
    std::wstring directory;
    std::wstring path;

    void SetUp() override
    {
        wchar_t base[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, base), 0u);
        directory = std::wstring(base) + L"fsr2signature_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(directory.c_str(), nullptr);
        path = directory + L"\\sl.interposer.dll";
        ASSERT_TRUE(CopyFileW(samplePath("correct").c_str(), path.c_str(), FALSE));
    }
    void TearDown() override
    {
        DeleteFileW(path.c_str());
        DeleteFileW((directory + L"\\moved.dll").c_str());
        RemoveDirectoryW(directory.c_str());
    }
};

TEST_F(SampleCopy, VerifiedFileCannotChangeUntilReleasedButLoads)
{
    ModuleFileHold hold;
    SignatureCheck check;
    captureStdout([&] { check = checkModuleSignature(path.c_str(), hold); });
    ASSERT_TRUE(check.accepted);
    const std::wstring moved = directory + L"\\moved.dll";
    const struct {
        const char* what;
        bool (*attempt)(const std::wstring& path, const std::wstring& moved);
    } changes[] = {
        {"open for writing",
         [](const std::wstring& p, const std::wstring&) {
             HANDLE f =
                 CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
             if (f == INVALID_HANDLE_VALUE)
                 return false;
             CloseHandle(f);
             return true;
         }},
        {"rename",
         [](const std::wstring& p, const std::wstring& m) {
             return MoveFileW(p.c_str(), m.c_str()) && MoveFileW(m.c_str(), p.c_str());
         }},
        {"delete", [](const std::wstring& p, const std::wstring&) { return DeleteFileW(p.c_str()) != 0; }},
    };
    for (const auto& change : changes) {
        SetLastError(0);
        EXPECT_FALSE(change.attempt(path, moved)) << change.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << change.what;
    }
    // What the loader does next works while the file is held.
    HMODULE module = LoadLibraryW(path.c_str());
    EXPECT_NE(module, nullptr);
    hold.release();
    if (module != nullptr)
        FreeLibrary(module);
    for (const auto& change : changes) {
        EXPECT_TRUE(change.attempt(path, moved)) << change.what;
    }
}

TEST_F(SampleCopy, FileOpenForWritingElsewhereIsNotVerified)
{
    // Someone writing the file (and letting others read it) keeps it from being held.
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ModuleFileHold hold;
    SignatureCheck check{true, SignatureStep::none};
    const std::string out = captureStdout([&] { check = checkModuleSignature(path.c_str(), hold); });
    CloseHandle(writer);
    EXPECT_FALSE(check.accepted);
    EXPECT_EQ(check.failedStep, SignatureStep::fileHold);
    EXPECT_EQ(out, rejected(narrow(path)));
    EXPECT_FALSE(hold.held());
}

TEST(SignatureHash, KnownDigests)
{
    const struct {
        const char* oid;
        const char* input;
        const char* hex;
    } cases[] = {
        {"1.3.14.3.2.26", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"2.16.840.1.101.3.4.2.1", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"2.16.840.1.101.3.4.2.1", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"2.16.840.1.101.3.4.2.2", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {"2.16.840.1.101.3.4.2.3", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
         "454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.oid) + " '" + c.input + "'");
        const DigestAlgorithm* algorithm = digestAlgorithmByOid(c.oid);
        ASSERT_NE(algorithm, nullptr);
        std::uint8_t digest[maxDigestSize] = {};
        ASSERT_TRUE(hashBytes(*algorithm, reinterpret_cast<const std::uint8_t*>(c.input),
                              std::strlen(c.input), digest));
        std::string hex;
        for (std::size_t i = 0; i < algorithm->digestSize; ++i) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", digest[i]);
            hex += two;
        }
        EXPECT_EQ(hex, c.hex);
    }
}

TEST(SignatureDecision, TrustResultAndSecondaryCount)
{
    struct Case {
        long trust;
        std::uint32_t secondary;
        SignatureVerdict verdict;
    } cases[] = {
        {0, 1, SignatureVerdict::accepted},
        {0, 0, SignatureVerdict::missingSecondary},
        {0, 2, SignatureVerdict::missingSecondary},
        {0, 0xFFFFFFFFu, SignatureVerdict::missingSecondary},
        {static_cast<long>(0x800B0100), 1, SignatureVerdict::rejected}, // TRUST_E_NOSIGNATURE
        {static_cast<long>(0x80096010), 1, SignatureVerdict::rejected}, // TRUST_E_BAD_DIGEST
        {1, 0, SignatureVerdict::rejected},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trustVerdict(c.trust, c.secondary), c.verdict) << c.trust << " " << c.secondary;
    }
}

TEST(SignatureDecision, KeyBlobComparison)
{
    std::vector<std::uint8_t> same(vendorPublicKey, vendorPublicKey + vendorPublicKeySize);
    std::vector<std::uint8_t> lastByte = same;
    lastByte.back() ^= 1;
    std::vector<std::uint8_t> longer = same;
    longer.push_back(0);
    struct Case {
        const std::uint8_t* decoded;
        std::size_t decodedSize;
        const std::uint8_t* expected;
        std::size_t expectedSize;
        bool match;
    } cases[] = {
        {same.data(), same.size(), vendorPublicKey, vendorPublicKeySize, true},
        {lastByte.data(), lastByte.size(), vendorPublicKey, vendorPublicKeySize, false},
        {longer.data(), longer.size(), vendorPublicKey, vendorPublicKeySize, false},
        {same.data(), 410, vendorPublicKey, 410, false}, // a shorter key is never the vendor key
        {longer.data(), longer.size(), longer.data(), longer.size(), false},
        {nullptr, 0, vendorPublicKey, vendorPublicKeySize, false},
        {same.data(), same.size(), nullptr, vendorPublicKeySize, false},
        {same.data(), same.size(), fsr2bridge::testing::otherVendorPublicKey, vendorPublicKeySize, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(keyBlobMatches(c.decoded, c.decodedSize, c.expected, c.expectedSize), c.match) << i;
    }
}

} // namespace
