// peers.cpp: finds a connection's client process: the kernel's TCP table gives the inode of the socket
// whose local address is the client's end and whose remote address is the daemon's, and the process
// holding that socket shows it among its descriptors under /proc.
#include "tools/kstctl/peers.h"

#include "common/unique.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace kstctl {
namespace {

struct Address {
    unsigned raw;   // the address as stored, in network order: as the TCP table prints it
    unsigned port;  // in host order
};

// "a.b.c.d:port"; false for anything else (such as "-", an end the daemon could not read).
bool ParseAddress(std::string_view text, Address &out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string host(text.substr(0, colon));
    in_addr           address{};
    const auto        port = text.substr(colon + 1);
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 ||
        std::from_chars(port.data(), port.data() + port.size(), out.port).ptr != port.data() + port.size())
        return false;
    out.raw = address.s_addr;
    return true;
}

// Client-side socket inodes of the connections, by the daemon's descriptor.
std::unordered_map<unsigned long, int> PeerInodes(const std::vector<ConnectionEnds> &connections)
{
    std::unordered_map<unsigned long, int> inodes;
    UniqueFile                             table(fopen("/proc/net/tcp", "r"));
    if (!table) return inodes;
    struct Ends {
        int     fd;           // the daemon's descriptor
        Address local, peer;  // the daemon's end and the client's
    };
    std::vector<Ends> ends;
    for (const ConnectionEnds &c : connections) {
        Ends e{c.fd, {}, {}};
        if (ParseAddress(c.local, e.local) && ParseAddress(c.peer, e.peer)) ends.push_back(e);
    }
    std::array<char, 512> line;
    while (fgets(line.data(), static_cast<int>(line.size()), table.get())) {
        unsigned      local_addr = 0, local_port = 0, remote_addr = 0, remote_port = 0;
        unsigned long inode = 0;
        if (sscanf(line.data(), " %*u: %8X:%4X %8X:%4X %*x %*s %*s %*s %*u %*u %lu", &local_addr, &local_port,
                   &remote_addr, &remote_port, &inode) != 5 ||
            inode == 0)
            continue;
        for (const Ends &e : ends)
            if (local_addr == e.peer.raw && local_port == e.peer.port && remote_addr == e.local.raw &&
                remote_port == e.local.port)
                inodes[inode] = e.fd;
    }
    return inodes;
}

// The command name of a process, as /proc/PID/comm gives it, without its newline.
std::string CommandOf(pid_t pid)
{
    std::array<char, 64> path, name{};
    snprintf(path.data(), path.size(), "/proc/%d/comm", pid);
    UniqueFile comm{fopen(path.data(), "r")};
    if (!comm || !fgets(name.data(), static_cast<int>(name.size()), comm.get())) return {};
    std::string command = name.data();
    if (!command.empty() && command.back() == '\n') command.pop_back();
    return command;
}

}  // namespace

std::unordered_map<int, PeerProcess> FindPeerProcesses(const std::vector<ConnectionEnds> &connections)
{
    std::unordered_map<int, PeerProcess> found;
    const auto                           inodes = PeerInodes(connections);
    if (inodes.empty()) return found;
    UniqueDir   proc(opendir("/proc"));
    const pid_t self = getpid();
    while (proc && found.size() < inodes.size()) {
        const dirent *entry = readdir(proc.get());
        if (!entry) break;
        pid_t       pid = 0;
        const char *end = entry->d_name + strlen(entry->d_name);
        if (std::from_chars(entry->d_name, end, pid).ptr != end || pid <= 0 || pid == self) continue;
        std::array<char, 64> path;
        snprintf(path.data(), path.size(), "/proc/%d/fd", pid);
        UniqueDir dir(opendir(path.data()));
        while (dir) {
            const dirent *fd_entry = readdir(dir.get());
            if (!fd_entry) break;
            std::array<char, 96> link_path, target{};
            snprintf(link_path.data(), link_path.size(), "/proc/%d/fd/%.20s", pid, fd_entry->d_name);
            const ssize_t n = readlink(link_path.data(), target.data(), target.size() - 1);
            unsigned long inode = 0;
            if (n <= 0 || sscanf(target.data(), "socket:[%lu]", &inode) != 1) continue;
            const auto it = inodes.find(inode);
            if (it == inodes.end() || found.contains(it->second)) continue;
            found[it->second] = {pid, CommandOf(pid)};
        }
    }
    return found;
}

}  // namespace kstctl
