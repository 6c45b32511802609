// Counting down armed faults.
#include "simbus/FaultInjector.h"

namespace simbus {
namespace {

constexpr std::array<std::string_view, FaultInjector::kKinds> kNames = {
    "async-fail", "async-short", "iso-negative", "iso-fail", "stall", "short-frame", "lost-frame"};

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

void FaultInjector::Clear() {
    m_remaining.fill(0);
    m_remainingFor.clear();
}

void FaultInjector::ArmFor(FaultKind kind, std::uint32_t unit, std::uint32_t count) {
    if (count == 0) {
        m_remainingFor.erase({kind, unit});
    } else {
        m_remainingFor[{kind, unit}] = count;
    }
}

bool FaultInjector::TakeFor(FaultKind kind, std::uint32_t unit) {
    const auto it = m_remainingFor.find({kind, unit});
    if (it == m_remainingFor.end()) return false;
    if (--it->second == 0) m_remainingFor.erase(it);
    return true;
}

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
    for (const auto& [key, left] : m_remainingFor) {
        if (!text.empty()) text += ", ";
        text += std::string(kNames[std::size_t(key.first)]) + " x" + std::to_string(left) +
                " on unit " + std::to_string(key.second);
    }
    return text.empty() ? "none" : text;
}

}  // namespace simbus
