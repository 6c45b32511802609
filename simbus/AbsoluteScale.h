// The simulated camera's absolute values: how a feature that has them turns its raw value into
// real units and back, so that the absolute registers and the raw ones always agree.
#pragma once

#include <cstdint>

namespace simbus {

class AbsoluteScale {
public:
    // The scale of the feature whose control register is at controlOffset; null without one.
    static const AbsoluteScale* ForControl(std::uint32_t controlOffset);

    // The range in units; inquiry is the feature's inquiry register (its raw min and max).
    float Min(std::uint32_t inquiry) const;
    float Max(std::uint32_t inquiry) const;
    // The units of a control register's value (white balance: of both its values).
    float ToUnits(std::uint32_t control) const;
    // control with its value fields set to the raw values nearest to units, every other bit
    // kept. units must lie in the range.
    std::uint32_t FromUnits(float units, std::uint32_t control, std::uint32_t inquiry) const;

    // The fixed parts of one feature's scale; public so that the table can be a constant.
    struct Entry {
        std::uint32_t controlOffset;
        double (*units)(std::uint32_t raw);  // null: white balance, which scales a pair
    };
    explicit constexpr AbsoluteScale(Entry entry) : m_entry(entry) {}
    constexpr std::uint32_t ControlOffset() const { return m_entry.controlOffset; }

private:
    Entry m_entry;
};

}  // namespace simbus
