#include "streamline/signature.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
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
};

class SignatureMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(SignatureMatrix, PrintsOneLineAndDecides)
{
    const MatrixCase& c = GetParam();
    const std::wstring path = samplePath(c.mode);
    const std::uint8_t* key =
        c.otherKeyExpected ? fsr2bridge::testing::otherVendorPublicKey : vendorPublicKey;
    bool result = !c.result;
    const std::string out = captureStdout([&] { result = verifyModuleSignature(path.c_str(), key); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.line(narrow(path)));
}

INSTANTIATE_TEST_SUITE_P(Samples, SignatureMatrix,
                         ::testing::Values(MatrixCase{"unsigned", false, false, rejected},
                                           MatrixCase{"nonested", false, false, missing},
                                           MatrixCase{"twonested", false, false, missing},
                                           MatrixCase{"otherkey", false, false, rejected},
                                           MatrixCase{"tampered", false, false, rejected},
                                           MatrixCase{"correct", false, true, accepted},
                                           // The key is data: the same files judged against the other key.
                                           MatrixCase{"correct", true, false, rejected},
                                           MatrixCase{"otherkey", true, true, accepted}));

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
