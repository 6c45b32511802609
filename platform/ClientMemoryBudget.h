// How much memory clients can make a daemon hold for requests that have not been answered yet
// (records kept for their answers, buffers, memory they shared), capped per client and in all:
// neither one client nor many together can grow the daemon without limit.
//
// Single-threaded: the daemon's serving thread takes and gives back every charge. The budget
// must outlive its charges.
#pragma once

#include <cstdint>
#include <map>

namespace platform {

class ClientMemoryBudget {
public:
    // What the bus daemons allow: room for a client's largest legitimate capture (a 16 MiB
    // frame record and shared memory holding several such frames) and a few cameras at once.
    static constexpr std::uint64_t kPerClient = std::uint64_t{128} << 20;
    static constexpr std::uint64_t kTotal = std::uint64_t{512} << 20;

    // Bytes held for one request; given back when it goes.
    class Charge {
    public:
        Charge() = default;
        ~Charge() { Release(); }
        Charge(Charge&& other) noexcept;
        Charge& operator=(Charge&& other) noexcept;
        Charge(const Charge&) = delete;
        Charge& operator=(const Charge&) = delete;

        std::uint64_t Bytes() const { return m_bytes; }
        explicit operator bool() const { return m_budget != nullptr; }
        void Release();

    private:
        friend class ClientMemoryBudget;
        ClientMemoryBudget* m_budget = nullptr;
        std::uint64_t m_client = 0;
        std::uint64_t m_bytes = 0;
    };

    explicit ClientMemoryBudget(std::uint64_t perClient = kPerClient,
                                std::uint64_t total = kTotal);

    // A charge of bytes to client; empty when it would take the client or all of them past
    // their cap.
    Charge Take(std::uint64_t client, std::uint64_t bytes);
    // What client may still take.
    std::uint64_t Room(std::uint64_t client) const;

    std::uint64_t Held() const { return m_held; }
    std::uint64_t HeldBy(std::uint64_t client) const;
    std::uint64_t PerClient() const { return m_perClient; }
    std::uint64_t Total() const { return m_total; }

private:
    void Give(std::uint64_t client, std::uint64_t bytes);

    std::uint64_t m_perClient;
    std::uint64_t m_total;
    std::uint64_t m_held = 0;
    std::map<std::uint64_t, std::uint64_t> m_byClient;  // clients holding anything
};

}  // namespace platform
