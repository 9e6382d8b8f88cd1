// caller.cpp: the kernel's name for a connection's peer, the policy in force, and quota use per uid.
#include "rpc/caller.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "common/unique.h"
#include "rpc/connection.h"
#include "rpc/dispatch.h"
#include "trace/trace.h"

namespace {

AccessPolicy &Policy()
{
    static AccessPolicy policy;  // no file: present is false, everything allowed
    return policy;
}

using Usage = std::array<uint64_t, kQuotaCount>;
std::unordered_map<uint32_t, Usage> &UsageTable()
{
    static std::unordered_map<uint32_t, Usage> table;  // uids that hold anything
    return table;
}

// The address of a socket address, its family's bytes; nullptr for another family.
const uint8_t *AddressBytes(const sockaddr_storage &address, std::size_t &size)
{
    if (address.ss_family == AF_INET) {
        size = 4;
        return reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in &>(address).sin_addr);
    }
    if (address.ss_family == AF_INET6) {
        size = 16;
        return reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr.s6_addr;
    }
    return nullptr;
}

uint16_t PortOf(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(address).sin_port
                                        : reinterpret_cast<const sockaddr_in6 &>(address).sin6_port;
}

bool IsLoopback(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr) >> 24) == 127;
    return address.ss_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr);
}

// Asks the kernel for the socket at the other end: its local address is our peer's, its remote one ours.
// One request and its answer, never blocking: the kernel answers inside the send.
bool QueryPeerSocket(const sockaddr_storage &local, const sockaddr_storage &peer, uint32_t &uid)
{
    std::size_t    size = 0;
    const uint8_t *peer_bytes = AddressBytes(peer, size);
    std::size_t    local_size = 0;
    const uint8_t *local_bytes = AddressBytes(local, local_size);
    if (!peer_bytes || !local_bytes || size != local_size) return false;
    UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag) {
        static bool told = false;  // once: every accept would say the same
        if (!told)
            TraceLog(1, "ntsys_svc", "svc_run", __LINE__,
                     "access: no socket-diagnostics socket (%s): local callers can't be named\n", strerror(errno));
        told = true;
        return false;
    }
    struct {
        nlmsghdr         header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = PortOf(peer);
    message.request.id.idiag_dport = PortOf(local);
    std::memcpy(message.request.id.idiag_src, peer_bytes, size);
    std::memcpy(message.request.id.idiag_dst, local_bytes, size);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof message))
        return false;
    alignas(nlmsghdr) std::array<char, 8192> answer;
    const ssize_t                            n = recv(diag.get(), answer.data(), answer.size(), MSG_DONTWAIT);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg)))) return false;
    const auto *header = reinterpret_cast<const nlmsghdr *>(answer.data());
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len > static_cast<uint32_t>(n) ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return false;
    const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
    // The kernel matched all four; checking them again costs nothing and keeps a stray answer out.
    if (found->id.idiag_sport != PortOf(peer) || found->id.idiag_dport != PortOf(local)) return false;
    uid = found->idiag_uid;
    return true;
}

std::string AddressText(const sockaddr_storage &address)
{
    std::array<char, INET6_ADDRSTRLEN> text{};
    std::size_t                        size = 0;
    const uint8_t                     *bytes = AddressBytes(address, size);
    if (!bytes || !inet_ntop(address.ss_family, bytes, text.data(), text.size())) return "?";
    return text.data();
}

int g_admitted = 0;  // connections counted now, every uid's

}  // namespace

CallerRecord::~CallerRecord()
{
    if (!counted) return;
    ReturnQuota(uid, Quota::Connections, 1);
    --g_admitted;
}

const AccessPolicy &PolicyInForce() noexcept
{
    return Policy();
}

void InstallPolicy(AccessPolicy policy) noexcept
{
    Policy() = std::move(policy);
}

