// access.cpp: the access policy's checks on object calls. An object remembers the uid that created it; a
// caller may use its own objects fully, and another uid's only with the verbs an `allow ... objects` line
// grants. A refused call reaches no operation, so it changes nothing; its reply is last error 13. A name
// another uid created is never handed out silently to a caller without `open` on that uid.
#include "common/access_policy.h"
#include "common/procedures.h"
#include "common/unique.h"
#include "rpc/caller.h"
#include "sync/sync.h"

#include <algorithm>
#include <string>

namespace {

std::string HandleText(uint64_t handle)
{
    return "handle " + std::to_string(handle);
}

// nullptr when uid may use the object a handle names (or it names none: the operation answers that).
uint64_t *CheckHandle(uint32_t uid, uint64_t handle, ObjectVerb verb)
{
    const ObjectRecord *obj = ObjectOfHandle(handle);
    if (!obj || MayUseObject(PolicyInForce(), uid, obj->creator, verb)) return nullptr;
    // A mutex the caller's connection took (a wait it was allowed) is its own to give back.
    if (verb == ObjectVerb::Release && obj->type == ObjectType::Mutex && obj->mutex.owner != 0 &&
        obj->mutex.owner == IdentityOf(CallerConnection()))
        return nullptr;
    const std::string what = std::string(ObjectVerbName(verb)) + " of uid " + UidText(obj->creator) + "'s object";
    return RefuseCall(uid, what.c_str(), HandleText(handle).c_str());
}

// nullptr when uid may be handed the object of that name (or there is none: a create makes it).
uint64_t *CheckName(uint32_t uid, const char *name, ObjectType type)
{
    const ObjectRecord *obj = FindObjectByName(name, type);
    if (!obj || MayOpenByName(PolicyInForce(), uid, obj->creator)) return nullptr;
    const std::string what = "open of uid " + UidText(obj->creator) + "'s object";
    return RefuseCall(uid, what.c_str(), name);
}

uint64_t *CheckCreate(uint32_t uid, const create_event_struct &args, ObjectType type)
{
    char name[sizeof args.name + 1];
    CopyName(name, {args.name, FieldLength(args.name)});
    return CheckName(uid, name, type);
}

// A wait that would park counts against the uid's waits; at the limit it is refused before it runs.
uint64_t *CheckWaitRoom(uint32_t uid)
{
    const uint64_t limit = QuotaLimit(PolicyInForce(), uid, Quota::Waits);
    if (limit == kNoLimit || QuotaUsed(uid, Quota::Waits) < limit) return nullptr;
    return RefuseQuota(uid, Quota::Waits, limit, QuotaUsed(uid, Quota::Waits), 1);
}

}  // namespace

uint64_t *ObjectCallGate(uint32_t proc, void *args) noexcept
{
    const uint32_t uid = CallerUid();
    switch (proc) {
    case kProcCreateEvent:
        return CheckCreate(uid, *static_cast<create_event_struct *>(args), ObjectType::Event);
    case kProcCreateMutex:
        return CheckCreate(uid, *static_cast<create_event_struct *>(args), ObjectType::Mutex);
    case kProcCreateSemaphore:
        return CheckCreate(uid, *static_cast<create_event_struct *>(args), ObjectType::Semaphore);
    case kProcOpenEvent:
        return CheckName(uid, *static_cast<char **>(args), ObjectType::Event);
    case kProcOpenMutex:
        return CheckName(uid, *static_cast<char **>(args), ObjectType::Mutex);
    case kProcOpenSemaphore:
        return CheckName(uid, *static_cast<char **>(args), ObjectType::Semaphore);
    case kProcSetEvent:
        return CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Signal);
    case kProcResetEvent:
        return CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Reset);
    case kProcReleaseMutex:
        return CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Release);
    case kProcReleaseSemaphore:
        return CheckHandle(uid, static_cast<registry_notify_struct *>(args)->arg1, ObjectVerb::Release);
    case kProcCloseHandle:
        return CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Close);
    case kProcWaitSingle:
        if (uint64_t *refused = CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Wait)) return refused;
        return CheckWaitRoom(uid);
    case kProcCancelWaitSingle:
        return CheckHandle(uid, *static_cast<uint64_t *>(args), ObjectVerb::Wait);
    case kProcWaitMultiple:
    case kProcCancelWaitMultiple: {
        const auto    &wait = *static_cast<wait_for_multiple_objects_struct *>(args);
        const uint64_t count = std::min<uint64_t>(wait.count, kMaxWaitHandles);
        for (uint64_t i = 0; i < count; ++i)
            if (uint64_t *refused = CheckHandle(uid, wait.handles[i], ObjectVerb::Wait)) return refused;
        return proc == kProcWaitMultiple ? CheckWaitRoom(uid) : nullptr;
    }
    case kProcRegNotify: {
        // An asynchronous registration signals the caller's event when the key changes.
        const auto &notify = *static_cast<registry_notify_struct *>(args);
        if (notify.arg5 == 1) return CheckHandle(uid, notify.arg4, ObjectVerb::Signal);
        return notify.arg5 == 0 ? CheckWaitRoom(uid) : nullptr;
    }
    default:
        return nullptr;
    }
}
