#pragma once
// The host memory the camera hook walks, laid out at the hook's offsets from the fake image base of
// upscaler_world.h.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/upscaler/upscaler_world.h"
#include "upscaler/host_layout.h"

namespace upscalertest {

namespace layout = fsr2bridge::hostlayout;

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

    // Camera record `dense` with the given right, up and forward vectors (at bytes 32, 48, 64) and frustum.
    void setPose(std::uint32_t dense, const float (&right)[3], const float (&up)[3],
                 const float (&forward)[3], const float (&frustum)[6])
    {
        unsigned char* basis = basisRecords_.data() + dense * layout::basisRecordSize;
        std::memcpy(basis + 32, right, sizeof right);
        std::memcpy(basis + 48, up, sizeof up);
        std::memcpy(basis + 64, forward, sizeof forward);
        std::memcpy(frustumRecords_.data() + dense * layout::frustumRecordSize, frustum, sizeof frustum);
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

} // namespace upscalertest
