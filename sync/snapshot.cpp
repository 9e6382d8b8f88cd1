// snapshot.cpp: the object table and its parked calls as the admin view shows them.
//
// Copied out at the moment of the request, so the view never holds a record across a pass and the
// admin layer reads no sync record itself.
#include "sync/object_types.h"

#include <algorithm>
#include <unordered_set>

namespace {

ParkedView ViewOfWaiter(const WaiterRecord &waiter)
{
    const RequestRecord &request = *waiter.request;
    // The record keeps the low 32 bits of its arrival: the age, taken modulo 2^32, gives the full time back.
    const uint64_t now = MonotonicMs();
    const uint32_t age = static_cast<uint32_t>(now) - request.received_ms;
    return {RequestSocket(&request), request.procedure, now - std::min<uint64_t>(now, age)};
}

}  // namespace

std::vector<ObjectView> SnapshotObjects()
{
    std::vector<ObjectView> objects;
    for (const ObjectRecord *record = P_EVENT_HEAD; record; record = record->next) {
        const ObjectRecord &obj = *record;
        const ObjectOps    *ops = OpsOf(obj.type);
        ObjectView          view{obj.type,
                        ops ? ops->name : "unknown",
                        obj.name,
                        obj.handle,
                        obj.ref_count,
                        obj.type == ObjectType::Event && obj.identity == 0,
                        0,
                        {},
                        {}};
        if (ops) ops->describe(obj, view);
        for (const WaiterLink *link = obj.waiters; link; link = link->next)
            view.waiters.push_back(ViewOfWaiter(*link->waiter));
        objects.push_back(std::move(view));
    }
    return objects;
}

std::vector<ParkedView> SnapshotParked()
{
    std::vector<ParkedView>                  parked;
    std::unordered_set<const WaiterRecord *> seen;
    for (const ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next)
        for (const WaiterLink *link = obj->waiters; link; link = link->next)
            if (seen.insert(link->waiter).second) parked.push_back(ViewOfWaiter(*link->waiter));
    return parked;
}
