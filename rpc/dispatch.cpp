// dispatch.cpp: the dispatcher, the reply path, the last-error word and the table of live connections.
//
// A call's RequestRecord is answered at once, or parked by its service routine and answered
// later through the connection's transport. The runtime frees that transport when it destroys
// the connection, so a parked reply must never go out through a dead connection. Every transport
// the dispatcher sees is hooked (destroy_hook.h) so that its destruction tells us first; the
// connection's record (connection.h) then loses its transport, its parked calls are dropped and
// its mutexes handed on, and the record goes. Descriptors and transport addresses are reused at
// once, so each life of a descriptor gets a number of its own (the generation), never reused; it
// is the client identity that mutex owners and waiters record, and a call is live only while its
// life lasts.
#include "rpc/dispatch.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "rpc/caller.h"
#include "rpc/connection.h"
#include "rpc/destroy_hook.h"
#include "rpc/server.h"
#include "rpc/services.h"
#include "rpc/stream.h"
#include "trace/trace.h"

uint64_t       ERROR_CODE = 0;
RequestRecord *pClientParameter = nullptr;
int32_t        IsSendReply = 1;

namespace {

// The record of each connection by its descriptor; pages of entries never used stay untouched.
std::array<ConnectionRecord *, kDescriptorLimit> g_connections{};
uint64_t                                         g_last_generation = 0;
std::array<uint64_t, kLastProc + 2>              g_calls{};  // per procedure, then those beyond the program
ServiceRoutines g_routines{};                                // nullptr until installed; always for the null procedure
void (*g_on_loss)(ConnectionRecord &) noexcept = nullptr;    // drops a lost connection's calls and mutexes
AccessGate  g_gate = nullptr;                                // the access policy's word on a call; none: all run
AccessAfter g_after = nullptr;                               // what a call that ran leaves to count
// The current call's own record once a routine has parked it, its waiter's; read only when the routine
// then returns no reply (a park undone has freed it again and returns the error).
RequestRecord *g_parked_call = nullptr;
// No memory was left for the current call's own record: like a call whose record could not be made,
// it gets no reply at all.
bool g_call_lost = false;

[[nodiscard]] bool InTable(int fd)
{
    return fd >= 0 && fd < kDescriptorLimit;
}

// The connection on fd is gone: its calls are no longer live, what it had parked is dropped and its
// mutexes handed on, each by walking its own list; then the record goes.
void LoseConnection(int fd) noexcept
{
    ConnectionRecord *connection = g_connections[fd];
    connection->transport = nullptr;
    if (g_on_loss) g_on_loss(*connection);
    assert(!connection->parked && !connection->owned && "nothing may point to a record that goes");
    g_connections[fd] = nullptr;
    delete connection;
}

// The runtime destroys a connection: drop what is tied to it while its memory is still valid.
void OnTransportDestroy(SVCXPRT *transport) noexcept
{
    const int fd = transport->xp_fd;
    if (InTable(fd) && g_connections[fd] && g_connections[fd]->transport == transport) LoseConnection(fd);
    SetLastError(0);
}

// Enters a record for the transport; a record still at its descriptor is of a connection that went
// unheard (the runtime destroys a transport before its descriptor comes back), lost here.
void Enter(SVCXPRT *transport, ConnectionRecord *record)
{
    const int fd = transport->xp_fd;
    if (g_connections[fd]) LoseConnection(fd);
    record->transport = transport;
    g_connections[fd] = record;
}

// The life a transport's calls belong to, given the first time it brings a call.
uint64_t TrackConnection(SVCXPRT *transport)
{
    ConnectionRecord *connection = ConnectionOf(transport);
    if (!connection) return 0;
    if (connection->generation == 0) connection->generation = ++g_last_generation;
    return connection->generation;
}

// The record arrived on a connection the runtime has not destroyed since.
bool IsConnectionAlive(const RequestRecord *record)
{
    const ConnectionRecord *connection = ConnectionOfCall(record);
    return connection && connection->transport == record->transport;
}

// Done with a call's decoded arguments: frees what decoding allocated in them.
void ReleaseArguments(RequestRecord *record)
{
    if (record->xdr_argument == reinterpret_cast<xdrproc_t>(xdr_uint64_t)) {  // a word holds nothing to free
        record->args = nullptr;
        return;
    }
    if (!svc_freeargs(record->transport, record->xdr_argument, record->args))
        TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "unable to free arguments");
    record->args = nullptr;
}

