// One running copy per user and camera: the first copy holds a lock that dies with its process
// and listens on a local socket; a later copy for the same camera asks it there to raise its
// window, then ends. Both live in XDG_RUNTIME_DIR (else /tmp), named after the program, the
// user and the camera's key.
#pragma once

#include <QObject>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // key: the camera's; empty for camera 0.
    explicit SingleInstance(std::string key = {});
    ~SingleInstance() override;

    // Takes the lock; false when another live copy holds it. Needs no Qt application.
    bool Claim();
    // Asks the copy that holds the lock to raise its window, waiting at most timeout for its
    // answer; false when it did not answer. Needs no Qt application.
    bool AskFirstToRaise(std::chrono::milliseconds timeout) const;
    // Listens for later copies (after Claim, with a Qt application); false when it cannot.
    bool Listen();
    // Becomes the copy for another camera: takes that key's lock and listens there, letting the
    // old key go. False, keeping the old key, when another live copy holds the new one.
    bool Move(const std::string& key);

    // The key of a camera: its GUID's when one is given, else its index's; empty for camera 0,
    // whose copies keep the names they had before cameras could be chosen.
    static std::string CameraKey(int index, std::uint64_t guid = 0);

    std::string LockPath() const;
    std::string SocketPath() const;

signals:
    void RaiseRequested();

private:
    void OnConnection();

    std::string BaseName() const;

    std::string m_strKey;
    platform::UniqueFd m_lock;
    QLocalServer* m_pServer = nullptr;
};
