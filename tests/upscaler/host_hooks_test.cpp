#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "tests/upscaler/upscaler_world.h"
#include "upscaler/host_hooks.h"
#include "upscaler/host_installation.h"
#include "upscaler/host_layout.h"

using namespace fsr2bridge;
using namespace upscalertest;
namespace layout = fsr2bridge::hostlayout;

namespace {

// The host memory the camera hook walks, laid out at the hook's offsets from the fake image base.
class FakeHost {
public:
    FakeHost()
    {
        base_ = fakeImageBase();
        for (std::uintptr_t offset : {layout::worldObject1, layout::worldObject2, layout::gameObject}) {
            VirtualAlloc(base_ + offset, 8, MEM_COMMIT, PAGE_READWRITE);
        }
        put(base_ + layout::worldObject1, world1_.data());
        put(base_ + layout::worldObject2, world2_.data());
        put(base_ + layout::gameObject, game_.data());
        put(world1_.data() + layout::handleStorageOfWorld1, handleStorage_.data());
        put(world2_.data() + layout::basisStorageOfWorld2, basisStorage_.data());
        put(world2_.data() + layout::frustumStorageOfWorld2, frustumStorage_.data());
        wire(handleStorage_, handleIndices_, handleRecords_);
        wire(basisStorage_, cameraIndices_, basisRecords_);
        wire(frustumStorage_, cameraIndices_, frustumRecords_);
    }

    // Makes the argument select view slot `slot` whose view handle (with junk in the top byte) leads to
    // camera record `dense`.
    void selectCamera(std::uint32_t slot, std::uint32_t dense)
    {
        const std::uint32_t viewHandle = 7, handleDense = 2, cameraHandle = 11;
        std::memcpy(argument_.data() + layout::viewIndexOfArgument, &slot, 4);
        put(argument_.data() + layout::viewTableOfArgument + 8 * slot, view_.data());
        const std::uint32_t taggedViewHandle = 0xAB000000u | viewHandle;
        std::memcpy(view_.data() + layout::handleOfView, &taggedViewHandle, 4);
        handleIndices_[viewHandle] = handleDense;
        const std::uint32_t taggedCameraHandle = 0xCD000000u | cameraHandle;
        std::memcpy(handleRecords_.data() + handleDense * layout::handleRecordSize + layout::handleInRecord,
                    &taggedCameraHandle, 4);
        cameraIndices_[cameraHandle] = dense;
    }

    void setCamera(std::uint32_t dense, float seed)
    {
        for (std::size_t i = 0; i < layout::basisRecordSize / 4; ++i) {
            const float value = seed + static_cast<float>(i);
            std::memcpy(basisRecords_.data() + dense * layout::basisRecordSize + 4 * i, &value, 4);
        }
        for (std::size_t i = 0; i < 6; ++i) {
            const float value = -seed - static_cast<float>(i);
            std::memcpy(frustumRecords_.data() + dense * layout::frustumRecordSize + 4 * i, &value, 4);
        }
    }

    void setStateByte(std::uint8_t value) { game_[layout::frameGenerationStateByte] = value; }
    void* argument() { return argument_.data(); }
    const unsigned char* basisRecord(std::uint32_t dense) const
    {
        return basisRecords_.data() + dense * layout::basisRecordSize;
    }
    const unsigned char* frustumRecord(std::uint32_t dense) const
    {
        return frustumRecords_.data() + dense * layout::frustumRecordSize;
    }

private:
    static void put(unsigned char* at, const void* pointer) { std::memcpy(at, &pointer, sizeof pointer); }
    static void wire(std::vector<unsigned char>& storage, std::vector<std::uint32_t>& indices,
                     std::vector<unsigned char>& dense)
    {
        put(storage.data() + layout::storageIndexArray, indices.data());
        put(storage.data() + layout::storageDenseArray, dense.data());
    }

    unsigned char* base_;
    std::vector<unsigned char> world1_ = std::vector<unsigned char>(512);
    std::vector<unsigned char> world2_ = std::vector<unsigned char>(512);
    std::vector<unsigned char> game_ = std::vector<unsigned char>(2048);
    std::vector<unsigned char> handleStorage_ = std::vector<unsigned char>(1024);
    std::vector<unsigned char> basisStorage_ = std::vector<unsigned char>(1024);
    std::vector<unsigned char> frustumStorage_ = std::vector<unsigned char>(1024);
    std::vector<std::uint32_t> handleIndices_ = std::vector<std::uint32_t>(16);
    std::vector<std::uint32_t> cameraIndices_ = std::vector<std::uint32_t>(16);
    std::vector<unsigned char> handleRecords_ = std::vector<unsigned char>(24 * 4);
    std::vector<unsigned char> basisRecords_ = std::vector<unsigned char>(160 * 4);
    std::vector<unsigned char> frustumRecords_ = std::vector<unsigned char>(24 * 4);
    std::vector<unsigned char> argument_ = std::vector<unsigned char>(512);
    std::vector<unsigned char> view_ = std::vector<unsigned char>(64);
};

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