// The XDR routine of each record type a row may name.
template <typename T> xdrproc_t XdrOf() = delete;
template <> xdrproc_t           XdrOf<void>()
{
    return nullptr;  // the null procedure's: the dispatcher answers it without the table
}
#define KST_RECORD_XDR(type, routine)                                                                                  \
    template <> xdrproc_t XdrOf<type>()                                                                                \
    {                                                                                                                  \
        return reinterpret_cast<xdrproc_t>(routine);                                                                   \
    }
KST_RECORD_XDR(uint64_t, xdr_uint64_t)
KST_RECORD_XDR(char *, xdr_wrapstring)
KST_RECORD_XDR(create_event_struct, xdr_create_event_struct)
KST_RECORD_XDR(wait_for_multiple_objects_struct, xdr_wait_for_multiple_objects_struct)
KST_RECORD_XDR(registry_open_struct, xdr_registry_open_struct)
KST_RECORD_XDR(registry_query_struct, xdr_registry_query_struct)
KST_RECORD_XDR(registry_set_struct, xdr_registry_set_struct)
KST_RECORD_XDR(registry_notify_struct, xdr_registry_notify_struct)
#undef KST_RECORD_XDR

struct Procedure {
    xdrproc_t   argument;       // decodes the call's arguments
    xdrproc_t   result;         // encodes the reply value
    bool        parks;          // the routine may park the call (return no reply)
    std::size_t argument_size;  // bytes of the argument record, cleared before it is decoded
};

template <typename T> constexpr std::size_t RecordSize()
{
    if constexpr (std::is_void_v<T>)
        return 0;
    else {
        static_assert(sizeof(T) <= sizeof(registry_set_struct),
                      "the dispatcher's argument buffer is the largest record");
        return sizeof(T);
    }
}

// The table of common/procedures.h, with each record type's XDR routine. The routines themselves live
// in the layers above and are handed in (InstallServiceRoutines): rpc/ is linked below them.
const std::array<Procedure, kLastProc + 1> &Procedures()
{
#define KST_PROCEDURE_ENTRY(number, id, name, argument, reply, routine, parks)                                         \
    {XdrOf<argument>(), XdrOf<reply>(), parks, RecordSize<argument>()},
    static const std::array<Procedure, kLastProc + 1> table = {{KST_PROCEDURES(KST_PROCEDURE_ENTRY)}};
#undef KST_PROCEDURE_ENTRY
    return table;
}

}  // namespace

void InstallServiceRoutines(const ServiceRoutines &routines, void (*on_loss)(ConnectionRecord &) noexcept) noexcept
{
    g_routines = routines;
    g_on_loss = on_loss;
}

void InstallAccessGate(AccessGate gate, AccessAfter after) noexcept
{
    g_gate = gate;
    g_after = after;
}

RequestRecord::~RequestRecord()
{
    if (counts_wait) ReturnQuota(wait_uid, Quota::Waits, 1);
}

uint64_t MonotonicMs() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

std::span<const uint64_t, kLastProc + 2> CallCounts() noexcept
{
    return g_calls;
}

uint64_t *SetLastError(uint64_t code) noexcept
{
    ERROR_CODE = code;
    return &ERROR_CODE;
}

uint64_t GetLastError() noexcept
{
    return ERROR_CODE;
}

uint64_t *GetLastErrorAddress() noexcept
{
    return &ERROR_CODE;
}

