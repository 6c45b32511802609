// A named block of memory shared between processes, with the lifetime of a Windows file
// mapping: it exists while some process holds it, crashes included. The first holder creates it
// zeroed (mode 0600); when the last holder closes it or dies, the next opener starts afresh.
// The block carries a process-shared lock for its users (a holder that died while holding it
// does not leave it locked).
//
// Names are per user. KESTRIX_SHM_NAMESPACE, when set, is folded into every name so that tests
// running in parallel each get their own blocks.
//
// Any thread may lock and unlock; the lock is not re-entrant, also not across two Opens of the
// same block in one process (each Open is a holder of its own). A process made by fork() without
// exec shares its parent's holds and should not use the parent's blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace platform {

class SharedMemory {
public:
    // Create-or-open; empty on failure, errno telling why (EINVAL: a name with '/' or NUL, a
    // size of 0 or one larger than the existing block; EACCES: an object that is not ours alone).
    // Joining a block that another holder made larger sees its first `size` bytes.
    static std::unique_ptr<SharedMemory> Open(const std::string& name, std::size_t size);
    // The system-wide object name a block name maps to; empty for an invalid name.
    static std::string ObjectName(const std::string& name);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // True when another holder had the block before this Open.
    bool AlreadyExisted() const { return m_existed; }
    std::span<std::byte> Data() const { return m_data; }

    // The process-shared lock (BasicLockable).
    void lock();
    void unlock();

    class Impl;

private:
    explicit SharedMemory(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
    std::span<std::byte> m_data;
    bool m_existed = false;
};

}  // namespace platform
