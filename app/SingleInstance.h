// One running copy per user: the first copy holds a lock that dies with its process and
// listens on a local socket; a later copy asks it there to raise its window, then ends.
// Both live in XDG_RUNTIME_DIR (else /tmp), named after the program and the user.
#pragma once

#include <QObject>

#include <chrono>
#include <string>

#include "platform/UniqueFd.h"

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    SingleInstance();
    ~SingleInstance() override;

    // Takes the lock; false when another live copy holds it. Needs no Qt application.
    bool Claim();
    // Asks the copy that holds the lock to raise its window, waiting at most timeout for its
    // answer; false when it did not answer. Needs no Qt application.
    bool AskFirstToRaise(std::chrono::milliseconds timeout) const;
    // Listens for later copies (after Claim, with a Qt application); false when it cannot.
    bool Listen();

    std::string LockPath() const;
    std::string SocketPath() const;

signals:
    void RaiseRequested();

private:
    void OnConnection();

    platform::UniqueFd m_lock;
    QLocalServer* m_pServer = nullptr;
};
