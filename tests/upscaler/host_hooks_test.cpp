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

// ---- the host-build guard before the camera hook ----

namespace {

// A PE image in reserved memory with only the pages the guard may read committed (headers, function table,
// the byte before the camera function): a read anywhere else faults, so the cases also show what the guard
// leaves alone.
class SyntheticImage {
public:
    static constexpr std::uint32_t reserved = 0x6000000;
    static constexpr DWORD code = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
    static constexpr DWORD data = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE;
    static constexpr DWORD readOnly = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
    static constexpr auto function = static_cast<std::uint32_t>(layout::cameraFunction);

    explicit SyntheticImage(LONG ntAt = 0x80)
    {
        base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, reserved, MEM_RESERVE, PAGE_READWRITE));
        commit(0, 0x1000);
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base_);
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = ntAt;
        if (ntAt < 0 || ntAt > 0x1000 - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
            return;
        nt_ = reinterpret_cast<IMAGE_NT_HEADERS64*>(base_ + ntAt);
        nt_->Signature = IMAGE_NT_SIGNATURE;
        nt_->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        nt_->OptionalHeader.SizeOfImage = reserved;
        nt_->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
        nt_->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
    }
    ~SyntheticImage() { VirtualFree(base_, 0, MEM_RELEASE); }
    SyntheticImage(const SyntheticImage&) = delete;
    SyntheticImage& operator=(const SyntheticImage&) = delete;

    const std::uint8_t* bytes() const { return base_; }

    SyntheticImage& size(std::uint32_t sizeOfImage)
    {
        nt_->OptionalHeader.SizeOfImage = sizeOfImage;
        return *this;
    }
    SyntheticImage& section(std::uint32_t begin, std::uint32_t size, DWORD characteristics)
    {
        auto* table = reinterpret_cast<IMAGE_SECTION_HEADER*>(nt_ + 1);
        IMAGE_SECTION_HEADER& s = table[nt_->FileHeader.NumberOfSections++];
        s.VirtualAddress = begin;
        s.Misc.VirtualSize = size;
        s.Characteristics = characteristics;
        return *this;
    }
    // The function table at `at`, one entry per [begin, end).
    SyntheticImage& functions(std::uint32_t at, std::vector<std::pair<std::uint32_t, std::uint32_t>> entries)
    {
        const auto bytes = static_cast<std::uint32_t>(entries.size() * sizeof(IMAGE_RUNTIME_FUNCTION_ENTRY));
        IMAGE_DATA_DIRECTORY& d = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
        d.VirtualAddress = at;
        d.Size = bytes;
        commit(at, bytes);
        auto* table = reinterpret_cast<IMAGE_RUNTIME_FUNCTION_ENTRY*>(base_ + at);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            table[i].BeginAddress = entries[i].first;
            table[i].EndAddress = entries[i].second;
            table[i].UnwindData = at; // not read
        }
        return *this;
    }
    // Only the directory: its entries are never committed.
    SyntheticImage& tableDirectory(std::uint32_t at, std::uint32_t size)
    {
        nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION] = {at, size};
        return *this;
    }
    // The function's first bytes as the known build has them.
    SyntheticImage& knownStart()
    {
        commit(function, sizeof layout::cameraFunctionStart);
        std::memcpy(base_ + function, layout::cameraFunctionStart, sizeof layout::cameraFunctionStart);
        return *this;
    }
    // The byte before the function, and the known first bytes.
    SyntheticImage& byteBefore(std::uint8_t value)
    {
        commit(function - 1, 1);
        base_[function - 1] = value;
        return knownStart();
    }
    // Another function's first bytes: push rbx; sub rsp, 20h; ...
    SyntheticImage& otherCode()
    {
        const std::uint8_t other[] = {0x40, 0x53, 0x48, 0x83, 0xEC, 0x20};
        std::memcpy(base_ + function, other, sizeof other);
        return *this;
    }

    // The game's sections: code, data with the object pointers, read-only data for the function table.
    SyntheticImage& gameSections()
    {
        return section(0x1000, 0x4000000, code)
            .section(0x4001000, 0x1F00000, data)
            .section(0x5F01000, 0x10000, readOnly);
    }
    // The game's build: its sections, a function table with an entry at the function, int3 padding before.
    SyntheticImage& gameLayout()
    {
        return gameSections()
            .functions(0x5F01000, {{0x1000, 0x1100},
                                   {function, function + layout::cameraFunctionLength},
                                   {0x3400000, 0x3400100}})
            .byteBefore(0xCC);
    }

private:
    void commit(std::uint32_t at, std::uint32_t size)
    {
        VirtualAlloc(base_ + at, size, MEM_COMMIT, PAGE_READWRITE);
    }

    std::uint8_t* base_ = nullptr;
    IMAGE_NT_HEADERS64* nt_ = nullptr;
};

constexpr std::uint32_t f = SyntheticImage::function;
constexpr DWORD code = SyntheticImage::code;
constexpr DWORD data = SyntheticImage::data;
constexpr DWORD readOnly = SyntheticImage::readOnly;

} // namespace

