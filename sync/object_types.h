// object_types.h: each object type's rules, in one table of operations per type.
//
// Events, mutexes and semaphores share one list, one handle space and one waiter machinery (see
// wait.cpp); what differs between them is only what is written here: when a wait may take the object,
// what taking it does, and how it describes itself to the admin view.
#pragma once

#include "sync/sync.h"

struct ObjectOps {
    const char *name;  // the type as the admin view names it
    // Ready for a wait on several objects, and for waking a waiter after a signal.
    bool (*ready)(const ObjectRecord &obj);
    // What a satisfied wait takes from the object, on behalf of the connection `taker` (nullptr: untracked).
    void (*take)(ObjectRecord &obj, ConnectionRecord *taker);
    // A wait on this object alone, by its own rule (which differs from `ready`): takes the object and
    // returns true when the wait is satisfied at once.
    bool (*wait_single)(ObjectRecord &obj, ConnectionRecord *taker);
    // The type's own fields of the admin view.
    void (*describe)(const ObjectRecord &obj, ObjectView &view);
};

// The operations of a type; nullptr for a word that is no type.
[[nodiscard]] const ObjectOps *OpsOf(ObjectType type) noexcept;
