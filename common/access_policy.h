// access_policy.h: the access policy of /etc/KSTntserver/access.conf: reading it, and every decision it
// makes. Pure: the daemon and kstctl link the same code, so `kstctl policy test` answers exactly what the
// daemon does. Names of users and groups are resolved once, when the file is read, never in a call.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t kRemoteUid = 0xFFFFFFFEu;   // the uid a caller from another host acts as
inline constexpr uint32_t kUnknownUid = 0xFFFFFFFFu;  // a local caller the kernel could not name

// What a caller may do to an object another uid created.
enum class ObjectVerb : uint32_t { Open = 1, Wait = 2, Signal = 4, Reset = 8, Release = 16, Close = 32 };
inline constexpr uint32_t kAllVerbs = 63;

// The quotas a `quota` line may set, in the order the file and the views name them.
enum class Quota : uint32_t { Objects, Keys, ValueBytes, Registrations, Waits, Connections };
inline constexpr std::size_t                           kQuotaCount = 6;
inline constexpr std::array<const char *, kQuotaCount> kQuotaNames = {"objects",       "keys",  "value-bytes",
                                                                      "registrations", "waits", "connections"};
inline constexpr uint64_t                              kNoLimit = UINT64_MAX;

// A WHO of the file: every caller, one uid, or a group's members as resolved when the file was read.
struct PolicyWho {
    enum class Kind { Everyone, Uid, Members } kind;  // Everyone also matches remote callers
    uint32_t              uid;                        // Uid only
    std::vector<uint32_t> members;                    // Members only: primary and supplementary, sorted
    std::string           text;                       // as written, for the views
};

// A registry subtree: a root and its keys, upper-cased, joined by "/"; or each caller's own subtree.
struct PolicyKey {
    bool        current_user;  // HKEY_CURRENT_USER: the caller's own HKLM\HKEY_USERS\S-1-22-1-<uid>
    std::string path;          // "HKLM/A/B" or "HKCR/A"; below current_user: "" or "A/B"
    std::string text;          // as written
};

struct PolicyNetwork {
    int         family;     // AF_INET or AF_INET6
    uint8_t     bytes[16];  // the address, network order
    uint32_t    prefix;     // bits that must match
    std::string text;       // as written
};

struct PolicyQuota {
    PolicyWho                         who;     // whom the line limits
    std::array<uint64_t, kQuotaCount> limits;  // kNoLimit where the line names none
};

struct PolicyObjects {
    PolicyWho who;    // the caller
    PolicyWho owner;  // the uid that created the object
    uint32_t  verbs;  // ObjectVerb bits
};

struct PolicyKeyRule {
    PolicyWho who;  // the caller
    PolicyKey key;  // at and below it
};

struct AccessPolicy {
    bool                       present = false;               // a file was read: without one everything is allowed
    std::string                source;                        // the file it came from
    std::vector<PolicyWho>     all;                           // allow WHO all
    std::vector<PolicyKeyRule> write;                         // allow WHO write KEY
    std::vector<PolicyKeyRule> notify;                        // allow WHO notify KEY
    std::vector<PolicyObjects> objects;                       // allow WHO objects OWNER VERBS
    std::vector<PolicyNetwork> remote;                        // allow remote ADDRESS[/PREFIX]
    std::vector<PolicyQuota>   quotas;                        // in file order: the first that matches wins
    uint32_t                   reserve_root_connections = 0;  // of the global cap, for uid 0 only
    std::vector<std::string>   notes;                         // "file:line: ..." for names that resolved to no one
};

// A policy from text, or nullopt with error set to "file:line: what is wrong". Never half a policy.
[[nodiscard]] std::optional<AccessPolicy> ParsePolicy(std::string_view text, const std::string &source,
                                                      std::string &error);
// The policy of a file: nullopt with error set when it can't be read or doesn't parse; a policy with
// present == false when there is no file.
[[nodiscard]] std::optional<AccessPolicy> ReadPolicyFile(const char *path, std::string &error);

// The decisions. A remote caller is kRemoteUid; only `*` lines match it.
[[nodiscard]] bool MayDoAll(const AccessPolicy &policy, uint32_t uid);
// A registry write (create or delete a key, set or delete a value) at key, written as PolicyKey::path.
[[nodiscard]] bool MayWriteKey(const AccessPolicy &policy, uint32_t uid, std::string_view key);
// A change notification at key, which needs write or notify there.
[[nodiscard]] bool MayNotifyKey(const AccessPolicy &policy, uint32_t uid, std::string_view key);
// A use of an object that owner created.
[[nodiscard]] bool MayUseObject(const AccessPolicy &policy, uint32_t uid, uint32_t owner, ObjectVerb verb);
// Whether uid is handed, by name (an open, or a create that finds the name), an object owner created. Apart
// from the caller's own, that takes an `allow ... objects OWNER open` line, or that both may do everything:
// `allow WHO all` alone never hands a caller a name someone less trusted created first, so a name taken
// ahead of root is refused to root, not handed over as if it were its own.
[[nodiscard]] bool MayOpenByName(const AccessPolicy &policy, uint32_t uid, uint32_t owner);
// Whether a connection from another host at that address may call at all.
[[nodiscard]] bool MayCallFrom(const AccessPolicy &policy, const sockaddr_storage &address);
// The limit that applies to uid; kNoLimit when none does.
[[nodiscard]] uint64_t QuotaLimit(const AccessPolicy &policy, uint32_t uid, Quota quota);

// A KEY as the file or a command line spells it, in the form MayWriteKey takes; nullopt when it names
// no root. HKEY_CURRENT_USER becomes the given uid's own subtree.
[[nodiscard]] std::optional<std::string> NormalKeyPath(std::string_view key, uint32_t uid);
// The subtree a uid may always write: "HKLM/HKEY_USERS/S-1-22-1-<uid>"; empty for a remote caller.
[[nodiscard]] std::string OwnSubtree(uint32_t uid);
// The name of a verb ("open", ...), or nullopt; `write`, `notify` are not object verbs.
[[nodiscard]] std::optional<ObjectVerb> ObjectVerbNamed(std::string_view word);
[[nodiscard]] const char               *ObjectVerbName(ObjectVerb verb);
// "uid 1000", "root", "remote".
[[nodiscard]] std::string UidText(uint32_t uid);

// The policy in force as text, one directive a line as read, with groups' resolved members.
[[nodiscard]] std::string DescribePolicy(const AccessPolicy &policy);
// `kstctl policy test`: "allowed" or "refused" with the reason, for UID VERB TARGET; nullopt for a verb or
// target that can't be understood (why in error).
struct PolicyAnswer {
    bool        allowed;  // what the daemon would do
    std::string reason;   // what the request was read as, or why everything is allowed; may be empty
};
[[nodiscard]] std::optional<PolicyAnswer> TestPolicy(const AccessPolicy &policy, uint32_t uid, std::string_view verb,
                                                     std::string_view target, std::string &error);