TEST(HostLayout, TheFunctionTableAndSectionsDecideTheCameraHook)
{
    using Image = SyntheticImage;
    struct Case {
        const char* name;
        void (*build)(Image&);
        LONG ntAt;
        CameraTarget expected;
        std::uint32_t entryBegin;
    };
    const Case cases[] = {
        {"the game's build: an entry begins at the function", [](Image& i) { i.gameLayout(); }, 0x80,
         CameraTarget::functionStart, 0},
        {"another build: a longer function begins there",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{f, f + 0x40}}).byteBefore(0xCC);
         },
         0x80, CameraTarget::otherLength, 0},
        {"another build: a function of the same length with other code begins there",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{f, f + layout::cameraFunctionLength}}).byteBefore(0xCC);
             i.otherCode();
         },
         0x80, CameraTarget::otherCode, 0},
        {"another build: no entry covers it, padding before, other code",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{0x1000, 0x1100}}).byteBefore(0xCC).otherCode();
         },
         0x80, CameraTarget::otherCode, 0},
        {"another build: the entry around it begins 8 bytes earlier",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{0x1000, 0x1100}, {f - 8, f + 0x38}}).byteBefore(0xCC);
         },
         0x80, CameraTarget::insideFunction, f - 8},
        {"another build: a function far before reaches over it",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{f - 0x10000, f + 1}}).byteBefore(0xCC);
         },
         0x80, CameraTarget::insideFunction, f - 0x10000},
        {"no entry covers it, int3 padding before",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{0x1000, 0x1100}}).byteBefore(0xCC);
         },
         0x80, CameraTarget::paddedStart, 0},
        {"no entry covers it, nop padding before",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{0x1000, 0x1100}}).byteBefore(0x90);
         },
         0x80, CameraTarget::paddedStart, 0},
        {"the function before ends right there with a return",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{f - 0x20, f}}).byteBefore(0xC3);
         },
         0x80, CameraTarget::paddedStart, 0},
        {"no entry covers it, ordinary code before",
         [](Image& i) {
             i.gameSections().functions(0x5F01000, {{0x1000, 0x1100}}).byteBefore(0x48);
         },
         0x80, CameraTarget::noStart, 0},
        {"no function table at all, padding before", [](Image& i) { i.gameSections().byteBefore(0xCC); },
         0x80, CameraTarget::paddedStart, 0},
        {"a function table outside every section is not read",
         [](Image& i) { i.gameSections().tableDirectory(0x5F20000, 0x3000).byteBefore(0x90); }, 0x80,
         CameraTarget::paddedStart, 0},
        {"a function table past the image's end is not read",
         [](Image& i) {
             i.gameSections().tableDirectory(0x5F0E000, 0x1000).size(0x5F0E800).byteBefore(0x90);
         },
         0x80, CameraTarget::paddedStart, 0},
        {"it begins its code section",
         [](Image& i) {
             i.section(0x1000, f - 0x1000, readOnly)
                 .section(f, 0x1000, code)
                 .section(0x4001000, 0x1F00000, data)
                 .knownStart();
         },
         0x80, CameraTarget::sectionStart, 0},
        {"an object pointer in code", [](Image& i) { i.section(0x1000, 0x5F00000, code).byteBefore(0xCC); },
         0x80, CameraTarget::dataNotWritable, 0},
        {"an object pointer in read-only data",
         [](Image& i) {
             i.section(0x1000, 0x4000000, code).section(0x4001000, 0x1F00000, readOnly).byteBefore(0xCC);
         },
         0x80, CameraTarget::dataNotWritable, 0},
        {"an object pointer in no section",
         [](Image& i) {
             i.section(0x1000, 0x4000000, code).section(0x4001000, 0x1000000, data).byteBefore(0xCC);
         },
         0x80, CameraTarget::dataNotWritable, 0},
        {"image ends before the last fixed read", [](Image& i) { i.gameLayout().size(0x5905AEC); }, 0x80,
         CameraTarget::imageTooSmall, 0},
        {"image ends just after the last fixed read",
         [](Image& i) {
             i.section(0x1000, 0x4000000, code)
                 .section(0x4001000, 0x1904AEC, data)
                 .size(0x5905AED)
                 .byteBefore(0xCC);
         },
         0x80, CameraTarget::paddedStart, 0},
        {"camera function in a data section",
         [](Image& i) { i.section(0x1000, 0x1000000, code).section(0x3000000, 0x2F00000, data); }, 0x80,
         CameraTarget::notInCode, 0},
        {"camera function in no section",
         [](Image& i) { i.section(0x1000, 0x1000000, code).section(0x4001000, 0x1F00000, data); }, 0x80,
         CameraTarget::notInCode, 0},
        {"camera function at the first byte past a code section",
         [](Image& i) { i.section(0x1000, f - 0x1000, code).section(0x4001000, 0x1F00000, data); }, 0x80,
         CameraTarget::notInCode, 0},
        {"headers placed outside the first page", [](Image&) {}, 0x2000, CameraTarget::notAnImage, 0},
        {"negative header offset", [](Image&) {}, -4, CameraTarget::notAnImage, 0},
        {"small program", [](Image& i) { i.size(0x20000).section(0x1000, 0x10000, code); }, 0x80,
         CameraTarget::imageTooSmall, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image(c.ntAt);
        c.build(image);
        const CameraTargetCheck check = checkCameraTarget(image.bytes());
        EXPECT_EQ(check.verdict, c.expected);
        EXPECT_EQ(hostLayoutFits(image.bytes()), cameraHookAllowed(c.expected));
        if (c.expected == CameraTarget::insideFunction) {
            EXPECT_EQ(check.entryBegin, c.entryBegin);
        }
    }
    EXPECT_EQ(checkCameraTarget(nullptr).verdict, CameraTarget::notAnImage);
    EXPECT_FALSE(hostLayoutFits(reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr))))
        << "this test program is not the game";
}
