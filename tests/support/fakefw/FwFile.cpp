// The file's event queue, its pipe and its mapping.
#include "tests/support/fakefw/FwFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/fakefw/FakeBus.h"
#include "tests/support/fakefw/RealLibc.h"

namespace fakefw {

bool FwFile::Open(std::shared_ptr<FwNode> node, std::uint64_t id, bool nonBlocking,
                  bool closeOnExec) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    ::fcntl(m_writeEnd, F_SETFL, O_NONBLOCK);
    if (nonBlocking) ::fcntl(m_readEnd, F_SETFL, O_NONBLOCK);
    if (!closeOnExec) ::fcntl(m_readEnd, F_SETFD, 0);
    m_node = std::move(node);
    m_id = id;
    return true;
}

FwFile::~FwFile() {
    if (!mapping.empty()) ::munmap(mapping.data(), mapping.size());
    if (m_writeEnd >= 0) real::close(m_writeEnd);
    // The read end is the client's descriptor: its close(2) closes it.
}

void FwFile::Post(std::vector<std::uint8_t> event) {
    if (m_writeEnd < 0) return;
    m_events.push_back(std::move(event));
    if (m_events.size() == 1) {
        const char byte = 1;
        (void)real::write(m_writeEnd, &byte, 1);
    }
}

std::optional<std::vector<std::uint8_t>> FwFile::Take() {
    if (m_events.empty()) return std::nullopt;
    std::vector<std::uint8_t> event = std::move(m_events.front());
    m_events.pop_front();
    if (m_events.empty()) {
        char byte = 0;
        (void)real::read(m_readEnd, &byte, 1);
    }
    return event;
}

void FwFile::Shutdown() {
    if (context) context->Stop();
    if (m_writeEnd >= 0) real::close(m_writeEnd);
    m_writeEnd = -1;
}

void* FwFile::Map(void* address, std::size_t length, int protection, int flags) {
    const int memory = ::memfd_create("kestrix-fakefw-iso", MFD_CLOEXEC);
    if (memory < 0) return MAP_FAILED;
    void* client = MAP_FAILED;
    void* own = MAP_FAILED;
    if (::ftruncate(memory, off_t(length)) == 0) {
        client = real::mmap(address, length, protection, flags, memory, 0);
        own = real::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    }
    real::close(memory);
    if (client == MAP_FAILED || own == MAP_FAILED) {
        if (client != MAP_FAILED) ::munmap(client, length);
        if (own != MAP_FAILED) ::munmap(own, length);
        return MAP_FAILED;
    }
    mapping = {static_cast<std::uint8_t*>(own), length};
    clientStart = reinterpret_cast<std::uintptr_t>(client);
    return client;
}

}  // namespace fakefw
