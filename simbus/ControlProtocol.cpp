// Parsing and carrying kestrix-busctl commands.
#include "simbus/ControlProtocol.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/RequestCodes.h"
#include "platform/UniqueFd.h"

namespace simbus {

using namespace driver;
namespace {

constexpr std::string_view kOk = "ok\n";
constexpr std::string_view kErrorPrefix = "error: ";

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(line.find_first_of(" \t\r\n", start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

std::optional<std::uint32_t> Number(std::string_view word) {
    const std::string text(word);
    if (text.empty() || text[0] == '-') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) return std::nullopt;
    return std::uint32_t(value);
}

std::optional<long> SignedNumber(std::string_view word) {
    const bool negative = word.starts_with('-');
    const auto magnitude = Number(negative ? word.substr(1) : word);
    if (!magnitude) return std::nullopt;
    return negative ? -long(*magnitude) : long(*magnitude);
}

// Reads "--name VALUE" options and plain arguments of one command.
struct Arguments {
    std::vector<std::string_view> plain;
    std::vector<std::pair<std::string_view, std::string_view>> options;
    std::vector<std::string_view> flags;
};

bool Split(const std::vector<std::string_view>& words,
           std::initializer_list<std::string_view> valued, Arguments& out, std::string& error) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (!word.starts_with("--")) {
            out.plain.push_back(word);
        } else if (std::find(valued.begin(), valued.end(), word) == valued.end()) {
            out.flags.push_back(word);
        } else if (i + 1 < words.size()) {
            out.options.emplace_back(word, words[++i]);
        } else {
            error = std::string(word) + " needs a value";
            return false;
        }
    }
    return true;
}

std::optional<ControlCommand> ParseAdd(ControlCommand command, const Arguments& args,
                                       std::string& error) {
    const bool camera = command.verb == ControlCommand::Verb::AddCamera;
    const std::string_view option = camera ? "--speed" : "--version";
    command.value = camera ? kSpeed400 : 0x010001;
    for (const auto& [name, text] : args.options) {
        if (name != option) continue;
        const auto value = Number(text);
        if (camera && (value == 100u || value == 200u || value == 400u)) {
            command.value = *value / 100;  // the speed codes 1, 2 and 4
        } else if (!camera && value && *value <= 0xFF'FFFF) {
            command.value = *value;
        } else {
            error = camera ? "the speed is 100, 200 or 400" : "the version is a 24-bit number";
            return std::nullopt;
        }
    }
    return command;
}

}  // namespace

std::filesystem::path ControlProtocol::ControlDir(const std::filesystem::path& busDir) {
    return busDir / ".control";
}

std::filesystem::path ControlProtocol::SocketPath(const std::filesystem::path& busDir) {
    return ControlDir(busDir) / "busctl.sock";
}

std::string_view ControlProtocol::Commands() {
    return "  status                        nodes, units, streams, resources and counters\n"
           "  add-camera [--speed 100|200|400]\n"
           "                                plug in an IIDC camera\n"
           "  add-device [--version V]      plug in a unit that is not a camera (version\n"
           "                                0x010001 unless given)\n"
           "  remove N                      unplug the unit with device number N\n"
           "  trigger N                     a pulse on the trigger input of the camera with\n"
           "                                device number N\n"
           "  bus-reset [--renumber] [--cycle-jump S]\n"
           "                                reset the bus; --renumber gives new node numbers,\n"
           "                                --cycle-jump S makes the cycle timer jump S seconds\n"
           "                                (back when negative)\n"
           "  fault KIND [COUNT]            make the next COUNT requests (1 unless given) fail:\n"
           "                                async-fail, async-short, iso-negative, iso-fail,\n"
           "                                stall; short-frame: the next COUNT frames come\n"
           "                                without their last packets\n"
           "  fault lost-frame COUNT --camera D\n"
           "                                the camera with device number D does not send its\n"
           "                                next COUNT frames (it skips their periods)\n"
           "  fault clear                   disarm every fault\n"
           "  sent N                        the frames the camera with device number N sent\n"
           "                                last: counter, cycle time, monotonic nanoseconds\n"
           "  host-caps BITS                the host adapter's capability bits (0x01 packet-\n"
           "                                based transfers, 0x10 header stripping)\n";
}

