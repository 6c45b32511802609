// Counting down armed faults.
#include "simbus/FaultInjector.h"

namespace simbus {
namespace {

constexpr std::array<std::string_view, FaultInjector::kKinds> kNames = {
    "async-fail", "async-short", "iso-negative", "iso-fail", "stall", "short-frame"};

}  // namespace

std::optional<FaultKind> FaultInjector::Parse(std::string_view name) {
    for (std::size_t i = 0; i < kKinds; ++i) {
        if (kNames[i] == name) return FaultKind(i);
    }
    return std::nullopt;
}

std::string_view FaultInjector::Name(FaultKind kind) { return kNames[std::size_t(kind)]; }

std::string FaultInjector::Names() {
    std::string names;
    for (const std::string_view name : kNames) {
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}

void FaultInjector::Arm(FaultKind kind, std::uint32_t count) {
    m_remaining[std::size_t(kind)] = count;
}

void FaultInjector::Clear() { m_remaining.fill(0); }

bool FaultInjector::Take(FaultKind kind) {
    std::uint32_t& left = m_remaining[std::size_t(kind)];
    if (left == 0) return false;
    --left;
    return true;
}

std::uint32_t FaultInjector::Remaining(FaultKind kind) const {
    return m_remaining[std::size_t(kind)];
}

std::string FaultInjector::Describe() const {
    std::string text;
    for (std::size_t i = 0; i < kKinds; ++i) {
        if (m_remaining[i] == 0) continue;
        if (!text.empty()) text += ", ";
        text += std::string(kNames[i]) + " x" + std::to_string(m_remaining[i]);
    }
    return text.empty() ? "none" : text;
}

}  // namespace simbus
