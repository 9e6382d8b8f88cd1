// dispatch_fuzz.cpp: sequences of whole calls through the real dispatcher, in-process.
//
// Each input is a script of calls on four connections. A call goes through winnt_sys_1 exactly as the
// runtime hands it over, on a transport whose operations decode the arguments from the script and
// capture the reply instead of writing to a socket; a connection can also be lost in the middle of the
// script, the way the runtime destroys a transport. Handles are random words no fuzzer can guess, so a
// word FFFFFFFF FFFFFFkk anywhere in the arguments is replaced by the kk-th identity replied so far.
//
// Every reply must parse and carry the call's result record, and registrations must agree with their
// events after every call; after the script, every connection is lost and every handle closed, and the
// server must be left with no parked call.
//
// The four connections are four callers under an access policy: root, two local users, and a remote
// host. A call refused by the policy or a quota (reply 13 or 14) must change nothing: the object table,
// the key tree with its registrations, and the files on disk read the same before and after it.
//
// Input, repeated: op (low 2 bits the connection, the rest the procedure; 29..31 lose the connection),
// then a 2-byte big-endian length and that many argument bytes.
#include "client/client.h"
#include "common/access_policy.h"
#include "daemon/daemon.h"
#include "registry/key_tree.h"
#include "registry/registry.h"
#include "rpc/caller.h"
#include "rpc/connection.h"
#include "rpc/dispatch.h"
#include "rpc/proto.h"
#include "rpc/services.h"
#include "sync/internal.h"
#include "sync/sync.h"

#include <ftw.h>
#include <rpc/rpc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <vector>

namespace {

using XpOps = struct __rpc_svcxprt::xp_ops;

constexpr int      kConnections = 4;
constexpr int      kFirstFd = 900;  // never opened here: nothing may do I/O on a fuzzed connection
constexpr uint64_t kPoolMarker = 0xFFFFFFFFFFFFFF00ULL;
// Who calls on each connection, and what the policy lets them do to each other.
constexpr std::array<uint32_t, kConnections> kCallers = {0, 1000, 1001, kRemoteUid};
constexpr char                               kPolicy[] = "allow root all\n"
                                                         "allow uid:1000 objects uid:1001 signal,wait,open\n"
                                                         "allow uid:1001 write HKLM\\SHARED\n"
                                                         "allow * notify HKLM\\WATCHED\n"
                                                         "quota * objects=32 keys=16 value-bytes=2048 registrations=4 "
                                                         "waits=8\n";

struct FakeConnection {
    SVCXPRT transport;  // what the dispatcher sees; its ops are ours until the dispatcher hooks them
    bool    alive;      // false after the connection was lost
};

std::array<FakeConnection, kConnections> g_conns{};
const uint8_t                           *g_args = nullptr;  // argument bytes of the call being dispatched
std::size_t                              g_args_size = 0;
std::vector<uint64_t>                    g_pool;          // identities replied so far, for the marker words
std::array<int, kConnections>            g_parked{};      // calls each connection has waiting for a reply
std::array<int, kConnections>            g_replies{};     // replies each connection got during the current dispatch
uint64_t                                 g_own_word = 0;  // the word replied to the call being dispatched, if any

bool_t FakeRecv(SVCXPRT *, rpc_msg *)
{
    return FALSE;
}
enum xprt_stat FakeStat(SVCXPRT *)
{
    return XPRT_IDLE;
}

// The runtime calls the routines through the generic variadic type; so do these two, as it does.
__attribute__((no_sanitize("function"))) bool_t FakeGetargs(SVCXPRT *, xdrproc_t proc, void *where)
{
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(g_args)), static_cast<u_int>(g_args_size),
                  XDR_DECODE);
    const bool_t ok = proc(&xdrs, where);
    xdr_destroy(&xdrs);
    return ok;
}

// Encodes the reply as the runtime would, parses it back with the client's decoder, and keeps any
// word it carries as a handle for later calls.
bool_t FakeReply(SVCXPRT *transport, rpc_msg *msg)
{
    static std::array<uint8_t, 8192> buffer;
    XDR                              xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(buffer.data()), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    if (!xdr_replymsg(&xdrs, msg)) abort();  // every result record fits and encodes
    const std::span<const uint8_t> out(buffer.data(), xdr_getpos(&xdrs));
    xdr_destroy(&xdrs);
    const auto reply = kst::ParseReply(out);
    if (!reply) abort();
    const int index = transport->xp_fd - kFirstFd;
    if (index < 0 || index >= kConnections) abort();  // a reply through a transport that was never ours
    ++g_replies[index];
    // A reply outside any dispatch (a lost connection's mutex handed on to a waiter) is no call's own.
    if (pClientParameter && transport == pClientParameter->transport && reply->Word()) g_own_word = *reply->Word();
    if (auto word = reply->Word(); word && *word > 288 && g_pool.size() < 256) g_pool.push_back(*word);
    return TRUE;
}

