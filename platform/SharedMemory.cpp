// Named shared memory with the lifetime of a Windows file mapping, on POSIX shm and flock.
//
// Every holder keeps a shared flock on its own descriptor of the object, so a hold dies with its
// process, SIGKILL included. Opens and closes are serialised by an exclusive flock on a second
// object, the guard. Under the guard, an opener that can take the object's flock exclusively
// knows nobody holds it (whatever a killed holder left behind) and recreates it zeroed; a closer
// that can take it exclusively is the last one and unlinks both objects.
#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/Log.h"
#include "platform/UniqueFd.h"

namespace platform {

namespace {

// Placed after the caller's bytes (rounded up to its alignment) so Data() is exactly their layout.
struct Trailer {
    pthread_mutex_t mutex;
    std::uint64_t dataBytes;  // the creator's size: the most an opener may ask for
};

constexpr std::size_t RoundUp(std::size_t size) {
    return (size + alignof(Trailer) - 1) / alignof(Trailer) * alignof(Trailer);
}

// Cleanup must not hide the errno of the failure that caused it.
class ErrnoKeeper {
public:
    ErrnoKeeper() : m_saved(errno) {}
    ~ErrnoKeeper() { errno = m_saved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int m_saved;
};

struct Unmapper {
    std::size_t bytes = 0;
    void operator()(std::byte* base) const { munmap(base, bytes); }
};
using Mapping = std::unique_ptr<std::byte, Unmapper>;

Mapping Map(int fd, std::size_t bytes) {
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return Mapping(nullptr, Unmapper{});
    return Mapping(static_cast<std::byte*>(base), Unmapper{bytes});
}

int Flock(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

std::optional<struct stat> Stat(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::nullopt;
    return st;
}

bool ValidPart(std::string_view part) {
    return !part.empty() &&
           part.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// "/<kind>-<uid>-<namespace>-<name>", the namespace part only when KESTRIX_SHM_NAMESPACE is set.
std::string ComposeName(std::string_view kind, const std::string& name) {
    const char* space = std::getenv("KESTRIX_SHM_NAMESPACE");
    const bool spaced = space != nullptr && *space != '\0';
    if (!ValidPart(name) || (spaced && !ValidPart(space))) return {};
    // Appended rather than "/" + kind: GCC 12 at -O3 warns falsely about the latter (-Wrestrict).
    std::string composed = "/";
    composed += kind;
    composed += '-';
    composed += std::to_string(geteuid());
    composed += '-';
    if (spaced) composed += std::string(space) + "-";
    return composed + name;
}

// Takes the guard. A closer unlinks the guard while holding it, so a lock won on a descriptor
// whose object is no longer the one under the name guards nothing: then try again.
UniqueFd LockGuard(const std::string& guardName) {
    for (;;) {
        UniqueFd guard(shm_open(guardName.c_str(), O_RDWR | O_CREAT, 0600));
        if (!guard || Flock(guard.Get(), LOCK_EX) != 0) return UniqueFd();
        const UniqueFd named(shm_open(guardName.c_str(), O_RDWR, 0));
        if (!named && errno == ENOENT) continue;
        const auto held = Stat(guard.Get());
        const auto current = named ? Stat(named.Get()) : std::nullopt;
        if (!held || !current) return UniqueFd();
        if (held->st_dev != current->st_dev || held->st_ino != current->st_ino) continue;
        if (held->st_uid != geteuid()) {
            errno = EACCES;
            return UniqueFd();
        }
        return guard;
    }
}

void InitRobustMutex(pthread_mutex_t& mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

}  // namespace

class SharedMemory::Impl {
public:
    // Empty on failure, errno telling why.
    static std::unique_ptr<Impl> Open(const std::string& name, std::size_t size);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::span<std::byte> Data() const { return {m_mapping.get(), m_size}; }
    bool Existed() const { return m_existed; }
    void Lock();
    void Unlock();

private:
    Impl(std::string objectName, std::string guardName, std::size_t size)
        : m_objectName(std::move(objectName)), m_guardName(std::move(guardName)), m_size(size) {}
    // These run under the guard. Attach opens the object and creates or joins it; Release
    // unmaps and lets go, unlinking the block when this was its last holder.
    bool Attach();
    bool Create();
    bool Join();
    void Release();

    const std::string m_objectName;
    const std::string m_guardName;
    const std::size_t m_size;
    UniqueFd m_fd;  // carries this holder's shared flock
    Mapping m_mapping;
    Trailer* m_trailer = nullptr;
    bool m_existed = false;
};

std::unique_ptr<SharedMemory::Impl> SharedMemory::Impl::Open(const std::string& name,
                                                             std::size_t size) {
    std::string objectName = ComposeName("kestrix", name);
    std::string guardName = ComposeName("kestrix-guard", name);
    constexpr std::size_t most = std::numeric_limits<off_t>::max() - 2 * sizeof(Trailer);
    if (objectName.empty() || size == 0 || size > most) {
        errno = EINVAL;
        return nullptr;
    }
    std::unique_ptr<Impl> impl(new Impl(std::move(objectName), std::move(guardName), size));
    const UniqueFd guard = LockGuard(impl->m_guardName);
    if (!guard) return nullptr;
    if (!impl->Attach()) {
        impl->Release();
        return nullptr;
    }
    return impl;
}

bool SharedMemory::Impl::Attach() {
    m_fd = UniqueFd(shm_open(m_objectName.c_str(), O_RDWR | O_CREAT, 0600));
    if (!m_fd) return false;
    const auto st = Stat(m_fd.Get());
    if (!st) return false;
    if (st->st_uid != geteuid()) {
        errno = EACCES;
        return false;
    }
    // Every holder keeps a shared flock: winning the exclusive one means there is no holder.
    m_existed = Flock(m_fd.Get(), LOCK_EX | LOCK_NB) != 0;
    if (m_existed && errno != EWOULDBLOCK) return false;
    return m_existed ? Join() : Create();
}

bool SharedMemory::Impl::Create() {
    const int fd = m_fd.Get();
    const std::size_t dataRoom = RoundUp(m_size);
    const std::size_t bytes = dataRoom + sizeof(Trailer);
    // Truncating to nothing first drops whatever a holder killed earlier left behind.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0 ||
        fchmod(fd, 0600) != 0)
        return false;
    m_mapping = Map(fd, bytes);
    if (!m_mapping) return false;
    m_trailer = reinterpret_cast<Trailer*>(m_mapping.get() + dataRoom);
    m_trailer->dataBytes = m_size;
    InitRobustMutex(m_trailer->mutex);
    // Only now may others join; the guard keeps them out while the lock changes mode.
    return Flock(fd, LOCK_SH | LOCK_NB) == 0;
}

bool SharedMemory::Impl::Join() {
    const int fd = m_fd.Get();
    if (Flock(fd, LOCK_SH | LOCK_NB) != 0) return false;
    const auto st = Stat(fd);
    if (!st) return false;
    if ((st->st_mode & 077) != 0) {
        errno = EACCES;
        return false;
    }
    const auto bytes = static_cast<std::size_t>(st->st_size);
    if (bytes < sizeof(Trailer) || m_size > bytes - sizeof(Trailer)) {
        errno = EINVAL;
        return false;
    }
    m_mapping = Map(fd, bytes);
    if (!m_mapping) return false;
    const std::size_t dataRoom = bytes - sizeof(Trailer);
    m_trailer = reinterpret_cast<Trailer*>(m_mapping.get() + dataRoom);
    // A block made by something else, or asked larger than its maker made it. The recorded
    // size is not trusted further than the object's real size.
    const std::uint64_t made = m_trailer->dataBytes;
    if (dataRoom % alignof(Trailer) != 0 || made > dataRoom ||
        dataRoom - made >= alignof(Trailer) || m_size > made) {
        errno = EINVAL;
        return false;
    }
    return true;
}

SharedMemory::Impl::~Impl() {
    if (!m_fd) return;
    const UniqueFd guard = LockGuard(m_guardName);
    if (guard) {
        Release();
        return;
    }
    // Without the guard nothing may be unlinked: just let go; the next opener starts afresh.
    m_mapping.reset();
    m_fd.Reset();
}

void SharedMemory::Impl::Release() {
    ErrnoKeeper keep;
    m_mapping.reset();
    if (m_fd && Flock(m_fd.Get(), LOCK_EX | LOCK_NB) == 0) {
        shm_unlink(m_objectName.c_str());
        shm_unlink(m_guardName.c_str());
    }
    m_fd.Reset();
}

void SharedMemory::Impl::Lock() {
    // A holder that died holding the lock leaves it owner-dead: take it over and go on.
    if (pthread_mutex_lock(&m_trailer->mutex) == EOWNERDEAD)
        pthread_mutex_consistent(&m_trailer->mutex);
}

void SharedMemory::Impl::Unlock() { pthread_mutex_unlock(&m_trailer->mutex); }

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, std::size_t size) {
    auto impl = Impl::Open(name, size);
    if (!impl) {
        KX_LOG(Platform, Warn) << "shared block " << ObjectName(name) << " (" << size
                               << " bytes) cannot be opened: " << ErrnoText(errno);
        return nullptr;
    }
    return std::unique_ptr<SharedMemory>(new SharedMemory(std::move(impl)));
}

std::string SharedMemory::ObjectName(const std::string& name) {
    return ComposeName("kestrix", name);
}

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl)), m_data(m_impl->Data()), m_existed(m_impl->Existed()) {}

SharedMemory::~SharedMemory() = default;

void SharedMemory::lock() { m_impl->Lock(); }

void SharedMemory::unlock() { m_impl->Unlock(); }

}  // namespace platform
