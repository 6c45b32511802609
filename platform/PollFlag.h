// A level flag that poll() can watch: its descriptor is readable from Raise until Clear.
// Any thread may raise or clear it.
#pragma once

#include "platform/UniqueFd.h"

namespace platform {

class PollFlag {
public:
    PollFlag();  // check IsValid(): making the descriptor can fail
    bool IsValid() const { return m_fd.IsValid(); }
    int Fd() const { return m_fd.Get(); }

    void Raise();
    void Clear();

private:
    UniqueFd m_fd;
};

}  // namespace platform