void IdentifyCaller(int fd, CallerRecord &caller, sockaddr_storage &peer) noexcept
{
    sockaddr_storage local{};
    socklen_t        local_size = sizeof local, peer_size = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0) {
        caller.uid = kUnknownUid;
        return;
    }
    uint32_t uid = 0;
    if (QueryPeerSocket(local, peer, uid)) {
        caller.uid = uid;
        caller.remote = false;
        return;
    }
    // No socket here has those addresses: the peer is another host's, unless it is one of ours that has
    // gone already (then it is a local caller the kernel can no longer name).
    std::size_t    size = 0, local_bytes_size = 0;
    const uint8_t *peer_bytes = AddressBytes(peer, size);
    const uint8_t *local_bytes = AddressBytes(local, local_bytes_size);
    const bool     same_host = IsLoopback(peer) || (peer_bytes && local_bytes && size == local_bytes_size &&
                                                memcmp(peer_bytes, local_bytes, size) == 0);
    caller.remote = !same_host;
    caller.uid = same_host ? kUnknownUid : kRemoteUid;
}

bool AdmitCaller(CallerRecord &caller, const sockaddr_storage &peer, int cap) noexcept
{
    const AccessPolicy &policy = Policy();
    if (caller.remote && !MayCallFrom(policy, peer)) {
        TraceLog(1, "ntsys_svc", "svc_run", __LINE__, "access: uid remote refused connection from %s\n",
                 AddressText(peer).c_str());
        return false;
    }
    if (caller.uid != 0 && policy.reserve_root_connections > 0 &&
        g_admitted >= cap - static_cast<int>(policy.reserve_root_connections)) {
        TraceLog(1, "ntsys_svc", "svc_run", __LINE__,
                 "access: uid %s refused connection: the last %u connections are root's\n", UidText(caller.uid).c_str(),
                 policy.reserve_root_connections);
        return false;
    }
    if (!TakeQuota(caller.uid, Quota::Connections, 1)) {
        SetLastError(0);
        return false;
    }
    caller.counted = true;
    ++g_admitted;
    return true;
}

uint32_t CallerUid() noexcept
{
    const ConnectionRecord *connection = CallerConnection();
    return connection ? connection->caller.uid : kUnknownUid;
}

uint64_t *RefuseCall(uint32_t uid, const char *what, const char *target) noexcept
{
    TraceLog(1, "ntsys_s", "access", __LINE__, "access: uid %s refused %s on %s\n", UidText(uid).c_str(), what, target);
    return SetLastError(kErrAccessDenied);
}

bool TakeQuota(uint32_t uid, Quota quota, uint64_t amount) noexcept
{
    const auto     index = static_cast<std::size_t>(quota);
    const uint64_t limit = QuotaLimit(Policy(), uid, quota);
    try {
        Usage         &usage = UsageTable()[uid];
        const uint64_t used = usage[index];
        if (limit != kNoLimit && (amount > limit || used > limit - amount)) {
            RefuseQuota(uid, quota, limit, used, amount);
            return false;
        }
        usage[index] = used + amount;
    } catch (const std::bad_alloc &) {
        SetLastError(kErrNoMemory);
        return false;
    }
    return true;
}

uint64_t *RefuseQuota(uint32_t uid, Quota quota, uint64_t limit, uint64_t used, uint64_t amount) noexcept
{
    TraceLog(1, "ntsys_s", "access", __LINE__, "access: uid %s past its quota %s=%lu (holds %lu, asks %lu)\n",
             UidText(uid).c_str(), kQuotaNames[static_cast<std::size_t>(quota)], limit, used, amount);
    return SetLastError(kErrQuota);
}

void ReturnQuota(uint32_t uid, Quota quota, uint64_t amount) noexcept
{
    auto found = UsageTable().find(uid);
    if (found == UsageTable().end()) return;
    uint64_t &used = found->second[static_cast<std::size_t>(quota)];
    used = used >= amount ? used - amount : 0;
    for (const uint64_t held : found->second)
        if (held != 0) return;
    UsageTable().erase(found);
}

uint64_t QuotaUsed(uint32_t uid, Quota quota) noexcept
{
    auto found = UsageTable().find(uid);
    return found == UsageTable().end() ? 0 : found->second[static_cast<std::size_t>(quota)];
}
