// Register requests as asynchronous transactions on a node's file.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "fw/FwBus.h"
#include "fw/FwBusState.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace fw {
namespace {

using namespace platform;
using driver::Echo;

constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 48;

// A final response code as the status the requests know.
std::uint32_t StatusOf(std::uint32_t rcode) {
    switch (rcode) {
        case RCODE_COMPLETE:
            return kErrorSuccess;
        case RCODE_SEND_ERROR:
        case RCODE_NO_ACK:
        case RCODE_CANCELLED:
            // Nobody acknowledged the packet, as with a node that is not there.
            return kErrorSemTimeout;
        case RCODE_BUSY:
            return kErrorBusy;
        case RCODE_GENERATION:
            return kErrorDeviceNotConnected;
        default:
            // Address, type, data and conflict errors: the node refused the access.
            return kErrorGenFailure;
    }
}

std::uint32_t StatusOfErrno(int error) {
    switch (error) {
        case ENODEV:
            return kErrorDeviceNotConnected;
        case EINVAL:
        case EACCES:  // a broadcast below the units space
            return kErrorInvalidParameter;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace

void FwBus::HandleAsync(const driver::Request& request, const Client& client) {
    const bool write = request.code == driver::kIoctlAsyncWrite;
    driver::AsyncRecord record;
    if (const std::uint32_t status =
            driver::RequestDecoder::Async(request.in, request.outSize, write, record)) {
        return Reply(request, status);
    }
    if (record.offset + record.length > kAddressSpaceEnd)
        return Reply(request, kErrorInvalidParameter);
    // Node numbers are this generation's; nobody acknowledges a packet sent to one that is not
    // there. The unit itself is sent to in the kernel's newest generation, which a reset whose
    // event is still unread has already moved on.
    Node* target = nullptr;
    if (record.toUnit) {
        target = UnitNode(client.unit);
        if (target == nullptr || !Refresh(*target)) return Reply(request, kErrorDeviceNotConnected);
    } else if ((record.nodeAddress >> 6) == driver::kLocalBus) {
        target = NodeByNumber(record.nodeAddress & 63);
    }
    if (target == nullptr || target->local) return Reply(request, kErrorSemTimeout);

    auto transaction = std::make_unique<Transaction>();
    transaction->client = request.client;
    transaction->id = request.id;
    transaction->node = target->name;
    transaction->write = write;
    transaction->offset = record.offset;
    transaction->length = record.length;
    if (write) {
        transaction->data.assign(record.data.begin(), record.data.end());
        transaction->answer =
            Echo(request, std::min<std::size_t>(request.outSize, request.in.size()));
    } else {
        transaction->answer = Echo(request, driver::AsyncRecordBytes(record.length));
    }
    const std::uint64_t closure = m_nextClosure++;
    m_transactions[closure] = std::move(transaction);
    m_clients.at(request.client)->pending[request.id] = {PendingKind::Async, closure};
    SendChunk(closure);
}

void FwBus::HandleBroadcast(const driver::Request& request, const Client& client) {
    driver::AsyncRecord record;
    if (const std::uint32_t status =
            driver::RequestDecoder::BroadcastWrite(request.in, request.outSize, record)) {
        return Reply(request, status);
    }
    // Any node's file sends a broadcast; the unit's is at hand, in its newest generation.
    Node* node = UnitNode(client.unit);
    if (node == nullptr || !Refresh(*node)) return Reply(request, kErrorDeviceNotConnected);
    fw_cdev_send_request send{};
    send.tcode = record.length == 4 ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST;
    send.length = record.length;
    send.offset = record.offset;
    // No transaction has closure 0: an event the kernel might still post for it finds none.
    send.closure = 0;
    send.data = reinterpret_cast<std::uintptr_t>(record.data.data());
    send.generation = node->reset.generation;
    if (m_kernel.Ioctl(node->fd.Get(), FW_CDEV_IOC_SEND_BROADCAST_REQUEST, &send) < 0) {
        const int error = errno;
        KX_LOG(Simbus, Warn) << "broadcast at " << Hex(send.offset)
                             << " not sent: " << std::strerror(error);
        return Reply(request, StatusOfErrno(error));
    }
    // Nobody answers a broadcast: it is done once sent.
    Reply(request, kErrorSuccess,
          Echo(request, std::min<std::size_t>(request.outSize, request.in.size())));
}

void FwBus::SendChunk(std::uint64_t closure) {
    Transaction& t = *m_transactions.at(closure);
    const auto node = m_nodes.find(t.node);
    if (node == m_nodes.end()) return FinishTransaction(closure, kErrorDeviceNotConnected);
    // A block may carry no more than the node takes; quadlet requests for single quadlets.
    t.chunk = std::min(t.length - t.done, node->second->rom.maxRecordBytes);
    fw_cdev_send_request send{};
    send.tcode = t.write ? (t.chunk == 4 ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST)
                         : (t.chunk == 4 ? TCODE_READ_QUADLET_REQUEST : TCODE_READ_BLOCK_REQUEST);
    send.length = t.chunk;
    send.offset = t.offset + t.done;
    send.closure = closure;
    send.data = t.write ? reinterpret_cast<std::uintptr_t>(t.data.data() + t.done) : 0;
    send.generation = node->second->reset.generation;
    if (m_kernel.Ioctl(node->second->fd.Get(), FW_CDEV_IOC_SEND_REQUEST, &send) < 0) {
        const int error = errno;
        KX_LOG(Simbus, Warn) << "transaction to " << node->second->path << " at "
                             << Hex(send.offset) << " not sent: " << std::strerror(error);
        FinishTransaction(closure, StatusOfErrno(error));
    }
}

void FwBus::OnResponse(const std::uint8_t* event, std::size_t bytes) {
    constexpr std::size_t fixed = offsetof(fw_cdev_event_response, data);
    if (bytes < fixed) return;
    fw_cdev_event_response response;
    std::memcpy(&response, event, fixed);
    const auto it = m_transactions.find(response.closure);
    if (it == m_transactions.end()) return;  // cancelled, or its client went
    Transaction& t = *it->second;
    const std::uint64_t closure = response.closure;
    if (response.rcode == RCODE_GENERATION && t.generationRetries++ < kMaxGenerationRetries) {
        // Sent in a generation that ended: take the node's new one and send again.
        const auto node = m_nodes.find(t.node);
        if (node != m_nodes.end()) Refresh(*node->second);
        return SendChunk(closure);
    }
    if ((response.rcode == RCODE_BUSY || response.rcode == RCODE_CONFLICT_ERROR) &&
        t.busyRetries++ < kMaxBusyRetries) {
        return SendChunk(closure);
    }
    if (response.rcode != RCODE_COMPLETE) {
        KX_LOG(Simbus, Debug) << "transaction at " << Hex(t.offset + t.done) << " answered rcode "
                              << Hex(response.rcode);
        return FinishTransaction(closure, StatusOf(response.rcode));
    }
    if (!t.write) {
        // The data comes in bus order, as the record carries it.
        const std::size_t got = std::min<std::size_t>({response.length, bytes - fixed, t.chunk});
        std::memcpy(t.answer.data() + driver::kAsyncHeaderBytes + t.done, event + fixed, got);
        if (got < t.chunk) {
            // A short answer ends the read with what came, as a short record.
            t.answer.resize(driver::kAsyncHeaderBytes + t.done + got);
            return FinishTransaction(closure, kErrorSuccess);
        }
    }
    t.done += t.chunk;
    t.busyRetries = 0;
    if (t.done < t.length) return SendChunk(closure);
    FinishTransaction(closure, kErrorSuccess);
}

void FwBus::FinishTransaction(std::uint64_t closure, std::uint32_t status) {
    const auto it = m_transactions.find(closure);
    if (it == m_transactions.end()) return;
    std::unique_ptr<Transaction> t = std::move(it->second);
    m_transactions.erase(it);
    if (status != kErrorSuccess) {
        KX_LOG(Simbus, Warn) << "register request " << t->id << " of client " << t->client << " at "
                             << Hex(t->offset) << " failed: " << StatusText(status);
        return Finish({t->client, t->id, status, {}, nullptr, 0});
    }
    Finish({t->client, t->id, status, std::move(t->answer), nullptr, 0});
}

}  // namespace fw
