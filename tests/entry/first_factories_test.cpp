// The first factories of a process through the real creation hooks, the real loader and the signed stand-in
// Streamline, each run in a fresh child process (the load happens once per process): two threads creating
// their first factories at the same moment, a Streamline that creates a factory inside slInit, and a
// Streamline that lacks a core entry point.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "entry/creation_hooks.h"
#include "streamline/streamline_api.h"
#include "testbed/streamline/journal.h"
#include "tests/streamline/standin_world.h"
#include "tests/support/d3d12_objects.h"

namespace {

using namespace fsr2bridge::testing;
using testsupport::ComPtr;

// ---- the child ----

// 'w': wrapped by this program's factory proxy, 'p': the system factory passed through, 'f': failed.
char classify(HRESULT hr, IUnknown* factory)
{
    if (FAILED(hr) || factory == nullptr)
        return 'f';
    HMODULE owner = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       *reinterpret_cast<LPCWSTR*>(factory), &owner);
    return owner == GetModuleHandleW(nullptr) ? 'w' : 'p';
}

char createFactory(ComPtr<IDXGIFactory4>& factory)
{
    const HRESULT hr = CreateDXGIFactory2(0, IID_PPV_ARGS(&factory));
    return classify(hr, factory.Get());
}

// Prints "factories=<one letter per factory> waiters=<n> upgrade=<0|1> swapchain=<hr>".
int runChild(const char* mode)
{
    // DXGI's own first start-up (slow, and serialised) happens before the hooks, so that the racing threads
    // reach the hook close together.
    ComPtr<IDXGIFactory4> warmUp;
    CreateDXGIFactory2(0, IID_PPV_ARGS(&warmUp));
    warmUp.Reset();
    if (!fsr2bridge::installCreationHooks())
        return 3;
    std::string letters;
    HRESULT swapChainResult = S_OK;
    if (std::strcmp(mode, "race") == 0) {
        ComPtr<IDXGIFactory4> first, second;
        char a = '?', b = '?';
        volatile LONG ready = 0;
        const auto create = [&](ComPtr<IDXGIFactory4>& f, char& letter) {
            InterlockedIncrement(&ready);
            while (ready < 2) {
            }
            letter = createFactory(f);
        };
        std::thread one(create, std::ref(first), std::ref(a));
        std::thread two(create, std::ref(second), std::ref(b));
        one.join();
        two.join();
        letters = {a, b};
    } else {
        ComPtr<IDXGIFactory4> first, second;
        letters += createFactory(first);
        letters += createFactory(second);
        if (std::strcmp(mode, "nocore") == 0 && second) {
            // A swap chain of a later factory: the game's own, untouched.
            ComPtr<ID3D12Device> device;
            D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device));
            ComPtr<ID3D12CommandQueue> queue = device ? testsupport::createQueue(device.Get()) : nullptr;
            const DXGI_SWAP_CHAIN_DESC1 desc = testsupport::flipSwapChainDesc(64, 64);
            ComPtr<IDXGISwapChain1> swapChain;
            swapChainResult = queue ? second->CreateSwapChainForHwnd(
                                          queue.Get(), testsupport::createWindow(L"first factories"), &desc,
                                          nullptr, nullptr, &swapChain)
                                    : E_FAIL;
        }
    }
    std::printf("factories=%s waiters=%u upgrade=%d swapchain=0x%08lX\n", letters.c_str(),
                fsr2bridge::streamlineLoadWaiters(),
                fsr2bridge::streamlineApi.slUpgradeInterface != nullptr ? 1 : 0,
                static_cast<unsigned long>(swapChainResult));
    std::fflush(stdout);
    return 0;
}

// ---- the parent ----

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string line;
    std::vector<fsr2bridge::standin::JournalEntry> journal;

    std::string value(const std::string& key) const
    {
        const std::size_t at = line.find(key + "=");
        if (at == std::string::npos)
            return "";
        const std::size_t begin = at + key.size() + 1;
        return line.substr(begin, line.find_first_of(" \r\n", begin) - begin);
    }
    std::size_t succeeded(const std::string& entry) const
    {
        std::size_t n = 0;
        for (const auto& e : fsr2bridge::standin::entriesNamed(journal, entry))
            n += e.integer("result") == 0 ? 1 : 0;
        return n;
    }
    std::size_t count(const std::string& entry, const std::string& key, const std::string& value) const
    {
        std::size_t n = 0;
        for (const auto& e : fsr2bridge::standin::entriesNamed(journal, entry))
            n += e.text(key) == value ? 1 : 0;
        return n;
    }
};

