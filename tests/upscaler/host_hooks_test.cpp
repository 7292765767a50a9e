#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "tests/upscaler/fake_host.h"
#include "tests/upscaler/upscaler_world.h"
#include "upscaler/host_hooks.h"
#include "upscaler/host_installation.h"
#include "upscaler/host_layout.h"

using namespace fsr2bridge;
using namespace upscalertest;

namespace {

struct HostCall {
    void* a0;
    void* a1;
    void* a2;
};
std::vector<HostCall> hostCalls;

std::uint64_t fakeHostFunction(void* a0, void* a1, void* a2)
{
    hostCalls.push_back({a0, a1, a2});
    return 0x1122334455667788ull;
}

class HostHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        useSettings(testSettings(false, false));
        *hostCameraTrampolineSlot() = reinterpret_cast<void*>(&fakeHostFunction);
        hostCalls.clear();
        takeFrameGenerationRequest();
    }
    void TearDown() override { *hostCameraTrampolineSlot() = nullptr; }
};

} // namespace

TEST_F(HostHooks, CameraHookCopiesTheSelectedCameraAndCallsTheHost)
{
    FakeHost host;
    host.setStateByte(1);
    host.setCamera(3, 100);
    host.selectCamera(5, 3);
    int marker0 = 0, marker2 = 0;
    EXPECT_EQ(hostCameraHook(&marker0, host.argument(), &marker2), 0x1122334455667788ull);
    ASSERT_EQ(hostCalls.size(), 1u);
    EXPECT_EQ(hostCalls[0].a0, &marker0);
    EXPECT_EQ(hostCalls[0].a1, host.argument());
    EXPECT_EQ(hostCalls[0].a2, &marker2);
    EXPECT_EQ(std::memcmp(hostCameraState().cameraBasisBlock, host.basisRecord(3), 160), 0);
    EXPECT_EQ(std::memcmp(hostCameraState().frustumExtents, host.frustumRecord(3), 24), 0);
    EXPECT_TRUE(hostCameraState().filled);
}

TEST_F(HostHooks, TwoCallsBeforeAPresentKeepTheSecond)
{
    FakeHost host;
    host.setStateByte(1);
    host.setCamera(0, 10);
    host.setCamera(1, 20);
    host.selectCamera(0, 0);
    hostCameraHook(nullptr, host.argument(), nullptr);
    host.selectCamera(2, 1);
    hostCameraHook(nullptr, host.argument(), nullptr);
    EXPECT_EQ(std::memcmp(hostCameraState().cameraBasisBlock, host.basisRecord(1), 160), 0);
    EXPECT_EQ(hostCameraState().frustumExtents[0], -20.0f);
    EXPECT_EQ(hostCalls.size(), 2u);
}

TEST_F(HostHooks, StateByteRaisesTheFrameGenerationRequest)
{
    struct Case {
        std::uint8_t stateByte;
        bool requested;
    };
    FakeHost host;
    host.setCamera(0, 1);
    host.selectCamera(0, 0);
    for (const Case& c : {Case{0, true}, Case{1, false}, Case{0xFF, false}}) {
        host.setStateByte(c.stateByte);
        hostCameraHook(nullptr, host.argument(), nullptr);
        EXPECT_EQ(takeFrameGenerationRequest(), c.requested) << int{c.stateByte};
        EXPECT_FALSE(takeFrameGenerationRequest()) << "taking clears the request";
    }
    // A later call with a non-zero byte does not withdraw an earlier request.
    host.setStateByte(0);
    hostCameraHook(nullptr, host.argument(), nullptr);
    host.setStateByte(1);
    hostCameraHook(nullptr, host.argument(), nullptr);
    EXPECT_TRUE(takeFrameGenerationRequest());
}

