// FwBus's own records: node files, clients, transactions in flight and allocations. Only the
// bus's sources include this.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fw/FwBus.h"
#include "fw/FwHeaders.h"

namespace fw {

struct FwBus::Node {
    std::string name;
    std::string path;
    KernelFd fd;  // events and transactions; closed for the local node
    bool local = false;
    std::optional<UnitId> unit;  // a published camera
    CameraRom rom;
    fw_cdev_event_bus_reset reset{};  // the node's generation and numbers, kept current
};

// A channel or bandwidth held at the resource manager through the client's file.
struct FwBus::Allocation {
    std::uint32_t kernelHandle = 0;
    bool channel = false;
    std::uint32_t value = 0;  // the channel, or the bandwidth units
    bool lost = false;        // the kernel could not get it back after a bus reset
};

struct FwBus::Client {
    UnitId unit = 0;
    bool unitGone = false;
    // The bus generation the client last heard of: a reset that came while it had no wait
    // pending answers its next wait at once.
    std::uint32_t generation = 0;
    std::map<std::uint32_t, Pending> pending;  // by request id
    KernelFd isoFd;                            // opened at the first allocation
    std::map<std::uint32_t, Allocation> allocations;  // by the handle the client knows
    // Allocations the kernel has not answered yet, by closure: the request and its answer.
    struct Allocating {
        std::uint32_t requestId = 0;
        std::vector<std::uint8_t> answer;
        Allocation allocation;
    };
    std::map<std::uint64_t, Allocating> allocating;
};

// One register request, sent as one or more transactions of at most the node's block size.
struct FwBus::Transaction {
    ClientId client = 0;
    std::uint32_t id = 0;
    std::string node;  // the file it goes through
    bool write = false;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t done = 0;   // bytes transferred
    std::uint32_t chunk = 0;  // bytes of the transaction in flight
    std::vector<std::uint8_t> answer;  // the record answered: echo, then read data
    std::vector<std::uint8_t> data;    // a write's bytes, bus order
    int busyRetries = 0;
    int generationRetries = 0;
};

}  // namespace fw
