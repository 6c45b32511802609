// SIGTERM, SIGINT and SIGHUP delivered through Qt's loop: the handler only writes the signal's
// number into a pipe, and the window's thread reads it and ends the program in order (the
// recording finished, the camera released, a private bus stopped).
//
// Threading: one object per process, on the window's thread. A second signal of the same kind
// while the first is handled ends the process at once (the default action comes back).
#pragma once

#include <QObject>

#include "platform/UniqueFd.h"

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;  // the handlers go back to the default
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe or a handler could not be set up.
    bool IsValid() const { return m_bValid; }

signals:
    void Received(int signal);

private:
    void OnReadable();

    platform::UniqueFd m_readEnd;
    platform::UniqueFd m_writeEnd;
    QSocketNotifier* m_pNotifier = nullptr;
    bool m_bValid = false;
};
