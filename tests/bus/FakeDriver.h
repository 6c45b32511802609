// A stand-in bus driver for the bus-layer tests: one unit socket speaking the device protocol,
// recording every request and answering from a small configurable model. Every request first
// goes through the daemons' own decoder, and a test fails when that refuses one. Requests that the
// real driver keeps pending (attach, isochronous read, bus-reset wait) pend until the test
// completes them or the client cancels.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bustest {

struct SeenRequest {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> bytes;  // what the client sent
    std::uint32_t outSize = 0;
};

struct DriverModel {
    std::uint32_t deviceNode = 2;
    std::uint32_t hostNode = 0;
    std::uint32_t deviceSpeed = 4;
    std::uint32_t hostSpeed = 4;
    std::uint32_t hostCaps = 0;
    std::uint32_t bandwidthHandle = 0x0B0B;
    std::uint32_t resourceHandle = 0x0C0C;
    std::vector<std::uint8_t> busInfo = std::vector<std::uint8_t>(24, 0);
    std::vector<std::uint8_t> unitDirectory;
    std::vector<std::uint8_t> unitDependentDirectory;
    std::map<std::uint32_t, std::uint32_t> failures;  // code -> status to answer
    // An asynchronous or host-memory read returns 0x40, 0x41, ... as its data.
};

class FakeDriver {
public:
    FakeDriver(const std::filesystem::path& directory, const std::string& unitName,
               DriverModel model = {});
    ~FakeDriver();
    FakeDriver(const FakeDriver&) = delete;
    FakeDriver& operator=(const FakeDriver&) = delete;

    const std::string& Path() const { return m_path; }
    void SetModel(const DriverModel& model);

    std::vector<SeenRequest> Requests() const;
    std::vector<SeenRequest> RequestsWithCode(std::uint32_t code) const;
    std::vector<std::uint32_t> Codes() const;
    void ClearRequests();
    // Waits until count requests with code have arrived.
    bool WaitForRequests(std::uint32_t code, std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::size_t PendingCount(std::uint32_t code) const;
    // Completes every pending request with code; answer makes the reply from the request's
    // bytes (none when empty).
    using AnswerFn = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;
    void CompletePending(std::uint32_t code, std::uint32_t status, const AnswerFn& answer = {});
    std::size_t Cancellations() const;

    class Connection;

private:
    void AcceptLoop();
    void Serve(const std::shared_ptr<Connection>& connection);
    std::vector<std::uint8_t> Answer(const SeenRequest& request, std::uint32_t& status, bool& pend);

    std::string m_path;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;  // guards the model, the records and the connections
    mutable std::condition_variable m_changed;
    DriverModel m_model;
    std::vector<SeenRequest> m_requests;
    std::size_t m_cancellations = 0;
    std::size_t m_undecoded = 0;  // requests the daemons' decoder refused, answered as it would
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::vector<std::thread> m_threads;  // connection servers, joined at the end
    std::thread m_acceptor;
};

}  // namespace bustest
