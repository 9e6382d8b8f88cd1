// services.h: the 28 service routines. Each returns its reply value, or nullptr when the call is parked.
#pragma once

#include "rpc/proto.h"

#include <cstdint>

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
