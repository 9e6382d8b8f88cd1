// dispatch.cpp: the dispatcher, the reply path, the last-error word and the table of live connections.
//
// A call's RequestRecord is answered at once, or parked by its service routine and answered
// later through the connection's transport. The runtime frees that transport when it destroys
// the connection, so a parked reply must never go out through a dead connection. Every transport
// the dispatcher sees is hooked (destroy_hook.h) so that its destruction tells us first; the table
// below then forgets the connection, its parked calls are dropped and its mutexes handed on.
// Descriptors and transport addresses are reused at once, so each life of a descriptor gets a
// number of its own (the generation), never reused; it is the client identity that mutex owners
// and waiters record, and a record is live only while its life lasts.
#include "rpc/dispatch.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "rpc/control.h"
#include "rpc/destroy_hook.h"
#include "rpc/loop.h"
#include "rpc/server.h"
#include "rpc/services.h"
#include "sync/sync.h"
#include "trace/trace.h"

uint64_t ERROR_CODE = 0;
RequestRecord *pClientParameter = nullptr;
int32_t IsSendReply = 1;

namespace {

struct ConnectionEntry {
    SVCXPRT *transport;   // live transport on this descriptor, nullptr when none
    uint64_t generation;  // life of the descriptor; never reused
};

// One entry per descriptor the server may ever hold; pages of entries never used stay untouched.
std::array<ConnectionEntry, kDescriptorLimit> g_connections{};
uint64_t g_last_generation = 0;

[[nodiscard]] bool InTable(int fd) { return fd >= 0 && fd < kDescriptorLimit; }

// The runtime destroys a connection: drop what is tied to it while its memory is still valid.
void OnTransportDestroy(SVCXPRT *transport) noexcept
{
    const int fd = transport->xp_fd;
    if (InTable(fd) && g_connections[fd].transport == transport) {
        const uint64_t identity = g_connections[fd].generation;
        g_connections[fd].transport = nullptr;
        DiscardWaitersOf(identity);
        ReleaseMutexesOwnedBy(identity);
    }
    SetLastError(0);
}

// Hooks a transport the first time it brings a call and returns the life its calls belong to.
uint64_t TrackConnection(SVCXPRT *transport)
{
    const int fd = transport->xp_fd;
    if (!InTable(fd)) return 0;
    if (g_connections[fd].transport != transport) {
        SetDestroyListener(OnTransportDestroy);
        // Without the hook its end would go unheard: such a connection is never taken for live.
        if (!HookTransportDestroy(transport)) return 0;
        g_connections[fd] = {transport, ++g_last_generation};
    }
    return g_connections[fd].generation;
}

// The record arrived on a connection the runtime has not destroyed since.
bool IsConnectionAlive(const RequestRecord *record)
{
    const int fd = RequestSocket(record);
    return record->connection != 0 && InTable(fd) && g_connections[fd].transport == record->transport &&
           g_connections[fd].generation == record->connection;
}

// Done with a call's decoded arguments: frees what decoding allocated in them.
void ReleaseArguments(RequestRecord *record)
{
    if (!svc_freeargs(record->transport, record->xdr_argument, record->args))
        TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "unable to free arguments");
    record->args = nullptr;
}

using Routine = void *(*)(void *args, svc_req *rqstp) noexcept;

template <typename T>
struct RoutineArg;
template <typename R, typename A>
struct RoutineArg<R *(*)(A *, svc_req *) noexcept> {
    using type = A;
};

// Calls a typed service routine on the argument area.
template <auto F>
void *Invoke(void *args, svc_req *rqstp) noexcept
{
    return F(static_cast<typename RoutineArg<decltype(F)>::type *>(args), rqstp);
}

struct Procedure {
    xdrproc_t argument;  // decodes the call's arguments
    xdrproc_t result;    // encodes the reply value
    Routine   routine;
};

