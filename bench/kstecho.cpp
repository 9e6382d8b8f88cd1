// kstecho.cpp: the floor the benchmark holds the daemon's round trips against: a single-threaded poll
// server that answers every record-marked call with a successful reply of the size the daemon's reply
// to that procedure has, its results all zero. It does no work per call beyond reading and writing, so a
// typed client call costs against it what the wire alone costs.
//
// Given a key's directory and a size, it also does the bare file work of a value before it answers: a
// value write (the whole new content, `size` bytes, to a new file renamed over the value) for every
// RegSetValueEx call, a value read for every RegQueryValueEx call. The benchmark's set+query floor then
// pays for the file work where the daemon pays for it: in the server, between the call and the reply.
//
//   kstecho <port> [<directory> <size>]    listens on 127.0.0.1:<port> until killed
#include "bench/file_work.h"
#include "client/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;  // one recv per readable connection, as large as any call
constexpr std::size_t kMaxRecord = 64 * 1024;  // a longer record ends the connection

// Result bytes of the daemon's reply to proc: none for the null procedure, a registry_query_struct for a
// value query, one 64-bit word for everything the benchmark calls besides.
std::size_t ResultSize(uint32_t proc)
{
    if (proc == kst::proc::kNull) return 0;
    if (proc == kst::proc::kRegQueryValue) return 8 + 8 + 4 * kst::kValueDataChars;
    return 8;
}

// The whole reply record: record mark, xid, accepted, AUTH_NONE verifier, SUCCESS, zero results.
// Built once per size; only the xid changes between replies.
class ReplyRecords {
public:
    const kst::Bytes &For(uint32_t xid, uint32_t proc)
    {
        kst::Bytes &record = ResultSize(proc) == 0 ? null_ : ResultSize(proc) == 8 ? word_ : query_;
        if (record.empty()) {
            kst::Encoder reply;
            reply.U32(0).U32(1).U32(kst::kMsgAccepted).U32(0).U32(0).U32(kst::kSuccess);
            reply.Raw(std::vector<uint8_t>(ResultSize(proc), 0));
            record = kst::Fragment(reply.bytes());
        }
        const kst::Bytes id = kst::Encoder().U32(xid).Take();
        std::copy(id.begin(), id.end(), record.begin() + 4);
        return record;
    }

private:
    kst::Bytes null_, word_, query_;  // one template per result size
};

// Writes all of bytes to a non-blocking socket, waiting for room when the peer reads slowly.
bool SendAll(int fd, const kst::Bytes &bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

struct Peer {
    UniqueFd   fd;      // the accepted connection, non-blocking
    kst::Bytes buffer;  // received bytes not yet part of an answered record
};

// Where a value's file work is done; an empty directory: none.
struct FileWork {
    std::string directory;
    std::string content;
};

// The file work the daemon does for a call to proc; false when it failed.
bool DoFileWork(const FileWork &work, uint32_t proc)
{
    if (work.directory.empty()) return true;
    if (proc == kst::proc::kRegSetValue) return kst::bench::WriteValueFile(work.directory, work.content);
    if (proc == kst::proc::kRegQueryValue) return kst::bench::ReadValueFile(work.directory, work.content.size());
    return true;
}

// Answers every complete record in the peer's buffer; false when the connection must end.
bool AnswerRecords(Peer &peer, ReplyRecords &replies, const FileWork &work)
{
    std::size_t at = 0;
    while (peer.buffer.size() - at >= 4) {
        const uint32_t    mark = kst::Decoder(std::span(peer.buffer).subspan(at, 4)).U32();
        const std::size_t len = mark & 0x7FFFFFFFu;
        // Calls from the benchmark are single fragments; anything else is not worth echoing.
        if (!(mark & 0x80000000u) || len < 24 || len > kMaxRecord) return false;
        if (peer.buffer.size() - at - 4 < len) break;
        kst::Decoder   call(std::span(peer.buffer).subspan(at + 4, 24));
        const uint32_t xid = call.U32();
        call.Skip(16);  // message type, RPC version, program, version
        const uint32_t proc = call.U32();
        if (!DoFileWork(work, proc) || !SendAll(peer.fd.get(), replies.For(xid, proc))) return false;
        at += 4 + len;
    }
    peer.buffer.erase(peer.buffer.begin(), peer.buffer.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const long port = argc == 2 || argc == 4 ? std::strtol(argv[1], nullptr, 10) : 0;
    const long size = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    FileWork   work;
    if (argc == 4 && size > 0 && size <= 1024) work = {argv[2], std::string(static_cast<std::size_t>(size), '\1')};
    UniqueFd    listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (port <= 0 || port > 65535 || (argc == 4 && work.directory.empty()) || !listener ||
        bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener.get(), 128) != 0) {
        std::fprintf(stderr, "usage: kstecho <port> [<directory> <size 1..1024>]; cannot listen on 127.0.0.1:%ld: %s\n",
                     port, strerror(errno));
        return 2;
    }
    std::vector<Peer>    peers;
    std::vector<pollfd>  fds;
    std::vector<uint8_t> chunk(kReadChunk);
    ReplyRecords         replies;
    for (;;) {
        fds.assign(1, pollfd{listener.get(), POLLIN, 0});
        for (const Peer &p : peers)
            fds.push_back(pollfd{p.fd.get(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return 1;
        // Peers first, by index: an accepted peer joins the poll set on the next pass.
        for (std::size_t i = fds.size() - 1; i >= 1; --i) {
            if (fds[i].revents == 0) continue;
            Peer         &peer = peers[i - 1];
            const ssize_t n = recv(peer.fd.get(), chunk.data(), chunk.size(), 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            bool keep = n > 0;
            if (keep) {
                peer.buffer.insert(peer.buffer.end(), chunk.begin(), chunk.begin() + n);
                keep = AnswerRecords(peer, replies, work);
            }
            if (!keep) peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i - 1));
        }
        if (fds[0].revents & POLLIN) {
            for (int fd; (fd = accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                peers.push_back(Peer{UniqueFd(fd), {}});
            }
        }
    }
}