TEST(HostCamera, PublishedWholeAndBackToLoadTimeValues)
{
    unsigned char basis[160];
    for (std::size_t i = 0; i < sizeof basis; ++i) {
        basis[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    const float frustum[6] = {-1, 2, 3, -4, 0.5f, 600};
    ASSERT_TRUE(publishHostCamera(basis, frustum));
    HostCameraState read{};
    ASSERT_TRUE(readHostCamera(read));
    EXPECT_TRUE(read.filled);
    EXPECT_EQ(std::memcmp(read.cameraBasisBlock, basis, sizeof basis), 0);
    EXPECT_EQ(std::memcmp(read.frustumExtents, frustum, sizeof frustum), 0);

    resetHostCamera();
    const HostCameraState initial = hostCameraState();
    EXPECT_FALSE(initial.filled);
    for (std::size_t offset = 0; offset < 160; offset += 4) {
        std::uint32_t bits;
        std::memcpy(&bits, initial.cameraBasisBlock + offset, 4);
        EXPECT_EQ(bits, offset == 12 ? 0u : 0x7F7FFFFFu) << "offset " << offset;
    }
    for (float value : initial.frustumExtents) {
        EXPECT_EQ(value, 0.0f);
    }
}

namespace {

struct ViewCall {
    const D3D12_SHADER_RESOURCE_VIEW_DESC* description;
    DXGI_FORMAT formatSeen;
    SIZE_T destination;
};
std::vector<ViewCall> viewCalls;

void STDMETHODCALLTYPE fakeCreateView(ID3D12Device*, ID3D12Resource*,
                                      const D3D12_SHADER_RESOURCE_VIEW_DESC* d,
                                      D3D12_CPU_DESCRIPTOR_HANDLE destination)
{
    viewCalls.push_back({d, d ? d->Format : DXGI_FORMAT_UNKNOWN, destination.ptr});
}

} // namespace

TEST(ShaderResourceViewHook, RewritesR8TypelessOnlyWhileActive)
{
    struct Case {
        bool active;
        bool withDescription;
        DXGI_FORMAT format;
        DXGI_FORMAT expected;
    };
    const Case cases[] = {
        {false, true, DXGI_FORMAT_R8_TYPELESS, DXGI_FORMAT_R8_TYPELESS},
        {true, true, DXGI_FORMAT_R8_TYPELESS, DXGI_FORMAT_R8_UNORM},
        {true, true, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM},
        {true, true, DXGI_FORMAT_R16_TYPELESS, DXGI_FORMAT_R16_TYPELESS},
        {true, false, DXGI_FORMAT_UNKNOWN, DXGI_FORMAT_UNKNOWN},
        {false, false, DXGI_FORMAT_UNKNOWN, DXGI_FORMAT_UNKNOWN},
    };
    void* saved = *createShaderResourceViewTrampolineSlot();
    *createShaderResourceViewTrampolineSlot() = reinterpret_cast<void*>(&fakeCreateView);
    for (const Case& c : cases) {
        viewCalls.clear();
        D3D12_SHADER_RESOURCE_VIEW_DESC desc{};
        desc.Format = c.format;
        setR8TypelessRewriteActive(c.active);
        createShaderResourceViewHook(nullptr, nullptr, c.withDescription ? &desc : nullptr,
                                     D3D12_CPU_DESCRIPTOR_HANDLE{1234});
        ASSERT_EQ(viewCalls.size(), 1u);
        EXPECT_EQ(viewCalls[0].description, c.withDescription ? &desc : nullptr);
        EXPECT_EQ(viewCalls[0].formatSeen, c.expected);
        EXPECT_EQ(viewCalls[0].destination, 1234u);
        if (c.withDescription) {
            EXPECT_EQ(desc.Format, c.expected) << "the caller's record keeps the rewrite";
        }
    }
    setR8TypelessRewriteActive(false);
    *createShaderResourceViewTrampolineSlot() = saved;
}

// ---- the host layout check before the camera hook ----

namespace {

struct FakeImage {
    alignas(8) std::uint8_t bytes[4096] = {};

    FakeImage(std::uint32_t sizeOfImage, std::vector<IMAGE_SECTION_HEADER> sections, LONG ntAt = 0x80)
    {
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes);
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = ntAt;
        if (ntAt < 0 || ntAt > 4096 - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
            return;
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(bytes + ntAt);
        nt->Signature = IMAGE_NT_SIGNATURE;
        nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        nt->OptionalHeader.SizeOfImage = sizeOfImage;
        nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        nt->FileHeader.NumberOfSections = static_cast<WORD>(sections.size());
        auto* table = reinterpret_cast<IMAGE_SECTION_HEADER*>(nt + 1);
        for (std::size_t i = 0;
             i < sections.size() &&
             (table + i + 1) <= reinterpret_cast<IMAGE_SECTION_HEADER*>(bytes + sizeof(bytes));
             ++i)
            table[i] = sections[i];
    }
};

IMAGE_SECTION_HEADER section(std::uint32_t begin, std::uint32_t size, DWORD characteristics)
{
    IMAGE_SECTION_HEADER s{};
    s.VirtualAddress = begin;
    s.Misc.VirtualSize = size;
    s.Characteristics = characteristics;
    return s;
}

} // namespace

TEST(HostLayout, CameraFunctionMustLieInCodeAndEveryFixedReadInsideTheImage)
{
    constexpr DWORD code = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
    constexpr DWORD data = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE;
    const std::uint32_t fullSize = 0x6000000;
    const auto cameraFunction = static_cast<std::uint32_t>(layout::cameraFunction);
    struct Case {
        const char* name;
        FakeImage image;
        bool fits;
    };
    const Case cases[] = {
        {"the game's layout",
         FakeImage(fullSize, {section(0x1000, 0x4000000, code), section(0x4001000, 0x1F00000, data)}), true},
        {"image ends before the last fixed read", FakeImage(0x5905AEC, {section(0x1000, 0x4000000, code)}),
         false},
        {"image ends just after the last fixed read",
         FakeImage(0x5905AED, {section(0x1000, 0x4000000, code)}), true},
        {"camera function in a data section",
         FakeImage(fullSize, {section(0x1000, 0x1000000, code), section(0x3000000, 0x1000000, data)}), false},
        {"camera function in no section", FakeImage(fullSize, {section(0x1000, 0x1000000, code)}), false},
        {"camera function at the first byte past a code section",
         FakeImage(fullSize, {section(0x1000, cameraFunction - 0x1000, code)}), false},
        {"headers placed outside the first page", FakeImage(fullSize, {}, 0x2000), false},
        {"negative header offset", FakeImage(fullSize, {}, -4), false},
        {"small program", FakeImage(0x20000, {section(0x1000, 0x10000, code)}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hostLayoutFits(c.image.bytes), c.fits);
    }
    EXPECT_FALSE(hostLayoutFits(nullptr));
    EXPECT_FALSE(hostLayoutFits(reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr))))
        << "this test program is not the game";
}