void GetClientParameter(RequestRecord **record, uint64_t *identity) noexcept
{
    if (record) *record = pClientParameter;
    if (identity) *identity = pClientParameter ? RequestIdentity(pClientParameter) : 0;
}

uint64_t ConnectionOnSocket(int fd) noexcept
{
    return InTable(fd) && g_connections[fd] && g_connections[fd]->transport ? g_connections[fd]->generation : 0;
}

bool AdoptConnection(SVCXPRT *transport, std::unique_ptr<ConnectionRecord> record) noexcept
{
    if (!InTable(transport->xp_fd)) return false;
    SetDestroyListener(OnTransportDestroy);
    Enter(transport, record.release());
    return true;
}

ConnectionRecord *ConnectionOf(SVCXPRT *transport) noexcept
{
    const int fd = transport->xp_fd;
    if (!InTable(fd)) return nullptr;
    if (g_connections[fd] && g_connections[fd]->transport == transport) return g_connections[fd];
    SetDestroyListener(OnTransportDestroy);
    // Without the hook its end would go unheard: such a connection is never taken for live.
    if (!HookTransportDestroy(transport)) return nullptr;
    auto *record = new (std::nothrow) ConnectionRecord{};
    if (record) Enter(transport, record);
    return record;
}

ConnectionRecord *ConnectionOfCall(const RequestRecord *request) noexcept
{
    const int fd = RequestSocket(request);
    if (request->connection == 0 || !InTable(fd) || !g_connections[fd]) return nullptr;
    return g_connections[fd]->generation == request->connection ? g_connections[fd] : nullptr;
}

ConnectionRecord *ConnectionRecordOn(int fd) noexcept
{
    return InTable(fd) ? g_connections[fd] : nullptr;
}

ConnectionRecord *CallerConnection() noexcept
{
    return pClientParameter ? ConnectionOfCall(pClientParameter) : nullptr;
}

std::vector<ConnectionView> SnapshotConnections(int listener)
{
    std::vector<ConnectionView> connections;
    for (int i = 0; i < svc_max_pollfd; ++i) {
        const int fd = svc_pollfd[i].fd;
        if (fd < 0 || fd == listener) continue;
        const ConnectionRecord *record = ConnectionRecordOn(fd);
        ConnectionView          view{fd, ConnectionOnSocket(fd), {}, {}, record ? record->caller.uid : kUnknownUid};
        socklen_t               local = sizeof view.local, peer = sizeof view.peer;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&view.local), &local) != 0) view.local.sin_family = 0;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&view.peer), &peer) != 0) view.peer.sin_family = 0;
        connections.push_back(view);
    }
    std::sort(connections.begin(), connections.end(),
              [](const ConnectionView &a, const ConnectionView &b) { return a.fd < b.fd; });
    return connections;
}

namespace {

// Answers the record's call with value, unless replies are off or its connection is gone, and
// releases its arguments; the record itself stays its owner's.
void Answer(RequestRecord *record, void *value) noexcept
{
    if (!IsConnectionAlive(record)) return;
    if (!value) {
        TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "error in FreeClientParameter\n");
        return;
    }
    if (IsSendReply) {
        // Our replies carry the null verifier: the runtime's may point into the frame of a call that has
        // returned since, and the call being dispatched on this connection needs its own back afterwards.
        SVCXPRT          *transport = record->transport;
        const opaque_auth verifier = std::exchange(transport->xp_verf, _null_auth);
        if (!SendResult(transport, record->xdr_result, value)) {
            TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "send seply error\n");
            svcerr_systemerr(transport);
        }
        transport->xp_verf = verifier;
        if (record->args) ReleaseArguments(record);
    }
}

}  // namespace

std::unique_ptr<RequestRecord> ParkCurrentCall() noexcept
{
    if (!pClientParameter || g_parked_call) return nullptr;
    std::unique_ptr<RequestRecord> own(new (std::nothrow) RequestRecord(*pClientParameter));
    g_parked_call = own.get();
    g_call_lost = !own;
    return own;
}

