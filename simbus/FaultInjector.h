// Faults armed through kestrix-busctl: each kind strikes the next requests (or, for a short or
// lost frame, the next camera frames) it applies to, as many times as it was armed for. A lost
// frame is armed for one unit.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace simbus {

enum class FaultKind {
    AsyncFail,      // an asynchronous read or write answers an error status
    AsyncShort,     // an asynchronous read answers fewer bytes than asked
    IsochNegative,  // an isochronous read delivers a negative status and no data
    IsochFail,      // an isochronous read fails with an error status
    Stall,          // a request of any kind is never answered (until cancelled or closed)
    ShortFrame,     // a camera frame goes out without its last packets
    LostFrame,      // one camera's frame is not sent at all (armed for that unit)
};

class FaultInjector {
public:
    static constexpr std::size_t kKinds = 7;

    static std::optional<FaultKind> Parse(std::string_view name);
    static std::string_view Name(FaultKind kind);
    // The kinds' names, comma-separated, for messages.
    static std::string Names();

    void Arm(FaultKind kind, std::uint32_t count);
    void Clear();
    // True (and one fewer left) when the kind is armed.
    bool Take(FaultKind kind);
    std::uint32_t Remaining(FaultKind kind) const;
    // The same for the kinds armed for one unit.
    void ArmFor(FaultKind kind, std::uint32_t unit, std::uint32_t count);
    bool TakeFor(FaultKind kind, std::uint32_t unit);
    // "none", or each armed kind with what is left.
    std::string Describe() const;

private:
    std::array<std::uint32_t, kKinds> m_remaining = {};
    std::map<std::pair<FaultKind, std::uint32_t>, std::uint32_t> m_remainingFor;  // by unit
};

}  // namespace simbus
