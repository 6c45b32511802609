// A simulated camera addressed the way a client finds its registers: the command base from the
// ROM, the Format 7 and vendor blocks from their inquiry registers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/ByteOrder.h"
#include "simbus/CameraModel.h"

namespace simbus::test {

inline constexpr std::uint64_t kCsrBase = 0xFFFF'F000'0000;
inline constexpr std::uint32_t kOn = 0x8000'0000;

class CameraModelFixture : public ::testing::Test {
protected:
    CameraModelFixture() = default;
    explicit CameraModelFixture(CameraModel::Kind kind) : cam(0x00C0FFEE, kind) {}

    using Access = CameraModel::Access;

    // The unit dependent directory's first quadlet shifted left by 2: the key byte drops out
    // and the quadlet offset becomes a byte offset.
    std::uint64_t Cmd(std::uint32_t offset) const {
        const std::uint32_t entry = platform::LoadBE32(cam.Rom().unitDependentDirectory.data());
        return kCsrBase + std::uint32_t(entry << 2) + offset;
    }
    // A block that an inquiry register names by its quadlet offset.
    std::uint64_t Block(std::uint32_t inquiryOffset, std::uint32_t offset) const {
        return kCsrBase + std::uint64_t{Get(Cmd(inquiryOffset))} * 4 + offset;
    }
    std::uint64_t F7(std::uint32_t offset) const { return Block(0x2E0, offset); }
    std::uint64_t Vendor(std::uint32_t offset) const { return Block(0x480, offset); }

    std::uint32_t Get(std::uint64_t address) const {
        std::uint32_t value = 0xDEAD'BEEF;
        EXPECT_EQ(cam.Read(address, value), Access::Ok) << std::hex << address;
        return value;
    }
    void Set(std::uint64_t address, std::uint32_t value) {
        EXPECT_EQ(cam.Write(address, value), Access::Ok) << std::hex << address;
    }
    void SetMode(unsigned format, unsigned mode, unsigned rate) {
        Set(Cmd(0x608), format << 29);
        Set(Cmd(0x604), mode << 29);
        Set(Cmd(0x600), rate << 29);
    }
    // Format 7 mode 0 as a client sets it up, with the largest packets the speed allows.
    void SetFormat7(unsigned coding, std::uint32_t position, std::uint32_t size) {
        Set(Cmd(0x608), 0xE000'0000);
        Set(Cmd(0x604), 0);
        Set(F7(0x10), coding << 24);
        Set(F7(0x08), position);
        Set(F7(0x0C), size);
        const std::uint32_t max = Get(F7(0x40)) & 0xFFFF;
        Set(F7(0x44), max << 16 | max);
    }

    CameraModel cam{0x00C0FFEE};
};

}  // namespace simbus::test
