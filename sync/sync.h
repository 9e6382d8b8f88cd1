// sync.h: named events, mutexes and semaphores, the waits on them and the signals that wake them.
#pragma once

#include "rpc/connection.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

enum class ObjectType : uint32_t { Event = 0, Mutex = 1, Semaphore = 2 };

struct WaiterLink;

struct ObjectRecord {
    ObjectType    type;            // event, mutex or semaphore (stored as 32 bits)
    char         *name;            // heap copy; nullptr when unnamed
    ObjectRecord *prev;            // nullptr at the head of the list
    ObjectRecord *next;            // nullptr for the last record
    int64_t       ref_count;       // handles outstanding
    uint64_t      identity;        // the value replies carry for this object; 0 for the registry's internal events
    uint64_t      handle;          // the word that names it in calls: never 0, never reused (NewIdentity)
    WaiterLink   *waiters;         // newest first
    ObjectRecord *next_by_handle;  // next record in the same bucket of the handle index
    ObjectRecord *next_by_name;    // next record in the same bucket of the name index; named records only
    ObjectRecord *next_by_owner;   // owned mutex: the next mutex its owner owns (ConnectionRecord::owned)
    uint32_t      creator;         // uid of the caller that created it (the access policy's owner)
    uint32_t      counted;         // 1 while it counts against the creator's objects quota
    union {
        struct {
            uint32_t state;         // 0 not signalled; 1 signalled; 2..15 only from creation
            uint32_t manual_reset;  // non-zero: stays signalled until reset
        } event;
        struct {
            uint64_t       owner;           // client identity of the owning connection, 0 when free
            ObjectRecord **pprev_by_owner;  // the link on the owner's list that points here; nullptr when free
        } mutex;
        struct {
            int64_t count;    // 0 <= count <= maximum
            int64_t maximum;  // fixed at creation
        } semaphore;
    };
};

// One waiter on an object's list of waiters.
struct WaiterLink {
    WaiterRecord *waiter;  // not owned
    WaiterLink   *next;    // next older waiter on the same object
};

// A parked wait. Owns its request until DeleteClient hands it to the reply path.
struct WaiterRecord {
    std::unique_ptr<RequestRecord>    request;     // the parked call
    uint64_t                          connection;  // client identity of the connection the wait arrived on
    std::unique_ptr<ObjectRecord *[]> pending;     // multiple wait: objects not ready when it began, in request
                                                   // order (nullptr once signalled); nullptr for a single wait
    uint32_t       pending_count;                  // slots in pending (at most 64); 0 for a single wait
    uint32_t       mode;                           // 1 single wait; multiple wait: the wait-all flag as received
    ObjectRecord  *single;                         // the awaited object of a single wait; nullptr otherwise
    WaiterRecord  *next_of_connection;             // the next older call its connection has parked
    WaiterRecord **pprev_of_connection;            // the link on ConnectionRecord::parked that points here; nullptr
                                                   // when not on it (an untracked connection's call)
    WaiterLink single_link;                        // a single wait's one link on its object, so that parking it
                                                   // allocates nothing for the link; a multiple wait's are allocated
};

extern ObjectRecord *P_EVENT_HEAD;                    // newest object first
extern uint32_t      IsCheckOwnerBeforeReleaseMutex;  // 0 only while a lost connection's mutexes are released
extern uint64_t      RET_TRUE;                        // reply of a cancelled wait; always 0

// Object table. A handle is looked up in an index by its value, never read as an address, so a stale or
// forged word is refused exactly like one that was never issued.
[[nodiscard]] int FindObjectByID(uint64_t handle) noexcept;
// The record a handle names, or nullptr when no object in the list bears that handle.
[[nodiscard]] ObjectRecord *ObjectOfHandle(uint64_t handle) noexcept;
// The same for a call that names an object: a null handle sets last error 4, an unknown one 2.
[[nodiscard]] ObjectRecord *ObjectForCall(uint64_t handle) noexcept;
[[nodiscard]] ObjectRecord *FindObjectByName(const char *name, ObjectType type) noexcept;
ObjectRecord *CreateEvent(uint64_t ignored, uint32_t manual_reset, uint32_t initial_state, const char *name) noexcept;
ObjectRecord *CreateMutex(uint64_t ignored, uint32_t initial_owner, const char *name) noexcept;
ObjectRecord *CreateSemaphore(uint64_t ignored, int64_t initial, int64_t maximum, const char *name) noexcept;
ObjectRecord *OpenEvent(uint64_t ignored1, uint64_t ignored2, const char *name) noexcept;
ObjectRecord *OpenMutex(uint64_t ignored1, uint64_t ignored2, const char *name) noexcept;
ObjectRecord *OpenSemaphore(uint64_t ignored1, uint64_t ignored2, const char *name) noexcept;
int           CloseHandle(uint64_t handle) noexcept;
int           DeleteEvent(ObjectRecord *record) noexcept;
void          ClearEventList() noexcept;