const std::array<Procedure, kLastProc + 1> &Procedures()
{
    const auto word = reinterpret_cast<xdrproc_t>(xdr_uint64_t);
    const auto string = reinterpret_cast<xdrproc_t>(xdr_wrapstring);
    const auto create = reinterpret_cast<xdrproc_t>(xdr_create_event_struct);
    const auto wait = reinterpret_cast<xdrproc_t>(xdr_wait_for_multiple_objects_struct);
    const auto open = reinterpret_cast<xdrproc_t>(xdr_registry_open_struct);
    const auto query = reinterpret_cast<xdrproc_t>(xdr_registry_query_struct);
    const auto set = reinterpret_cast<xdrproc_t>(xdr_registry_set_struct);
    const auto notify = reinterpret_cast<xdrproc_t>(xdr_registry_notify_struct);
    static const std::array<Procedure, kLastProc + 1> table = {{
        {nullptr, nullptr, nullptr},  // the null procedure is answered by the dispatcher
        {create, word, Invoke<create_event_rpc_1_svc>},
        {word, word, Invoke<set_event_rpc_1_svc>},
        {word, word, Invoke<reset_event_rpc_1_svc>},
        {string, word, Invoke<open_event_rpc_1_svc>},
        {word, word, Invoke<close_handle_rpc_1_svc>},
        {word, word, Invoke<wait_for_single_object_rpc_1_svc>},
        {wait, word, Invoke<wait_for_multiple_objects_rpc_1_svc>},
        {open, word, Invoke<reg_open_key_ex_rpc_1_svc>},
        {word, word, Invoke<reg_close_key_rpc_1_svc>},
        {open, word, Invoke<reg_delete_key_rpc_1_svc>},
        {open, word, Invoke<reg_create_key_ex_rpc_1_svc>},
        {open, query, Invoke<reg_query_value_ex_rpc_1_svc>},
        {set, word, Invoke<reg_set_value_ex_rpc_1_svc>},
        {notify, word, Invoke<reg_notify_change_key_value_rpc_1_svc>},
        {word, word, Invoke<reg_flush_key_rpc_1_svc>},
        {create, word, Invoke<create_mutex_rpc_1_svc>},
        {string, word, Invoke<open_mutex_rpc_1_svc>},
        {word, word, Invoke<release_mutex_rpc_1_svc>},
        {create, word, Invoke<create_semaphore_rpc_1_svc>},
        {string, word, Invoke<open_semaphore_rpc_1_svc>},
        {notify, word, Invoke<release_semaphore_rpc_1_svc>},
        {word, word, Invoke<timeout_wait_for_single_object_rpc_1_svc>},
        {wait, word, Invoke<timeout_wait_for_multiple_objects_rpc_1_svc>},
        {notify, word, Invoke<timeout_reg_notify_change_key_value_rpc_1_svc>},
        {open, word, Invoke<reg_delete_value_rpc_1_svc>},
        {notify, open, Invoke<reg_enum_key_ex__rpc_1_svc>},
        {notify, set, Invoke<reg_enum_value__rpc_1_svc>},
        {word, notify, Invoke<reg_query_info_key_rpc_1_svc>},
    }};
    return table;
}

}  // namespace

uint64_t *SetLastError(uint64_t code) noexcept
{
    ERROR_CODE = code;
    return &ERROR_CODE;
}

uint64_t GetLastError() noexcept { return ERROR_CODE; }

uint64_t *GetLastErrorAddress() noexcept { return &ERROR_CODE; }

void GetClientParameter(RequestRecord **record, uint64_t *identity) noexcept
{
    if (record) *record = pClientParameter;
    if (identity) *identity = pClientParameter ? RequestIdentity(pClientParameter) : 0;
}

uint64_t ConnectionOnSocket(int fd) noexcept
{
    return InTable(fd) && g_connections[fd].transport ? g_connections[fd].generation : 0;
}

void FreeClientParameter(RequestRecord *record, void *value) noexcept
{
    if (record && !IsConnectionAlive(record)) {
        delete record;
        return;
    }
    if (!value || !record) {
        TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "error in FreeClientParameter\n");
        return;
    }
    if (IsSendReply) {
        // Our replies carry the null verifier: the runtime's may point into the frame of a call that has
        // returned since, and the call being dispatched on this connection needs its own back afterwards.
        SVCXPRT *transport = record->transport;
        const opaque_auth verifier = std::exchange(transport->xp_verf, _null_auth);
        if (!svc_sendreply(transport, record->xdr_result, value)) {
            TraceLog(1, "ntsys_svc", "FreeClientParameter", __LINE__, "send seply error\n");
            svcerr_systemerr(transport);
        }
        transport->xp_verf = verifier;
        if (record->args) ReleaseArguments(record);
    }
    delete record;
}

void winnt_sys_1(svc_req *rqstp, SVCXPRT *transp) noexcept
{
    CountCall(rqstp->rq_proc);
    const uint64_t connection = TrackConnection(transp);
    std::unique_ptr<RequestRecord> record(new (std::nothrow) RequestRecord{});
    pClientParameter = record.get();
    if (!record) return;  // no memory: the call goes unanswered, the server goes on

    record->transport = transp;
    record->connection = connection;
    record->socket = transp->xp_fd;
    record->procedure = rqstp->rq_proc;
    record->received_ms = MonotonicMs();

    const uint32_t proc = rqstp->rq_proc;
    if (proc > kLastProc) {
        svcerr_noproc(transp);
        return;
    }
    if (proc == kProcNull) {
        // xdr_void takes no arguments; the cast goes through the generic function type.
        svc_sendreply(transp, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr);
        return;
    }
    const Procedure &procedure = Procedures()[proc];
    record->xdr_argument = procedure.argument;
    record->xdr_result = procedure.result;
    // Lives for this dispatch only: a routine that parks the call has taken what it needs from it.
    alignas(8) unsigned char args[sizeof(registry_set_struct)] = {};
    record->args = args;
    if (!svc_getargs(transp, procedure.argument, args)) {
        // A string cut short has been released by its decoder already; nothing else allocates.
        svcerr_decode(transp);
        return;
    }
    if (void *value = procedure.routine(args, rqstp)) {
        FreeClientParameter(record.release(), value);
    } else {
        RequestRecord *parked = record.release();  // the waiter owns it now
        ReleaseArguments(parked);
    }
    SetLastError(0);
}
