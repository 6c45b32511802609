// The per-user folder in which every endpoint of the user is published as a listening socket
// named after its decimal handle: $XDG_RUNTIME_DIR/kestrix-endpoints, else
// /tmp/kestrix-endpoints-<uid>, private to the user (0700). A socket file whose process died
// refuses connections; it is stale and may be reclaimed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/MessageEndpoint.h"
#include "platform/UniqueFd.h"

namespace platform {

class EndpointDirectory {
public:
    static const std::filesystem::path& Path();
    static std::string SocketPath(EndpointHandle handle);

    struct Claim {
        EndpointHandle handle = 0;
        UniqueFd listener;
    };
    // Picks a random handle no live endpoint holds and listens on its socket; empty when the
    // folder is unusable (not ours, not private, path too long) or no handle could be claimed.
    static std::optional<Claim> ClaimHandle();
    static void Unpublish(EndpointHandle handle);
};

}  // namespace platform
