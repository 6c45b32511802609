// Where the result of a sent message goes: a slot that a sender in this process waits on, or the
// connection of a sender in another process. A sink dropped unanswered (its message discarded
// because the endpoint or its thread went away) fails its sender at once instead of letting it
// wait for its time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/PollFlag.h"
#include "platform/UniqueFd.h"

namespace platform {

class ReplySink {
public:
    // The result of one in-process Send; Fd() turns readable once it is settled.
    class Slot {
    public:
        bool IsValid() const { return m_settled.IsValid(); }
        int Fd() const { return m_settled.Fd(); }
        std::optional<std::int64_t> Result() const;
        void Settle(std::optional<std::int64_t> result);

    private:
        PollFlag m_settled;
        mutable std::mutex m_mutex;  // guards m_result
        std::optional<std::int64_t> m_result;
    };

    explicit ReplySink(std::shared_ptr<Slot> slot) : m_slot(std::move(slot)) {}
    explicit ReplySink(UniqueFd connection) : m_connection(std::move(connection)) {}
    ReplySink(ReplySink&&) noexcept = default;
    ReplySink& operator=(ReplySink&& other) noexcept;
    ReplySink(const ReplySink&) = delete;
    ReplySink& operator=(const ReplySink&) = delete;
    ~ReplySink() { Finish(std::nullopt); }

    void Complete(std::int64_t result) { Finish(result); }

private:
    void Finish(std::optional<std::int64_t> result);

    std::shared_ptr<Slot> m_slot;
    UniqueFd m_connection;
};

}  // namespace platform