__attribute__((no_sanitize("function"))) bool_t FakeFreeargs(SVCXPRT *, xdrproc_t proc, void *where)
{
    XDR xdrs{};
    xdrs.x_op = XDR_FREE;
    return proc(&xdrs, where);
}

void FakeDestroy(SVCXPRT *transport)
{
    for (auto &conn : g_conns)
        if (&conn.transport == transport) conn.alive = false;
}

bool_t FakeControl(SVCXPRT *, const u_int, void *)
{
    return FALSE;
}

const XpOps                         kFakeOps = {FakeRecv, FakeStat, FakeGetargs, FakeReply, FakeFreeargs, FakeDestroy};
const struct __rpc_svcxprt::xp_ops2 kFakeOps2 = {FakeControl};

// A fresh connection in the slot: same address and descriptor as the one before, as the runtime reuses them.
void Open(int index)
{
    FakeConnection &conn = g_conns[index];
    std::memset(&conn.transport, 0, sizeof conn.transport);
    conn.transport.xp_fd = kFirstFd + index;
    conn.transport.xp_ops = const_cast<XpOps *>(&kFakeOps);
    conn.transport.xp_ops2 = const_cast<struct __rpc_svcxprt::xp_ops2 *>(&kFakeOps2);
    conn.transport.xp_verf = _null_auth;
    conn.alive = true;
}

// Loses the connection the way the runtime does: through whatever destroy operation it carries now.
void Lose(int index)
{
    FakeConnection &conn = g_conns[index];
    if (!conn.alive) return;
    conn.transport.xp_ops->xp_destroy(&conn.transport);
    conn.alive = false;
    g_parked[index] = 0;
}

// Puts replied identities in place of the marker words. Not worth coverage: it is the harness, not the server.
__attribute__((no_sanitize("coverage"))) void PatchHandles(std::vector<uint8_t> &patched)
{
    for (std::size_t at = 0; at + 8 <= patched.size(); at += 4) {
        uint64_t word = 0;
        for (int i = 0; i < 8; ++i)
            word = word << 8 | patched[at + i];
        if ((word & ~0xFFULL) != kPoolMarker || g_pool.empty()) continue;
        const uint64_t handle = g_pool[(word & 0xFF) % g_pool.size()];
        for (int i = 7; i >= 0; --i)
            patched[at + 7 - i] = static_cast<uint8_t>(handle >> (8 * i));
    }
}

void CountRegistrations(const KeyNode *key, std::map<uint64_t, int> &registered)
{
    for (; key; key = key->next_sibling) {
        if (key->notify_event != 0) ++registered[key->notify_event];
        CountRegistrations(key->first_child, registered);
    }
}

// Registrations and their events agree: one that names a live object names an event (a closed event's
// handle is never handed to another object), and each internal event parking a synchronous request
// belongs to one registration, or to none only while a request cancelled by another connection is still
// parked on it: none is shared, and none stays behind once nothing waits on it.
void CheckRegistrations()
{
    std::map<uint64_t, int> registered;
    CountRegistrations(HKEY_CLASS_ROOT, registered);
    CountRegistrations(HKEY_LOCAL_MACHINE, registered);
    for (const auto &[handle, count] : registered)
        if (const ObjectRecord *event = ObjectOfHandle(handle); event && event->type != ObjectType::Event) abort();
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next) {
        const auto found = registered.find(obj->handle);
        const int  owners = found == registered.end() ? 0 : found->second;
        if (obj->identity == 0 && (owners > 1 || (owners == 0 && !obj->waiters))) abort();
    }
}

uint64_t g_digest = 0;  // what DigestEntry has summed so far

void Mix(uint64_t word)
{
    g_digest = (g_digest ^ word) * 0x100000001b3ULL;
}

int DigestEntry(const char *path, const struct stat *info, int, FTW *)
{
    for (const char *p = path; *p; ++p)
        Mix(static_cast<unsigned char>(*p));
    Mix(static_cast<uint64_t>(info->st_size));
    Mix(static_cast<uint64_t>(info->st_mtim.tv_nsec) ^ static_cast<uint64_t>(info->st_mtim.tv_sec));
    return 0;
}

// Everything a call could change, summed: every object's state and waiters, every key with its
// registration, and (for registry calls) every file and directory of the registry on disk.
__attribute__((no_sanitize("coverage"))) uint64_t StateDigest(bool disk)
{
    g_digest = 0xcbf29ce484222325ULL;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next) {
        Mix(obj->handle);
        Mix(static_cast<uint64_t>(obj->ref_count));
        Mix(obj->type == ObjectType::Event   ? obj->event.state
            : obj->type == ObjectType::Mutex ? obj->mutex.owner
                                             : static_cast<uint64_t>(obj->semaphore.count));
        for (const WaiterLink *link = obj->waiters; link; link = link->next)
            Mix(link->waiter->connection);
    }
    ForEachKey([](const KeyNode &key) {
        Mix(key.identity);
        Mix(key.notify_event);
        Mix(key.watch_subtree);
    });
    if (disk) {
        nftw(kClassRootDir, DigestEntry, 16, FTW_PHYS);
        nftw(kLocalMachineDir, DigestEntry, 16, FTW_PHYS);
    }
    return g_digest;
}

