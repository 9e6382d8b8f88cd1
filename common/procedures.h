// procedures.h: the program's procedures, one row each, the only place their facts are written.
//
// A row: the wire number, the identifier the constants are named after (kProc<Id> in the server,
// proc::k<Id> in the wire client), the name the admin view prints, the C types of the argument and
// reply records, the service routine, and whether the routine may park the call. The dispatcher, the
// admin view and the wire client all expand this list, so none of them can hold the procedures in
// another order; the numbers are checked against the rows' positions below, and the dispatcher checks
// each routine's argument and reply types against its row. The wire client reads only the numbers and
// identifiers, so its own encoder still checks the server's records field by field.
//
// Numbers and names are what clients and operators see: they never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// clang-format off
#define KST_PROCEDURES(X)                                                                                             \
    X(0, Null, "Null", void, void, nullptr, false)                                                                    \
    X(1, CreateEvent, "CreateEvent", create_event_struct, uint64_t, create_event_rpc_1_svc, false)                    \
    X(2, SetEvent, "SetEvent", uint64_t, uint64_t, set_event_rpc_1_svc, false)                                        \
    X(3, ResetEvent, "ResetEvent", uint64_t, uint64_t, reset_event_rpc_1_svc, false)                                  \
    X(4, OpenEvent, "OpenEvent", char *, uint64_t, open_event_rpc_1_svc, false)                                       \
    X(5, CloseHandle, "CloseHandle", uint64_t, uint64_t, close_handle_rpc_1_svc, false)                               \
    X(6, WaitSingle, "WaitForSingleObject", uint64_t, uint64_t, wait_for_single_object_rpc_1_svc, true)               \
    X(7, WaitMultiple, "WaitForMultipleObjects",                                                                      \
      wait_for_multiple_objects_struct, uint64_t, wait_for_multiple_objects_rpc_1_svc, true)                          \
    X(8, RegOpenKey, "RegOpenKeyEx", registry_open_struct, uint64_t, reg_open_key_ex_rpc_1_svc, false)                \
    X(9, RegCloseKey, "RegCloseKey", uint64_t, uint64_t, reg_close_key_rpc_1_svc, false)                              \
    X(10, RegDeleteKey, "RegDeleteKey", registry_open_struct, uint64_t, reg_delete_key_rpc_1_svc, false)              \
    X(11, RegCreateKey, "RegCreateKeyEx", registry_open_struct, uint64_t, reg_create_key_ex_rpc_1_svc, false)         \
    X(12, RegQueryValue, "RegQueryValueEx",                                                                           \
      registry_open_struct, registry_query_struct, reg_query_value_ex_rpc_1_svc, false)                               \
    X(13, RegSetValue, "RegSetValueEx", registry_set_struct, uint64_t, reg_set_value_ex_rpc_1_svc, false)             \
    X(14, RegNotify, "RegNotifyChangeKeyValue",                                                                       \
      registry_notify_struct, uint64_t, reg_notify_change_key_value_rpc_1_svc, true)                                  \
    X(15, RegFlushKey, "RegFlushKey", uint64_t, uint64_t, reg_flush_key_rpc_1_svc, true)                              \
    X(16, CreateMutex, "CreateMutex", create_event_struct, uint64_t, create_mutex_rpc_1_svc, false)                   \
    X(17, OpenMutex, "OpenMutex", char *, uint64_t, open_mutex_rpc_1_svc, false)                                      \
    X(18, ReleaseMutex, "ReleaseMutex", uint64_t, uint64_t, release_mutex_rpc_1_svc, false)                           \
    X(19, CreateSemaphore, "CreateSemaphore", create_event_struct, uint64_t, create_semaphore_rpc_1_svc, false)       \
    X(20, OpenSemaphore, "OpenSemaphore", char *, uint64_t, open_semaphore_rpc_1_svc, false)                          \
    X(21, ReleaseSemaphore, "ReleaseSemaphore", registry_notify_struct, uint64_t, release_semaphore_rpc_1_svc, false) \
    X(22, CancelWaitSingle, "CancelWaitForSingleObject",                                                              \
      uint64_t, uint64_t, timeout_wait_for_single_object_rpc_1_svc, false)                                            \
    X(23, CancelWaitMultiple, "CancelWaitForMultipleObjects",                                                         \
      wait_for_multiple_objects_struct, uint64_t, timeout_wait_for_multiple_objects_rpc_1_svc, false)                 \
    X(24, CancelRegNotify, "CancelRegNotifyChangeKeyValue",                                                           \
      registry_notify_struct, uint64_t, timeout_reg_notify_change_key_value_rpc_1_svc, false)                         \
    X(25, RegDeleteValue, "RegDeleteValue", registry_open_struct, uint64_t, reg_delete_value_rpc_1_svc, false)        \
    X(26, RegEnumKey, "RegEnumKeyEx",                                                                                 \
      registry_notify_struct, registry_open_struct, reg_enum_key_ex__rpc_1_svc, false)                                \
    X(27, RegEnumValue, "RegEnumValue",                                                                               \
      registry_notify_struct, registry_set_struct, reg_enum_value__rpc_1_svc, false)                                  \
    X(28, RegQueryInfoKey, "RegQueryInfoKey", uint64_t, registry_notify_struct, reg_query_info_key_rpc_1_svc, false)
// clang-format on

namespace kst_procedures {

#define KST_PROCEDURE_NUMBER(number, id, name, argument, reply, routine, parks) number,
#define KST_PROCEDURE_NAME(number, id, name, argument, reply, routine, parks) name,
inline constexpr uint32_t   kNumbers[] = {KST_PROCEDURES(KST_PROCEDURE_NUMBER)};
inline constexpr std::array kNames = {KST_PROCEDURES(KST_PROCEDURE_NAME)};
#undef KST_PROCEDURE_NUMBER
#undef KST_PROCEDURE_NAME

inline constexpr std::size_t kCount = std::size(kNumbers);

// Every row sits at its own number, so a number indexes the table and the names.
[[nodiscard]] consteval bool NumbersArePositions()
{
    for (std::size_t i = 0; i < kCount; ++i)
        if (kNumbers[i] != i) return false;
    return true;
}
static_assert(NumbersArePositions(), "a procedure's row must sit at its number");
static_assert(kNames.size() == kCount);

}  // namespace kst_procedures

// The name the admin view gives a procedure number; "unknown" beyond the program.
[[nodiscard]] constexpr const char *ProcedureName(uint32_t proc)
{
    return proc < kst_procedures::kCount ? kst_procedures::kNames[proc] : "unknown";
}