void FreeClientParameter(RequestRecord *record, void *value) noexcept
{
    if (!record) {
        TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "error in FreeClientParameter\n");
        return;
    }
    Answer(record, value);
    delete record;
}

void winnt_sys_1(svc_req *rqstp, SVCXPRT *transp) noexcept
{
    const uint32_t proc = rqstp->rq_proc;
    ++g_calls[proc <= kLastProc ? proc : kLastProc + 1];
    const uint64_t connection = TrackConnection(transp);
    // The call's record lives here; a routine that parks the call takes a copy of its own (ParkCurrentCall).
    RequestRecord  call{};
    RequestRecord *record = &call;
    pClientParameter = record;
    // Outside a dispatch there is no current call; the record here is gone then, and with it what a
    // routine parked or lost of it (so every dispatch starts with none).
    const auto no_current_call = [](RequestRecord **current) {
        *current = nullptr;
        g_parked_call = nullptr;
        g_call_lost = false;
    };
    const std::unique_ptr<RequestRecord *, decltype(no_current_call)> current(&pClientParameter, no_current_call);
    record->transport = transp;
    record->connection = connection;
    record->socket = transp->xp_fd;
    record->procedure = static_cast<uint16_t>(proc);

    if (proc > kLastProc) {
        svcerr_noproc(transp);
        return;
    }
    if (proc == kProcNull) {
        // xdr_void takes no arguments; the cast goes through the generic function type.
        SendResult(transp, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr);
        return;
    }
    const Procedure &procedure = Procedures()[proc];
    const Routine    routine = g_routines[proc];
    if (!routine) {  // no layer above has handed in its routines: nothing can serve the call
        svcerr_noproc(transp);
        return;
    }
    record->xdr_argument = procedure.argument;
    record->xdr_result = procedure.result;
    // Lives for this dispatch only: a routine that parks the call has taken what it needs from it. Only
    // the record the call decodes is cleared (its decoder allocates where it finds null pointers): a
    // word's eight bytes rather than the largest record's, on the calls that are most of the traffic.
    alignas(8) unsigned char args[sizeof(registry_set_struct)];
    static_assert(std::is_trivially_default_constructible_v<registry_set_struct>);
    std::memset(args, 0, procedure.argument_size);
    record->args = args;
    if (!svc_getargs(transp, procedure.argument, args)) {
        // A string cut short has been released by its decoder already; nothing else allocates.
        svcerr_decode(transp);
        return;
    }
    // A refused call runs nothing: its reply is the refusal, and nothing has changed.
    if (uint64_t *refusal = g_gate ? g_gate(proc, args) : nullptr) {
        Answer(record, refusal);
        SetLastError(0);
        return;
    }
    void *value = routine(args, rqstp);
    if (g_after) g_after(proc, args, value);
    if (value && g_call_lost) {
        ReleaseArguments(record);
    } else if (value) {
        // A park undone (no memory half-way) has dropped its copy: the call is answered from here.
        Answer(record, value);
    } else {
        assert(procedure.parks && g_parked_call && "only a routine that parks the call answers with no reply");
        RequestRecord *parked = g_parked_call;  // its waiter owns it
        // Only a parked call is ever aged, and it parked microseconds after it arrived. The coarse clock
        // (a tick behind at most) costs a call a fraction of the precise one; an age is never short.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        parked->received_ms = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                                                    static_cast<uint64_t>(now.tv_nsec) / 1000000);
        // Counted while parked; the gate kept the uid within its quota before the call ran.
        parked->wait_uid = CallerUid();
        parked->counts_wait = PolicyInForce().present && TakeQuota(parked->wait_uid, Quota::Waits, 1);
        ReleaseArguments(parked);
    }
    SetLastError(0);
}
