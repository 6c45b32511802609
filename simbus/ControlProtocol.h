// kestrix-busctl's protocol with the daemon: one command line over the control socket in
// DIR/.control/ (a sub-folder, so that programs listing units never see it), answered by
// "ok" and the command's output, or "error: <message>", after which the daemon closes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "simbus/FaultInjector.h"

namespace simbus {

struct ControlCommand {
    enum class Verb { Status, AddCamera, AddDevice, Remove, BusReset, Fault, HostCaps, Trigger, Sent };
    Verb verb = Verb::Status;
    // add-camera: speed code; add-device: software version; remove, trigger, sent: device
    // number;
    // fault: count; host-caps: the capability bits.
    std::uint32_t value = 0;
    bool renumber = false;           // bus-reset --renumber
    int cycleJump = 0;               // bus-reset --cycle-jump: seconds, -127 to 127
    std::optional<FaultKind> fault;  // fault: empty to clear every armed fault
    std::optional<std::uint32_t> camera;  // fault lost-frame --camera: the device number
};

class ControlProtocol {
public:
    static std::filesystem::path ControlDir(const std::filesystem::path& busDir);
    static std::filesystem::path SocketPath(const std::filesystem::path& busDir);
    // The usage text of the commands.
    static std::string_view Commands();

    // Empty, with a message, for a line that is not a command.
    static std::optional<ControlCommand> Parse(std::string_view line, std::string& error);

    static std::string Ok(std::string_view output);
    static std::string Error(std::string_view message);

    // Sends one command line to the daemon serving busDir and reads its reply. False, with a
    // message, when no daemon answers or it reports an error; output gets the command's output.
    static bool Exchange(const std::filesystem::path& busDir, std::string_view line,
                         std::string& output, std::string& error);
};

}  // namespace simbus
