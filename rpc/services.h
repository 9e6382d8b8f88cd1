// services.h: the 28 service routines, and the table of them the dispatcher is handed. Each returns its
// reply value, or nullptr when the call is parked. They are defined in sync/ and registry/, above the
// dispatcher: the layer above them all builds the table (daemon/services.cpp) and installs it.
#pragma once

#include "rpc/connection.h"
#include "rpc/proto.h"

#include <array>
#include <cstdint>
#include <type_traits>

// A service routine as the dispatcher calls it: on the decoded argument area.
using Routine = void *(*)(void *args, svc_req *rqstp) noexcept;
using ServiceRoutines = std::array<Routine, kLastProc + 1>;

// Calls a typed service routine on the argument area.
template <typename Argument, auto F> void *Invoke(void *args, svc_req *rqstp) noexcept
{
    return F(static_cast<Argument *>(args), rqstp);
}

// The routine of a row of common/procedures.h, once its types are seen to be the row's; the null
// procedure has none (the dispatcher answers it).
template <typename Argument, typename Reply, auto F> constexpr Routine RoutineOf()
{
    if constexpr (std::is_null_pointer_v<decltype(F)>) {
        return nullptr;
    } else {
        static_assert(std::is_same_v<decltype(F), Reply *(*)(Argument *, svc_req *) noexcept>,
                      "a routine takes and returns the records its row names");
        return Invoke<Argument, F>;
    }
}

// Hands the dispatcher its routines, by procedure number, and what to do with a lost connection's
// parked calls and mutexes before its record goes.
void InstallServiceRoutines(const ServiceRoutines &routines, void (*on_loss)(ConnectionRecord &) noexcept) noexcept;

// What the access policy says of a call, before its routine runs: nullptr to run it, or the refusal's
// reply (the last-error word, 13 or 14) to send instead; and what a call that ran leaves to count (its
// reply value, nullptr when parked). The layer above them all installs both; none means everything runs.
using AccessGate = uint64_t *(*)(uint32_t proc, void *args) noexcept;
using AccessAfter = void (*)(uint32_t proc, void *args, void *reply) noexcept;
void InstallAccessGate(AccessGate gate, AccessAfter after) noexcept;

// Objects.
uint64_t *create_event_rpc_1_svc(create_event_struct *argp, svc_req *rqstp) noexcept;
uint64_t *set_event_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *reset_event_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *open_event_rpc_1_svc(char **argp, svc_req *rqstp) noexcept;
uint64_t *close_handle_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *wait_for_single_object_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *wait_for_multiple_objects_rpc_1_svc(wait_for_multiple_objects_struct *argp, svc_req *rqstp) noexcept;
uint64_t *create_mutex_rpc_1_svc(create_event_struct *argp, svc_req *rqstp) noexcept;
uint64_t *open_mutex_rpc_1_svc(char **argp, svc_req *rqstp) noexcept;
uint64_t *release_mutex_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *create_semaphore_rpc_1_svc(create_event_struct *argp, svc_req *rqstp) noexcept;
uint64_t *open_semaphore_rpc_1_svc(char **argp, svc_req *rqstp) noexcept;
uint64_t *release_semaphore_rpc_1_svc(registry_notify_struct *argp, svc_req *rqstp) noexcept;
uint64_t *timeout_wait_for_single_object_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *timeout_wait_for_multiple_objects_rpc_1_svc(wait_for_multiple_objects_struct *argp, svc_req *rqstp) noexcept;

// Registry.
uint64_t              *reg_open_key_ex_rpc_1_svc(registry_open_struct *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_close_key_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_delete_key_rpc_1_svc(registry_open_struct *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_create_key_ex_rpc_1_svc(registry_open_struct *argp, svc_req *rqstp) noexcept;
registry_query_struct *reg_query_value_ex_rpc_1_svc(registry_open_struct *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_set_value_ex_rpc_1_svc(registry_set_struct *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_notify_change_key_value_rpc_1_svc(registry_notify_struct *argp, svc_req *rqstp) noexcept;
uint64_t              *reg_flush_key_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
uint64_t *timeout_reg_notify_change_key_value_rpc_1_svc(registry_notify_struct *argp, svc_req *rqstp) noexcept;
uint64_t *reg_delete_value_rpc_1_svc(registry_open_struct *argp, svc_req *rqstp) noexcept;
registry_open_struct   *reg_enum_key_ex__rpc_1_svc(registry_notify_struct *argp, svc_req *rqstp) noexcept;
registry_set_struct    *reg_enum_value__rpc_1_svc(registry_notify_struct *argp, svc_req *rqstp) noexcept;
registry_notify_struct *reg_query_info_key_rpc_1_svc(uint64_t *argp, svc_req *rqstp) noexcept;
