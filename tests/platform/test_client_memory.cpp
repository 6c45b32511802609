// Memory a client passes to a daemon: a client that shrinks it while the daemon takes it, and
// the caps on what clients together make the daemon map.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/ClientMemory.h"
#include "platform/ErrorCodes.h"
#include "platform/UniqueFd.h"

namespace {

using namespace platform;

constexpr std::size_t kMiB = std::size_t{1} << 20;

UniqueFd SealableMemfd(std::size_t bytes) {
    UniqueFd fd(::memfd_create("client", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::ftruncate(fd.Get(), off_t(bytes)), 0);
    return fd;
}

// A hostile client shrinks its memory while the daemon takes it. Whatever the daemon took must
// then be writable in full: a mapping past the end of the file dies of SIGBUS. The client
// thread sweeps a batch of files as the daemon sweeps them, so the two meet many times.
TEST(ClientMemory, AClientShrinkingItsMemoryMeanwhileCannotCrashTheDaemon) {
    constexpr std::size_t kSlot = 4096;
    ClientMemoryBudget budget;
    for (int batch = 0; batch < 50; ++batch) {
        std::vector<UniqueFd> files;
        for (int i = 0; i < 64; ++i) files.push_back(SealableMemfd(3 * kSlot));
        std::thread client([&] {
            for (const UniqueFd& fd : files) ::ftruncate(fd.Get(), 0);
        });
        std::vector<std::unique_ptr<ClientMemory>> taken;
        for (const UniqueFd& fd : files) {
            std::uint32_t status = 0;
            taken.push_back(ClientMemory::Adopt(fd.Get(), {kSlot, 3, 3}, budget, 1, status));
        }
        client.join();
        for (const auto& memory : taken) {
            for (std::size_t slot = 0; memory && slot < memory->SlotCount(); ++slot) {
                ASSERT_TRUE(memory->Touch(slot));
                std::memset(memory->Slot(slot).data(), 0x5A, kSlot);
            }
        }
    }
    EXPECT_EQ(budget.Held(), 0u);
}

// Slots beyond the fewest are used only as far as the client's cap and the total cap allow;
// a client that cannot get its fewest is refused until memory is given back.
TEST(ClientMemory, MapsNoMoreThanTheCapsAllow) {
    ClientMemoryBudget budget(16 * kMiB, 24 * kMiB);
    // Sparse: a gigabyte costs nothing until touched.
    const UniqueFd fd = SealableMemfd(1024 * kMiB);
    const ClientMemory::Slots slots{kMiB, 3, 64};
    std::uint32_t status = 0;

    auto first = ClientMemory::Adopt(fd.Get(), slots, budget, 1, status);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->SlotCount(), 16u);
    auto second = ClientMemory::Adopt(fd.Get(), slots, budget, 2, status);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->SlotCount(), 8u);
    EXPECT_FALSE(ClientMemory::Adopt(fd.Get(), slots, budget, 3, status));
    EXPECT_EQ(status, kErrorNotEnoughMemory);
    EXPECT_EQ(budget.Held(), 24 * kMiB);

    first.reset();
    EXPECT_TRUE(ClientMemory::Adopt(fd.Get(), slots, budget, 3, status));
    EXPECT_EQ(budget.HeldBy(1), 0u);
}

}  // namespace
