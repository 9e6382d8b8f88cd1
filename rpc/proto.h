// proto.h: the program's identity, its procedures and the six argument/result records.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>

#include "common/procedures.h"

inline constexpr unsigned long WINNT_SYS = 0x20001234;  // program number
inline constexpr unsigned long EVENT_VER = 1;           // the only version served

// Procedure numbers, from the one table of procedures; the service routine of each is declared in
// services.h.
#define KST_PROCEDURE_CONSTANT(number, id, name, argument, reply, routine, parks) kProc##id = number,
enum : uint32_t { KST_PROCEDURES(KST_PROCEDURE_CONSTANT) };
#undef KST_PROCEDURE_CONSTANT
inline constexpr uint32_t kLastProc = kst_procedures::kCount - 1;

inline constexpr int kMaxWaitHandles = 64;

// Arguments of CreateEvent/CreateMutex/CreateSemaphore. 272 bytes on the wire.
struct create_event_struct {
    uint64_t arg1;      // manual-reset flag / ignored / initial count
    uint64_t arg2;      // initial state / initial owner / maximum count
    char     name[64];  // NUL-terminated unless all 64 bytes are used
};

// Arguments of WaitForMultipleObjects and its cancel. 528 bytes on the wire.
struct wait_for_multiple_objects_struct {
    uint64_t count;                     // handles used, from the front of the vector
    uint64_t wait_all;                  // 0 any, 1 all, anything else as received
    uint64_t handles[kMaxWaitHandles];  // always travels whole
};

// A key handle and a name (sub-key path or value name); also the reply of RegEnumKeyEx. 1032 bytes.
struct registry_open_struct {
    uint64_t arg1;       // key handle, or the subkey's modification time in a reply
    char     name[256];  // NUL-terminated unless all 256 bytes are used
};

// Reply of RegQueryValueEx. 2064 bytes on the wire.
struct registry_query_struct {
    uint64_t type;       // value type as stored
    uint64_t size;       // data bytes returned
    char     data[512];  // the first `size` bytes carry the value
};

// Arguments of RegSetValueEx; also the reply of RegEnumValue. 3096 bytes on the wire.
struct registry_set_struct {
    uint64_t arg1;       // key handle; 0 in a reply
    char     name[256];  // value name
    uint64_t type;       // value type
    uint64_t size;       // data bytes
    char     data[512];  // the value
};

// Five words: notification, release count, enumeration index, key information. 40 bytes.
struct registry_notify_struct {
    uint64_t arg1;  // meaning depends on the procedure
    uint64_t arg2;
    uint64_t arg3;
    uint64_t arg4;
    uint64_t arg5;
};

bool_t xdr_create_event_struct(XDR *xdrs, create_event_struct *objp) noexcept;
bool_t xdr_wait_for_multiple_objects_struct(XDR *xdrs, wait_for_multiple_objects_struct *objp) noexcept;
bool_t xdr_registry_open_struct(XDR *xdrs, registry_open_struct *objp) noexcept;
bool_t xdr_registry_query_struct(XDR *xdrs, registry_query_struct *objp) noexcept;
bool_t xdr_registry_set_struct(XDR *xdrs, registry_set_struct *objp) noexcept;
bool_t xdr_registry_notify_struct(XDR *xdrs, registry_notify_struct *objp) noexcept;
