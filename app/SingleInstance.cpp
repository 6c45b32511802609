// The single-instance lock and the raise request between copies.
#include "app/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "session/CameraInfo.h"

namespace {

constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";

// One connect-and-ask attempt; true once the first copy answered.
bool AskOnce(const std::string& path, int timeoutMs) {
    platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    if (::send(fd.Get(), kRaise, sizeof(kRaise) - 1, MSG_NOSIGNAL) != ssize_t(sizeof(kRaise) - 1))
        return false;
    pollfd poller{fd.Get(), POLLIN, 0};
    char answer[16] = {};
    return ::poll(&poller, 1, timeoutMs) == 1 &&
           ::recv(fd.Get(), answer, sizeof(answer) - 1, 0) > 0 &&
           std::strncmp(answer, kRaised, sizeof(kRaised) - 1) == 0;
}

}  // namespace

SingleInstance::SingleInstance(std::string key) : m_strKey(std::move(key)) {}
SingleInstance::~SingleInstance() = default;

std::string SingleInstance::BaseName() const {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
    const std::string name = dir + "/kestrixview-" + std::to_string(::getuid());
    return m_strKey.empty() ? name : name + "-" + m_strKey;
}

std::string SingleInstance::CameraKey(int index, std::uint64_t guid) {
    if (guid != 0) return kestrix::session::CameraInfo::GuidText(guid);
    return index == 0 ? std::string() : "camera" + std::to_string(index);
}

std::string SingleInstance::LockPath() const { return BaseName() + ".lock"; }
std::string SingleInstance::SocketPath() const { return BaseName() + ".sock"; }

bool SingleInstance::Claim() {
    // flock goes with the process however it ends, so a crashed copy never blocks the next.
    platform::UniqueFd fd(::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) return true;  // no lock can be had: run rather than refuse
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
    m_lock = std::move(fd);
    return true;
}

bool SingleInstance::AskFirstToRaise(std::chrono::milliseconds timeout) const {
    // The first copy may hold the lock but not listen yet: try again until the time is up.
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        if (AskOnce(SocketPath(), int(timeout.count()))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

bool SingleInstance::Move(const std::string& key) {
    if (key == m_strKey) return true;
    SingleInstance next(key);
    if (!next.Claim()) return false;
    if (m_pServer != nullptr) m_pServer->close();  // removes the old socket
    m_lock = std::move(next.m_lock);  // the old lock goes with its descriptor
    m_strKey = key;
    return Listen();
}

bool SingleInstance::Listen() {
    if (m_pServer == nullptr) {
        m_pServer = new QLocalServer(this);
        m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
        connect(m_pServer, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    }
    // Holding the lock, any socket left there belongs to a copy that is gone.
    QLocalServer::removeServer(QString::fromStdString(SocketPath()));
    return m_pServer->listen(QString::fromStdString(SocketPath()));
}

void SingleInstance::OnConnection() {
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->readLine().startsWith("raise")) return;
            emit RaiseRequested();
            socket->write(kRaised);
            socket->flush();
        });
    }
}