// Runs this program as `--child <mode>` in a fresh folder holding the stand-in build `standin`.
ChildRun runChild(const std::wstring& folder, const char* mode, const char* standin)
{
    ChildRun run;
    const std::wstring dir = freshDirectory(L"first_factories\\" + folder);
    if (!placeInterposer(dir, standinFile(standin)))
        return run;
    const std::wstring journal = dir + L"\\journal.txt";
    SetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", journal.c_str());
    const std::wstring output = dir + L"\\stdout.txt";
    run.exitCode = runThisProgram(L"--child " + std::wstring(mode, mode + std::strlen(mode)), dir, output);
    std::ifstream in(std::filesystem::path(output), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("factories=", 0) == 0)
            run.line = line;
    }
    run.journal = fsr2bridge::standin::readJournal(narrow(journal));
    SetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", nullptr);
    return run;
}

// Two threads create the process's first factories at once: whichever starts the load, the other waits for
// it, and both factories come back wrapped. The race is real only when one of them found the load running,
// so the runs must show that too: the load takes as long as a real Streamline's start (plugins loaded in
// slInit), so that on a busy machine the second thread still finds it running.
TEST(FirstFactories, TwoAtOnceAreBothWrapped)
{
    constexpr int runs = 10;
    unsigned waited = 0;
    SetEnvironmentVariableW(L"SL_STANDIN_INIT_SLEEP_MS", L"200");
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE(i);
        const ChildRun run = runChild(L"race_" + std::to_wstring(i), "race", "signed/sl.interposer.dll");
        ASSERT_EQ(run.exitCode, 0u) << run.line;
        EXPECT_EQ(run.value("factories"), "ww") << run.line;
        EXPECT_EQ(run.count("slUpgradeInterface", "kind", "factory"), 2u);
        EXPECT_EQ(fsr2bridge::standin::entriesNamed(run.journal, "slInit").size(), 1u) << "one load";
        waited += std::stoul("0" + run.value("waiters"));
    }
    SetEnvironmentVariableW(L"SL_STANDIN_INIT_SLEEP_MS", nullptr);
    std::printf("first factories: %d runs, %u creations waited for the load on the other thread\n", runs,
                waited);
    EXPECT_GT(waited, 0u) << "no run raced: the test proved nothing";
}

struct LoadCase {
    const char* name;
    const char* standin;
    const wchar_t* initCreatesFactory; // SL_STANDIN_INIT_CREATES_FACTORY, or null
    const char* factories;             // the first and a later factory
    int upgrade;                       // slUpgradeInterface kept after the load
    std::size_t upgrades;              // factories upgraded by Streamline
    std::size_t nestedCreations;       // factories Streamline made inside slInit
    const char* swapChain;             // a later factory's swap chain ("" when none is made)
};

class FirstFactoryLoads : public testing::TestWithParam<LoadCase> {};

TEST_P(FirstFactoryLoads, EndAsTheLoadDecided)
{
    const LoadCase& c = GetParam();
    SetEnvironmentVariableW(L"SL_STANDIN_INIT_CREATES_FACTORY", c.initCreatesFactory);
    const ChildRun run = runChild(std::wstring(c.name, c.name + std::strlen(c.name)),
                                  c.swapChain[0] != '\0' ? "nocore" : "sequence", c.standin);
    SetEnvironmentVariableW(L"SL_STANDIN_INIT_CREATES_FACTORY", nullptr);
    ASSERT_EQ(run.exitCode, 0u) << run.line;
    EXPECT_EQ(run.value("factories"), c.factories) << run.line;
    EXPECT_EQ(run.value("waiters"), "0") << "the loading thread never waits on itself";
    EXPECT_EQ(run.value("upgrade"), std::to_string(c.upgrade));
    EXPECT_EQ(run.count("slUpgradeInterface", "kind", "factory"), c.upgrades);
    EXPECT_EQ(run.succeeded("slInit.CreateDXGIFactory2"), c.nestedCreations);
    if (c.swapChain[0] != '\0') {
        EXPECT_EQ(run.value("swapchain"), c.swapChain);
    }
}

const LoadCase loadCases[] = {
    {"plain", "signed/sl.interposer.dll", nullptr, "ww", 1, 2, 0, ""},
    // Streamline's own factory passes through; the game's are wrapped.
    {"factory_inside_slinit", "signed/sl.interposer.dll", L"1", "ww", 1, 2, 1, ""},
    // A half-fetched Streamline is no Streamline: the first factory fails, later ones are the system's.
    {"no_core_entry_point", "signed/nocore/sl.interposer.dll", nullptr, "fp", 0, 0, 0, "0x00000000"},
};
INSTANTIATE_TEST_SUITE_P(Entry, FirstFactoryLoads, testing::ValuesIn(loadCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
