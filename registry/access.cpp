// access.cpp: the access policy's checks on registry calls, and the registry's quota counts.
//
// Every local caller reads the whole registry. A write (creating or deleting a key, setting or deleting a
// value) needs the caller's own HKEY_CURRENT_USER subtree or an `allow ... write` line covering the key;
// a change notification needs write or an `allow ... notify` line. A refused call reaches no operation.
//
// Keys and value bytes count what a uid created through the daemon, not what is on disk: a key from
// start-up or made by hand counts for no one. Each key's and value's charge is kept here by identity,
// taken when the call succeeds and given back when the value is deleted or overwritten, or when its key
// leaves the tree (ForgetKeyCharges, from the one place keys are unindexed), so the counts stay exact
// without ever scanning the disk. Registrations are counted from the keys themselves: a key holds at most
// one, and one that fired, was cancelled or replaced is found gone the next time its uid asks for another.
#include "registry/access.h"

#include "common/access_policy.h"
#include "common/unique.h"
#include "registry/key_tree.h"
#include "registry/operations.h"
#include "rpc/caller.h"
#include "trace/trace.h"

#include <cstring>
#include <map>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

namespace {

struct ValueCharge {
    uint32_t uid;    // who wrote it last through the daemon
    uint64_t bytes;  // its data bytes then
};

std::unordered_map<uint64_t, uint32_t>                           g_key_creator;   // by key identity
std::unordered_map<uint64_t, std::map<std::string, ValueCharge>> g_value_charge;  // by key, then NAME
std::unordered_map<uint64_t, uint32_t>                           g_registration;  // key identity -> uid

// What the call being checked had found before it ran, for RegistryCallDone.
struct Pending {
    uint32_t    uid = 0;
    bool        creates = false;  // a create of a key that did not exist; one key of quota taken
    uint64_t    bytes = 0;        // a value set: the bytes of quota taken
    uint64_t    key = 0;          // a value set or delete: its key's identity
    uint64_t    own_bytes = 0;    // a value set over the caller's own: the bytes given back before it ran
    std::string path;             // the key written, as the policy names it
} g_pending;

// "HKLM/A/B": the root, then every key's name down to this one, upper-cased.
std::string PolicyPath(const KeyNode *key)
{
    std::string path;
    for (; key->parent; key = key->parent) {
        std::string name = KeyName(key);
        for (char &c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        path.insert(0, "/" + name);
    }
    return (key == &class_root.node ? "HKCR" : "HKLM") + path;
}

// The part of a sub-key field after the key: its names joined by "/", upper-cased; false when the field
// has no terminator (the operation refuses it).
bool SubKeyText(char (&field)[kNameField], std::string &text)
{
    char *name = NameArg(field);
    if (!name) return false;
    char copy[kNameField];
    std::memcpy(copy, name, std::strlen(name) + 1);
    ConvertSubKey(copy);
    text.clear();
    for (char *part = std::strtok(copy, "/"); part; part = std::strtok(nullptr, "/")) {
        text += '/';
        text += part;
    }
    return true;
}

uint64_t *Refuse(uint32_t uid, const char *what, const std::string &path)
{
    return RefuseCall(uid, what, path.c_str());
}

uint64_t *CheckWrite(uint32_t uid, const char *what, const std::string &path)
{
    if (MayWriteKey(PolicyInForce(), uid, path)) return nullptr;
    return Refuse(uid, what, path);
}

// The key a handle names, with the last error left at 0 when it names none (the operation answers that).
KeyNode *KeyOf(uint64_t handle)
{
    KeyNode *node = ResolveKey(handle);
    SetLastError(0);
    return node;
}

// Live registrations uid holds; stale entries (fired, cancelled, or their key gone) are dropped on the way.
uint64_t RegistrationsOf(uint32_t uid)
{
    uint64_t count = 0;
    for (auto it = g_registration.begin(); it != g_registration.end();) {
        const KeyNode *key = KeyOfIdentity(it->first);
        if (!key || key->notify_event == 0) {
            it = g_registration.erase(it);
            continue;
        }
        count += it->second == uid ? 1 : 0;
        ++it;
    }
    return count;
}

uint64_t *CheckNotify(uint32_t uid, uint64_t handle, bool registers)
{
    const KeyNode *node = KeyOf(handle);
    if (!node) return nullptr;
    const std::string path = PolicyPath(node);
    if (!MayNotifyKey(PolicyInForce(), uid, path)) return Refuse(uid, "notification", path);
    if (!registers) return nullptr;
    const uint64_t limit = QuotaLimit(PolicyInForce(), uid, Quota::Registrations);
    if (limit == kNoLimit) return nullptr;
    const auto     held = g_registration.find(node->identity);
    const bool     replaces_own = held != g_registration.end() && held->second == uid && node->notify_event != 0;
    const uint64_t used = RegistrationsOf(uid);
    if (replaces_own || used < limit) return nullptr;
    return RefuseQuota(uid, Quota::Registrations, limit, used, 1);
}

void NoteChange(uint32_t uid, const char *what, const std::string &path)
{
    if (uid != 0 && path.compare(0, 4, "HKLM") == 0)
        TraceLog(3, "ntsys_s", "access", __LINE__, "access: uid %s %s %s\n", UidText(uid).c_str(), what, path.c_str());
}

// Forgets a value's charge, giving its bytes back to whoever wrote it unless they were given back already.
void Uncharge(uint64_t key, const std::string &name, bool give_back = true)
{
    auto values = g_value_charge.find(key);
    if (values == g_value_charge.end()) return;
    auto value = values->second.find(name);
    if (value == values->second.end()) return;
    if (give_back) ReturnQuota(value->second.uid, Quota::ValueBytes, value->second.bytes);
    values->second.erase(value);
    if (values->second.empty()) g_value_charge.erase(values);
}

// The bytes uid's own earlier write of that value still counts; 0 when it is another's or none.
uint64_t OwnCharge(uint64_t key, const std::string &name, uint32_t uid)
{
    auto values = g_value_charge.find(key);
    if (values == g_value_charge.end()) return 0;
    auto value = values->second.find(name);
    return value != values->second.end() && value->second.uid == uid ? value->second.bytes : 0;
}

std::string ValueName(char (&field)[kNameField])
{
    const char *name = NameArg(field);
    std::string text = name ? name : "";
    for (char &c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

}  // namespace

uint64_t *RegistryCallGate(uint32_t proc, void *args) noexcept
{
    const uint32_t uid = CallerUid();
    g_pending = Pending{};
    g_pending.uid = uid;
    try {
        switch (proc) {
        case kProcRegCreateKey:
        case kProcRegDeleteKey: {
            auto          &open = *static_cast<registry_open_struct *>(args);
            const KeyNode *node = KeyOf(open.arg1);
            std::string    sub;
            if (!node || !SubKeyText(open.name, sub)) return nullptr;
            const KeyNode *target = sub.empty() ? node : IsSubKeyExist(const_cast<KeyNode *>(node), sub.c_str() + 1);
            SetLastError(0);
            if (proc == kProcRegDeleteKey) {
                if (!target || target == node) return nullptr;  // the operation refuses these itself
                g_pending.path = PolicyPath(target);
                return CheckWrite(uid, "delete key", g_pending.path);
            }
            if (target) return nullptr;  // an existing key: the create opens it
            g_pending.path = PolicyPath(node) + sub;
            // The keys on the way to the caller's own subtree (HKEY_USERS) are created empty for it.
            const std::string own = OwnSubtree(uid);
            const bool        on_the_way = own.size() > g_pending.path.size() && own[g_pending.path.size()] == '/' &&
                                    own.compare(0, g_pending.path.size(), g_pending.path) == 0;
            if (uint64_t *refused = on_the_way ? nullptr : CheckWrite(uid, "create key", g_pending.path))
                return refused;
            if (!TakeQuota(uid, Quota::Keys, 1)) return GetLastErrorAddress();
            g_pending.creates = true;
            return nullptr;
        }
        case kProcRegSetValue:
        case kProcRegDeleteValue: {
            const uint64_t handle = proc == kProcRegSetValue ? static_cast<registry_set_struct *>(args)->arg1
                                                             : static_cast<registry_open_struct *>(args)->arg1;
            const KeyNode *node = KeyOf(handle);
            if (!node) return nullptr;
            g_pending.path = PolicyPath(node);
            g_pending.key = node->identity;
            if (uint64_t *refused =
                    CheckWrite(uid, proc == kProcRegSetValue ? "set value" : "delete value", g_pending.path))
                return refused;
            if (proc == kProcRegDeleteValue) return nullptr;
            const uint64_t size = static_cast<registry_set_struct *>(args)->size;
            if (size > kMaxValueData) return nullptr;  // the operation refuses it
            // An overwrite of the caller's own value needs room only for the difference.
            g_pending.own_bytes =
                OwnCharge(node->identity, ValueName(static_cast<registry_set_struct *>(args)->name), uid);
            ReturnQuota(uid, Quota::ValueBytes, g_pending.own_bytes);
            if (!TakeQuota(uid, Quota::ValueBytes, size)) {
                (void)TakeQuota(uid, Quota::ValueBytes, g_pending.own_bytes);  // as it was: within the limit
                return GetLastErrorAddress();
            }
            g_pending.bytes = size;
            return nullptr;
        }
        case kProcRegNotify: {
            const auto &notify = *static_cast<registry_notify_struct *>(args);
            return CheckNotify(uid, notify.arg1, true);
        }
        case kProcCancelRegNotify:
            return CheckNotify(uid, static_cast<registry_notify_struct *>(args)->arg1, false);
        default:
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
        return SetLastError(kErrNoMemory);
    }
}

void RegistryCallDone(uint32_t proc, void *args, void *reply) noexcept
{
    const uint32_t uid = g_pending.uid;
    const bool     failed = reply == GetLastErrorAddress() && GetLastError() != 0;
    try {
        switch (proc) {
        case kProcRegCreateKey: {
            if (!g_pending.creates) return;
            if (failed || !reply) {
                ReturnQuota(uid, Quota::Keys, 1);
                return;
            }
            g_key_creator[*static_cast<uint64_t *>(reply)] = uid;
            NoteChange(uid, "created key", g_pending.path);
            return;
        }
        case kProcRegDeleteKey:
            if (!failed && !g_pending.path.empty()) NoteChange(uid, "deleted key", g_pending.path);
            return;
        case kProcRegSetValue: {
            auto &set = *static_cast<registry_set_struct *>(args);
            if (failed) {
                ReturnQuota(uid, Quota::ValueBytes, g_pending.bytes);
                (void)TakeQuota(uid, Quota::ValueBytes, g_pending.own_bytes);
                return;
            }
            if (g_pending.path.empty()) return;
            const std::string name = ValueName(set.name);
            Uncharge(g_pending.key, name, g_pending.own_bytes == 0);
            g_value_charge[g_pending.key][name] = {uid, g_pending.bytes};
            NoteChange(uid, "set a value of", g_pending.path);
            return;
        }
        case kProcRegDeleteValue: {
            auto &open = *static_cast<registry_open_struct *>(args);
            if (failed || g_pending.path.empty()) return;
            Uncharge(g_pending.key, ValueName(open.name));
            NoteChange(uid, "deleted a value of", g_pending.path);
            return;
        }
        case kProcRegNotify: {
            const KeyNode *node = KeyOf(static_cast<registry_notify_struct *>(args)->arg1);
            if (node && node->notify_event != 0) g_registration[node->identity] = uid;
            return;
        }
        default:
            return;
        }
    } catch (const std::bad_alloc &) {
        // The charge is lost: the uid is counted for less than it holds until the key goes.
    }
}

void ForgetKeyCharges(uint64_t identity) noexcept
{
    if (auto creator = g_key_creator.find(identity); creator != g_key_creator.end()) {
        ReturnQuota(creator->second, Quota::Keys, 1);
        g_key_creator.erase(creator);
    }
    if (auto values = g_value_charge.find(identity); values != g_value_charge.end()) {
        for (const auto &[name, charge] : values->second)
            ReturnQuota(charge.uid, Quota::ValueBytes, charge.bytes);
        g_value_charge.erase(values);
    }
    g_registration.erase(identity);
}