bool RepliesWord(uint32_t proc)
{
    return proc != kProcRegQueryValue && proc != kProcRegEnumKey && proc != kProcRegEnumValue &&
           proc != kProcRegQueryInfoKey;
}

void Dispatch(int index, uint32_t proc, const uint8_t *args, std::size_t size)
{
    if (!g_conns[index].alive) Open(index);
    // The caller the kernel would have named at accept.
    if (ConnectionRecord *record = ConnectionOf(&g_conns[index].transport)) record->caller.uid = kCallers[index];
    std::vector<uint8_t> patched(args, args + size);
    PatchHandles(patched);
    g_args = patched.data();
    g_args_size = patched.size();
    svc_req request{};
    request.rq_prog = WINNT_SYS;
    request.rq_vers = EVENT_VER;
    request.rq_proc = proc;
    request.rq_cred = _null_auth;
    request.rq_xprt = &g_conns[index].transport;
    g_replies.fill(0);
    const bool     registry = (proc >= kProcRegOpenKey && proc <= kProcRegFlushKey) || proc >= kProcCancelRegNotify;
    const uint64_t before = StateDigest(registry);
    g_own_word = ~uint64_t{0};
    winnt_sys_1(&request, &g_conns[index].transport);
    // A refusal (13) or a quota (14) leaves everything as it was.
    if (RepliesWord(proc) && (g_own_word == kErrAccessDenied || g_own_word == kErrQuota) &&
        StateDigest(registry) != before)
        abort();
    // A connection hears only about calls it made: its own call's reply, or none when that call
    // parked, and at most one reply for each call it had parked before.
    for (int c = 0; c < kConnections; ++c) {
        int answered = g_replies[c];
        if (c == index) answered = answered == 0 ? -1 : answered - 1;
        if (answered > g_parked[c]) abort();
        g_parked[c] -= answered;
    }
    if (GetLastError() != 0) abort();  // the word is back to 0 between calls
    CheckRegistrations();
}

int RemoveEntry(const char *path, const struct stat *, int, FTW *ftw)
{
    if (ftw->level > 0) remove(path);
    return 0;
}

// Puts the registry back to empty so inputs don't depend on each other.
void ResetRegistry()
{
    // Registrations go with the tree, and the internal events of synchronous ones would stay behind:
    // the server itself unloads the tree only as it ends.
    for (const ObjectRecord *obj = P_EVENT_HEAD, *next; obj; obj = next) {
        next = obj->next;
        if (obj->identity == 0) CloseHandle(obj->handle);
    }
    UnLoadRegistry();
    nftw(kClassRootDir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    nftw(kLocalMachineDir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    SetLocalMachineRoot(kLocalMachineDir);
    LoadRegistry();
}

bool IsRegistryWrite(uint32_t proc)
{
    return proc == kProcRegCreateKey || proc == kProcRegSetValue || proc == kProcRegDeleteKey ||
           proc == kProcRegDeleteValue || proc == kProcRegNotify;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The registry lives at a fixed path: fuzz only where that path is a private scratch tree.
    if (!getenv("KST_FUZZ_SCRATCH")) {
        fprintf(stderr, "dispatch_fuzz writes under /opt/orn/kestrel: run it through fuzz/run (a private namespace)\n");
        exit(2);
    }
    std::string error;
    auto        policy = ParsePolicy(kPolicy, "fuzz", error);
    if (!policy) abort();
    InstallPolicy(std::move(*policy));
    InstallServices();
    ResetRegistry();
    for (int i = 0; i < kConnections; ++i)
        Open(i);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    bool        touched_registry = false;
    std::size_t at = 0;
    for (int calls = 0; at + 3 <= size && calls < 64; ++calls) {
        const int         index = data[at] & 3;
        const uint32_t    op = data[at] >> 2;
        const std::size_t length = std::size_t{data[at + 1]} << 8 | data[at + 2];
        at += 3;
        const std::size_t take = length < size - at ? length : size - at;
        if (op > kLastProc) {
            Lose(index);
        } else {
            touched_registry |= IsRegistryWrite(op);
            Dispatch(index, op, data + at, take);
        }
        at += take;
    }

    // Every connection lost: nothing may stay parked, and every handle closes without a reply.
    for (int i = 0; i < kConnections; ++i)
        Lose(i);
    Open(0);
    for (const uint64_t handle : g_pool) {
        const kst::Bytes word = kst::EncodeWord(handle);
        for (int i = 0; i < 4; ++i)
            Dispatch(0, kProcCloseHandle, word.data(), word.size());
        Dispatch(0, kProcRegCloseKey, word.data(), word.size());
    }
    Lose(0);
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next) {
        if (obj->waiters) abort();                                        // a parked call outlived its connection
        if (obj->type == ObjectType::Mutex && obj->mutex.owner) abort();  // owned by a connection that is gone
    }
    g_pool.clear();
    if (touched_registry) ResetRegistry();
    return 0;
}
