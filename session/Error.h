// Why a session operation failed: one kind a front end can act on, and the sentence a user reads.
// An Error of kind None is success, so that `if (Error e = camera.Start(...))` reads as it should.
#pragma once

#include <cstdint>
#include <string>

namespace kestrix::session {

class Error {
public:
    enum class Kind {
        None,
        NotFound,     // no such camera on the bus
        InUse,        // another program holds the camera
        Refused,      // the camera refused a mode, rate, region or setting
        NoBandwidth,  // the bus cannot carry the stream (needed and left say how much)
        BusReset,     // a bus reset ended the stream
        Unplugged,    // the camera or its adapter left the bus
        DriverGone,   // the bus driver stopped answering
        Timeout,      // nothing came within the time asked
        WrongState,   // the operation does not fit the camera's state
        Failed,       // anything else: a register access or a read failed
    };

    Error() = default;
    Error(Kind kind, std::string message) : m_kind(kind), m_message(std::move(message)) {}
    // The kind's own sentence.
    explicit Error(Kind kind);
    static Error NoBandwidth(std::uint32_t needed, std::uint32_t left, const std::string& what);

    explicit operator bool() const { return m_kind != Kind::None; }
    Kind GetKind() const { return m_kind; }
    const std::string& Message() const { return m_message; }
    // Bandwidth units a refused stream needed and the bus had left (NoBandwidth only).
    std::uint32_t Needed() const { return m_nNeeded; }
    std::uint32_t Left() const { return m_nLeft; }

    // The sentence of each kind, as a front end may show it when it has nothing better.
    static const char* Sentence(Kind kind);

private:
    Kind m_kind = Kind::None;
    std::string m_message;
    std::uint32_t m_nNeeded = 0;
    std::uint32_t m_nLeft = 0;
};

}  // namespace kestrix::session
