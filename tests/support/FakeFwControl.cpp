// One connection per command: the fake kernel answers each line with one line.
#include "tests/support/FakeFwControl.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fakefw {

std::string SendCommand(const std::string& socketPath, const std::string& command) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return "error socket path too long";
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("error socket: ") + std::strerror(errno);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        answer = "error cannot reach " + socketPath + ": " + std::strerror(errno);
    } else {
        const std::string line = command + "\n";
        if (::write(fd, line.data(), line.size()) == ssize_t(line.size())) {
            char c = 0;
            while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
        }
        if (answer.empty()) answer = "error no answer from " + socketPath;
    }
    ::close(fd);
    return answer;
}

}  // namespace fakefw
