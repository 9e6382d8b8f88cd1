// object_types.cpp: the rules of events, mutexes and semaphores, one table of operations each.
#include "sync/object_types.h"

#include "sync/internal.h"

#include <array>

namespace {

// An event is ready while signalled; an auto-reset event is cleared by the wait it satisfies. A wait on
// it alone counts it signalled only with state exactly 1 (states 2..15 come only from creation).
constexpr ObjectOps kEvent = {
    "event",
    [](const ObjectRecord &obj) { return obj.event.state != 0; },
    [](ObjectRecord &obj, ConnectionRecord *) {
        if (obj.event.manual_reset == 0) obj.event.state = 0;
    },
    [](ObjectRecord &obj, ConnectionRecord *) {
        const bool satisfied = obj.event.state == 1;
        if (satisfied && obj.event.manual_reset == 0) obj.event.state = 0;
        return satisfied;
    },
    [](const ObjectRecord &obj, ObjectView &view) {
        view.fields[0] = {"state", ViewField::Kind::Number, obj.event.state};
        view.fields[1] = {"signalled", ViewField::Kind::Bool, obj.event.state != 0};
        view.fields[2] = {"manual_reset", ViewField::Kind::Bool, obj.event.manual_reset != 0};
    },
};

// A mutex is ready while free, even for its own owner; taking it makes the taker its owner. A wait on it
// alone is satisfied for the owner too (no recursion count is kept).
constexpr ObjectOps kMutex = {
    "mutex",
    [](const ObjectRecord &obj) { return obj.mutex.owner == 0; },
    [](ObjectRecord &obj, ConnectionRecord *taker) {
        if (obj.mutex.owner == 0) SetMutexOwner(&obj, taker);
    },
    [](ObjectRecord &obj, ConnectionRecord *taker) {
        if (obj.mutex.owner == 0) SetMutexOwner(&obj, taker);
        return obj.mutex.owner == IdentityOf(taker);
    },
    [](const ObjectRecord &obj, ObjectView &view) {
        view.owner = obj.mutex.owner;
        view.fields[0] = {"owner", ViewField::Kind::Connection, static_cast<int64_t>(obj.mutex.owner)};
    },
};

// A semaphore is ready while its count is above 0; a wait takes one from it.
constexpr ObjectOps kSemaphore = {
    "semaphore",
    [](const ObjectRecord &obj) { return obj.semaphore.count != 0; },
    [](ObjectRecord &obj, ConnectionRecord *) {
        if (obj.semaphore.count != 0) --obj.semaphore.count;
    },
    [](ObjectRecord &obj, ConnectionRecord *) {
        const bool satisfied = obj.semaphore.count != 0;
        if (satisfied) --obj.semaphore.count;
        return satisfied;
    },
    [](const ObjectRecord &obj, ObjectView &view) {
        view.fields[0] = {"count", ViewField::Kind::Number, obj.semaphore.count};
        view.fields[1] = {"maximum", ViewField::Kind::Number, obj.semaphore.maximum};
    },
};

// Indexed by the type's value; the order is checked below.
constexpr std::array<const ObjectOps *, 3> kOps = {&kEvent, &kMutex, &kSemaphore};
static_assert(static_cast<std::size_t>(ObjectType::Event) == 0 && static_cast<std::size_t>(ObjectType::Mutex) == 1 &&
              static_cast<std::size_t>(ObjectType::Semaphore) == 2);

}  // namespace

const ObjectOps *OpsOf(ObjectType type) noexcept
{
    const auto index = static_cast<std::size_t>(type);
    return index < kOps.size() ? kOps[index] : nullptr;
}
