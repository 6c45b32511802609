// A frame lent in place from a stream's ring: its bytes stay as they are until it is dropped,
// which hands it back. It holds the ring, so it may outlive the stream and the capture.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "camera/FrameRing.h"

namespace kestrix::session {

class LentFrame {
public:
    LentFrame(std::shared_ptr<FrameRing> ring, const FrameRing::Loan& loan)
        : m_pRing(std::move(ring)), m_loan(loan) {}
    ~LentFrame() {
        if (m_pRing) m_pRing->Return(m_loan);
    }
    LentFrame(const LentFrame&) = delete;
    LentFrame& operator=(const LentFrame&) = delete;

    std::span<const std::uint8_t> Bytes() const { return {m_loan.data, m_loan.size}; }

private:
    std::shared_ptr<FrameRing> m_pRing;
    FrameRing::Loan m_loan;
};

}  // namespace kestrix::session
