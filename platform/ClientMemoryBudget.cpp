// Per-client and total caps on what clients make a daemon hold.
#include "platform/ClientMemoryBudget.h"

#include <algorithm>
#include <utility>

namespace platform {

ClientMemoryBudget::Charge::Charge(Charge&& other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr)),
      m_client(other.m_client),
      m_bytes(std::exchange(other.m_bytes, 0)) {}

ClientMemoryBudget::Charge& ClientMemoryBudget::Charge::operator=(Charge&& other) noexcept {
    if (this != &other) {
        Release();
        m_budget = std::exchange(other.m_budget, nullptr);
        m_client = other.m_client;
        m_bytes = std::exchange(other.m_bytes, 0);
    }
    return *this;
}

void ClientMemoryBudget::Charge::Release() {
    if (m_budget != nullptr) m_budget->Give(m_client, m_bytes);
    m_budget = nullptr;
    m_bytes = 0;
}

ClientMemoryBudget::ClientMemoryBudget(std::uint64_t perClient, std::uint64_t total)
    : m_perClient(perClient), m_total(total) {}

ClientMemoryBudget::Charge ClientMemoryBudget::Take(std::uint64_t client, std::uint64_t bytes) {
    Charge charge;
    if (bytes > Room(client)) return charge;
    m_held += bytes;
    if (bytes != 0) m_byClient[client] += bytes;
    charge.m_budget = this;
    charge.m_client = client;
    charge.m_bytes = bytes;
    return charge;
}

std::uint64_t ClientMemoryBudget::Room(std::uint64_t client) const {
    const std::uint64_t mine = HeldBy(client);
    const std::uint64_t forClient = m_perClient > mine ? m_perClient - mine : 0;
    const std::uint64_t forAll = m_total > m_held ? m_total - m_held : 0;
    return std::min(forClient, forAll);
}

std::uint64_t ClientMemoryBudget::HeldBy(std::uint64_t client) const {
    const auto it = m_byClient.find(client);
    return it == m_byClient.end() ? 0 : it->second;
}

void ClientMemoryBudget::Give(std::uint64_t client, std::uint64_t bytes) {
    m_held -= bytes;
    const auto it = m_byClient.find(client);
    if (it == m_byClient.end()) return;
    it->second -= bytes;
    if (it->second == 0) m_byClient.erase(it);
}

}  // namespace platform
