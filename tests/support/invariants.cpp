// invariants.cpp: the consistency checks of invariants.h, read straight from the server's records.
#include "tests/support/invariants.h"

#include "rpc/server.h"
#include "sync/internal.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace kst {
namespace {

using Fail = ::testing::AssertionResult;
using ::testing::AssertionFailure;

// Every waiter reachable from an object, with the objects its links are on (one entry per link).
std::map<const WaiterRecord *, std::vector<const ObjectRecord *>> LinkedWaiters()
{
    std::map<const WaiterRecord *, std::vector<const ObjectRecord *>> linked;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next)
        for (const WaiterLink *link = obj->waiters; link; link = link->next)
            linked[link->waiter].push_back(obj);
    return linked;
}

std::set<uint64_t> LiveConnections()
{
    std::set<uint64_t> live;
    for (int fd = 0; fd < kDescriptorLimit; ++fd)
        if (const uint64_t connection = ConnectionOnSocket(fd)) live.insert(connection);
    return live;
}

// Each live connection's own lists: every record on them names that connection and is pointed at by
// the link before it. count gets the records found.
template <typename Record, typename Names, typename Link>
Fail CheckList(Record *const &head, Record *Record::*next, Names names, Link link, uint64_t generation,
               std::size_t &count)
{
    Record *const *at = &head;
    for (Record *r = head; r; at = &(r->*next), r = r->*next, ++count) {
        if (names(r) != generation) return AssertionFailure() << "record " << r << " on the list of another connection";
        if (link(r) != at) return AssertionFailure() << "record " << r << ": link back broken";
    }
    return ::testing::AssertionSuccess();
}

Fail CheckConnectionLists(std::size_t owned, std::size_t parked)
{
    std::size_t owned_found = 0, parked_found = 0;
    for (int fd = 0; fd < kDescriptorLimit; ++fd) {
        const ConnectionRecord *c = ConnectionRecordOn(fd);
        if (!c || !c->transport) continue;
        if (Fail f = CheckList(
                c->owned, &ObjectRecord::next_by_owner, [](const ObjectRecord *o) { return o->mutex.owner; },
                [](const ObjectRecord *o) { return o->mutex.pprev_by_owner; }, c->generation, owned_found);
            !f)
            return f;
        if (Fail f = CheckList(
                c->parked, &WaiterRecord::next_of_connection, [](const WaiterRecord *w) { return w->connection; },
                [](const WaiterRecord *w) { return w->pprev_of_connection; }, c->generation, parked_found);
            !f)
            return f;
    }
    if (owned_found != owned) return AssertionFailure() << owned << " owned mutexes, " << owned_found << " on lists";
    if (parked_found != parked) return AssertionFailure() << parked << " parked calls, " << parked_found << " on lists";
    return ::testing::AssertionSuccess();
}

// The object list, its handle and name indexes, and the owners' lists of their mutexes.
Fail CheckObjects(const std::set<uint64_t> &live)
{
    const ObjectRecord *prev = nullptr;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; prev = obj, obj = obj->next) {
        if (obj->prev != prev) return AssertionFailure() << "object " << obj << ": prev link broken";
        if (obj->handle == 0 || ObjectOfHandle(obj->handle) != obj)
            return AssertionFailure() << "object " << obj << ": not found by its handle";
        if (obj->name && FindObjectByName(obj->name, obj->type) != obj)
            return AssertionFailure() << "object " << obj->name << ": not found by its name";
        if (obj->type != ObjectType::Mutex || obj->mutex.owner == 0) continue;
        if (!live.contains(obj->mutex.owner))
            return AssertionFailure() << "mutex " << obj << " owned by a connection that is gone";
        if (!obj->mutex.pprev_by_owner || *obj->mutex.pprev_by_owner != obj)
            return AssertionFailure() << "mutex " << obj << " missing from its owner's list";
    }
    return ::testing::AssertionSuccess();
}

Fail CheckWaiters(const std::set<uint64_t> &live)
{
    const auto linked = LinkedWaiters();
    for (const auto &[waiter, objects] : linked) {
        const RequestRecord *request = waiter->request.get();
        if (!request) return AssertionFailure() << "waiter " << waiter << " has no request";
        if (waiter->connection != RequestIdentity(request) || !live.contains(waiter->connection))
            return AssertionFailure() << "waiter " << waiter << " of a connection that is gone";
        if (!waiter->pprev_of_connection || *waiter->pprev_of_connection != waiter)
            return AssertionFailure() << "waiter " << waiter << " missing from its connection's list";
        std::vector<const ObjectRecord *> pending;
        for (uint64_t i = 0; i < waiter->pending_count; ++i)
            if (waiter->pending[i]) pending.push_back(waiter->pending[i]);
        if (!waiter->pending) {
            if (objects.size() != 1 || waiter->mode != 1 || waiter->single != objects.front())
                return AssertionFailure() << "single waiter " << waiter << " with " << objects.size() << " links";
        } else {
            std::vector<const ObjectRecord *> on = objects;
            std::sort(pending.begin(), pending.end());
            std::sort(on.begin(), on.end());
            if (pending != on) return AssertionFailure() << "waiter " << waiter << ": links and pending objects differ";
        }
        const auto fd = static_cast<unsigned>(RequestSocket(request));
        if (fd >= kSocketSlots) continue;
        const SocketSlot *slot = &sock2client[fd];
        if (!slot->waiter || !linked.contains(slot->waiter) || slot->waiter->connection != waiter->connection)
            return AssertionFailure() << "waiter " << waiter << " not named by its socket slot " << fd;
    }
    for (unsigned fd = 0; fd < kSocketSlots; ++fd) {
        const SocketSlot *slot = &sock2client[fd];
        if (!slot->waiter) continue;
        const auto found = linked.find(slot->waiter);
        if (found == linked.end() || static_cast<unsigned>(RequestSocket(slot->waiter->request.get())) != fd)
            return AssertionFailure() << "socket slot " << fd << " names no parked call of its own";
        const uint64_t object = slot->waiter->pending ? 0 : reinterpret_cast<uint64_t>(found->second.front());
        if (slot->object != object) return AssertionFailure() << "socket slot " << fd << ": wrong object";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult SyncStateIsConsistent()
{
    // In this order: a later check follows links that an earlier one has vouched for.
    const std::set<uint64_t> live = LiveConnections();
    if (Fail objects = CheckObjects(live); !objects) return objects;
    if (Fail waiters = CheckWaiters(live); !waiters) return waiters;
    std::size_t owned = 0;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next)
        owned += obj->type == ObjectType::Mutex && obj->mutex.owner != 0;
    return CheckConnectionLists(owned, LinkedWaiters().size());
}

std::size_t ParkedWaiters()
{
    return LinkedWaiters().size();
}

std::size_t WaitersOn(uint64_t handle)
{
    std::size_t links = 0;
    if (const ObjectRecord *obj = ObjectOfHandle(handle))
        for (const WaiterLink *link = obj->waiters; link; link = link->next)
            ++links;
    return links;
}

std::size_t ObjectCount()
{
    std::size_t count = 0;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next)
        ++count;
    return count;
}

}  // namespace kst
