// The per-client request bookkeeping both buses share: every request pends under its id, chosen
// by the client, until it is answered, exactly once.
#pragma once

#include <cstdint>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "driver/Completion.h"
#include "platform/ErrorCodes.h"

namespace driver {

template <typename Pending>
using PendingRequests = std::map<std::uint32_t, Pending>;

// Takes a request in. An id that already pends is answered 87 at once, the pending request left
// untouched. Otherwise the request pends: hold(entry) may keep it so, unhandled (true); a request
// for a unit that is gone is answered 1167; else dispatch() handles it, and a request still
// pending when memory runs out is answered 8. reply(request, status) answers a pending request.
template <typename Pending, typename Hold, typename Dispatch, typename Reply>
void AcceptRequest(PendingRequests<Pending>& pending, bool unitGone, const Request& request,
                   CompletionSink& sink, Hold&& hold, Dispatch&& dispatch, Reply&& reply) {
    const auto [entry, fresh] = pending.try_emplace(request.id);
    if (!fresh) return sink.Complete(Answer(request, platform::kErrorInvalidParameter));
    if (hold(entry->second)) return;
    if (unitGone) return reply(request, platform::kErrorDeviceNotConnected);
    try {
        dispatch();
    } catch (const std::bad_alloc&) {
        if (pending.contains(request.id)) reply(request, platform::kErrorNotEnoughMemory);
    }
}

// The pending requests a cancel of id reaches (0: every one), copied out, since answering them
// changes the table.
template <typename Pending>
std::vector<std::pair<std::uint32_t, Pending>> CancelTargets(
    const PendingRequests<Pending>& pending, std::uint32_t id) {
    std::vector<std::pair<std::uint32_t, Pending>> targets;
    for (const auto& [requestId, entry] : pending) {
        if (id == 0 || requestId == id) targets.emplace_back(requestId, entry);
    }
    return targets;
}

// Passes an answer on while its request pends, and ends it; an answer for a client (null) or a
// request that is gone is dropped.
template <typename Pending>
void FinishRequest(PendingRequests<Pending>* pending, Completion&& completion,
                   CompletionSink& sink) {
    if (pending == nullptr || pending->erase(completion.id) == 0) return;
    sink.Complete(std::move(completion));
}

}  // namespace driver
