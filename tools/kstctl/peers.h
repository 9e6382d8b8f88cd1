// peers.h: the local process at the other end of a daemon's TCP connection, from /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kstctl {

// One connection as the daemon lists it: its descriptor and both ends, "a.b.c.d:port".
struct ConnectionEnds {
    int              fd;     // the daemon's descriptor for it
    std::string_view local;  // the daemon's end
    std::string_view peer;   // the client's end
};

struct PeerProcess {
    pid_t       pid = 0;  // 0 when not found
    std::string command;  // its /proc comm
};

// The processes holding the client ends of those connections, by the daemon's descriptor, for those
// found on this host (kstctl runs as root, so every process's descriptors can be read).
std::unordered_map<int, PeerProcess> FindPeerProcesses(const std::vector<ConnectionEnds> &connections);

}  // namespace kstctl