// Waits.
int WaitForSingleObject(uint64_t handle, uint32_t timeout) noexcept;
int WaitForMultipleObjects(uint32_t count, const uint64_t *handles, int32_t wait_all, uint32_t timeout) noexcept;
[[nodiscard]] int  IsObjectReady(const ObjectRecord *record) noexcept;
void               GetWaitFromObject(ObjectRecord *record) noexcept;
[[nodiscard]] bool AddClientToEvent(WaiterRecord *waiter, ObjectRecord *record) noexcept;
[[nodiscard]] int  IsClientEmpty(const WaiterRecord *waiter) noexcept;
void               DeleteEventFromClient(ObjectRecord *record, WaiterRecord *waiter) noexcept;
void               DeleteClientFromEvent(WaiterRecord *waiter, ObjectRecord *record) noexcept;
void               DeleteClientFromAllEvent(WaiterRecord *waiter) noexcept;
// The connection's first waiter on the object, unlinked there and, for a multiple wait, from all its
// other objects too: the caller ends it with DeleteClient.
WaiterRecord *DeleteClientFromEventByTransp(uint64_t connection, ObjectRecord *record) noexcept;
void          DeleteClient(ObjectRecord *record, WaiterRecord *waiter) noexcept;

// Unlinks and frees, without a reply, every call that lost connection still has parked.
void DiscardWaitersOf(ConnectionRecord &connection) noexcept;
// Releases every mutex the lost connection owns, handing each to its newest waiter.
void ReleaseMutexesOwnedBy(ConnectionRecord &connection) noexcept;

// The access policy's word on an object call (access.cpp): nullptr when it may run, else the refusal's
// reply. Only consulted when a policy file is in force.
[[nodiscard]] uint64_t *ObjectCallGate(uint32_t proc, void *args) noexcept;

// Signalling.
int SetEvent(uint64_t handle) noexcept;
int ResetEvent(uint64_t handle) noexcept;
int ReleaseMutex(uint64_t handle) noexcept;
int ReleaseSemaphore(uint64_t handle, int64_t count, int64_t *previous) noexcept;

// What the admin view shows of the object table, copied at the moment of the request (snapshot.cpp).
struct ParkedView {
    int      fd;           // the descriptor of the connection the call arrived on
    uint32_t procedure;    // the procedure that parked
    uint64_t received_ms;  // MonotonicMs() at its arrival
};
// One field of an object's own state, as its type describes itself (object_types.cpp).
struct ViewField {
    enum class Kind { Number, Bool, Connection };
    const char *name;   // nullptr for a field the type does not use
    Kind        kind;   // Connection: a client identity, 0 for none
    int64_t     value;  // the field's value
};
struct ObjectView {
    ObjectType               type;        // event, mutex or semaphore
    const char              *type_name;   // as the admin view names the type
    const char              *name;        // the record's own copy, valid until the next call; nullptr unnamed
    uint64_t                 handle;      // the word that names it in calls
    int64_t                  open_count;  // handles outstanding
    bool                     internal;    // one of the registry's events that park synchronous requests
    uint64_t                 owner;       // client identity of its owner (a mutex's), 0 for none
    std::array<ViewField, 3> fields;      // the type's own state, in the order the view shows it
    std::vector<ParkedView>  waiters;     // in the order signals wake them
};
// Every object, newest first. May throw std::bad_alloc.
[[nodiscard]] std::vector<ObjectView> SnapshotObjects();
// Every parked call once (a multiple wait is linked on several objects). May throw std::bad_alloc.
[[nodiscard]] std::vector<ParkedView> SnapshotParked();