std::optional<ControlCommand> ControlProtocol::Parse(std::string_view line, std::string& error) {
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) {
        error = "no command";
        return std::nullopt;
    }
    Arguments args;
    if (!Split(words, {"--speed", "--version", "--cycle-jump", "--camera"}, args, error))
        return std::nullopt;
    const std::string_view verb = words[0];
    ControlCommand command;
    const auto expect = [&](std::size_t plain, std::initializer_list<std::string_view> flags) {
        for (const std::string_view flag : args.flags) {
            if (std::find(flags.begin(), flags.end(), flag) == flags.end()) {
                error = "unknown option " + std::string(flag) + " for " + std::string(verb);
                return false;
            }
        }
        if (args.plain.size() > plain) {
            error = "too many arguments for " + std::string(verb);
            return false;
        }
        return true;
    };

    if (verb == "status") {
        if (!expect(0, {}) || !args.options.empty()) return std::nullopt;
        return command;
    }
    if (verb == "add-camera" || verb == "add-device") {
        command.verb = verb == "add-camera" ? ControlCommand::Verb::AddCamera
                                            : ControlCommand::Verb::AddDevice;
        if (!expect(0, {})) return std::nullopt;
        return ParseAdd(command, args, error);
    }
    if (verb == "bus-reset") {
        command.verb = ControlCommand::Verb::BusReset;
        if (!expect(0, {"--renumber"})) return std::nullopt;
        command.renumber = !args.flags.empty();
        for (const auto& [name, text] : args.options) {
            const auto jump = SignedNumber(text);
            if (name != "--cycle-jump" || !jump || *jump < -127 || *jump > 127) {
                error = "--cycle-jump takes seconds from -127 to 127";
                return std::nullopt;
            }
            command.cycleJump = int(*jump);
        }
        return command;
    }
    if (verb == "fault") {
        command.verb = ControlCommand::Verb::Fault;
        if (!expect(2, {})) return std::nullopt;
        if (args.plain.size() == 1 && args.plain[0] == "clear" && args.options.empty())
            return command;
        command.fault = args.plain.empty() ? std::nullopt : FaultInjector::Parse(args.plain[0]);
        const auto count =
            args.plain.size() == 2 ? Number(args.plain[1]) : std::optional<std::uint32_t>(1);
        if (!command.fault || !count || *count == 0) {
            error =
                "fault takes a kind (" + FaultInjector::Names() + ") and a count above 0, or clear";
            return std::nullopt;
        }
        command.value = *count;
        // A lost frame is one camera's; the other kinds strike whatever comes.
        const bool perCamera = command.fault == FaultKind::LostFrame;
        if (perCamera && args.options.size() == 1 && args.options[0].first == "--camera")
            command.camera = Number(args.options[0].second);
        if (perCamera ? !command.camera : !args.options.empty()) {
            error = perCamera ? "lost-frame needs --camera D, a device number"
                              : "only lost-frame takes --camera";
            return std::nullopt;
        }
        return command;
    }
    if (!args.options.empty() || !expect(2, {})) {
        if (error.empty()) error = "unknown option for " + std::string(verb);
        return std::nullopt;
    }
    if (verb == "remove" || verb == "trigger" || verb == "sent" || verb == "host-caps") {
        command.verb = verb == "remove"    ? ControlCommand::Verb::Remove
                       : verb == "trigger" ? ControlCommand::Verb::Trigger
                       : verb == "sent"    ? ControlCommand::Verb::Sent
                                           : ControlCommand::Verb::HostCaps;
        const auto value = args.plain.size() == 1 ? Number(args.plain[0]) : std::nullopt;
        if (!value || (command.verb == ControlCommand::Verb::HostCaps &&
                       (*value & ~kHostCapsConfigurable) != 0)) {
            error = command.verb == ControlCommand::Verb::HostCaps
                        ? "host-caps takes bits 0x01 and 0x10 only"
                        : std::string(verb) + " needs a device number";
            return std::nullopt;
        }
        command.value = *value;
        return command;
    }
    error = "unknown command " + std::string(verb);
    return std::nullopt;
}

std::string ControlProtocol::Ok(std::string_view output) {
    return std::string(kOk) + std::string(output);
}

std::string ControlProtocol::Error(std::string_view message) {
    return std::string(kErrorPrefix) + std::string(message) + "\n";
}

bool ControlProtocol::Exchange(const std::filesystem::path& busDir, std::string_view line,
                               std::string& output, std::string& error) {
    const std::string path = SocketPath(busDir).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "the bus directory's path is too long: " + busDir.string();
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket ||
        ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "no kestrix-busd is running in " + busDir.string();
        return false;
    }
    // A wedged daemon must not hang scripts and tests that drive the bus.
    const timeval limit{10, 0};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string request(line);
    request += '\n';
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            error = "the bus daemon closed the connection";
            return false;
        }
        sent += std::size_t(n);
    }
    std::string reply;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(socket.Get(), chunk, sizeof chunk, 0)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        reply.append(chunk, std::size_t(n));
    }
    if (reply.starts_with(kOk)) {
        output = reply.substr(kOk.size());
        return true;
    }
    if (reply.starts_with(kErrorPrefix)) {
        error = reply.substr(kErrorPrefix.size());
        if (!error.empty() && error.back() == '\n') error.pop_back();
    } else {
        error = "the bus daemon gave no answer";
    }
    return false;
}

}  // namespace simbus
