// A frame set is complete when every camera's frame is in it.
#include "session/FrameSet.h"

#include <algorithm>

namespace kestrix::session {

bool FrameSet::Complete() const {
    return std::all_of(members.begin(), members.end(), [](const Member& m) { return m.present; });
}

}  // namespace kestrix::session
