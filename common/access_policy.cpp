// access_policy.cpp: reads access.conf and answers what a caller may do; shared by the daemon and kstctl.
//
// The file is read whole or not at all: any line that does not parse rejects the file, so the daemon
// never serves under half a policy. Names of users and groups are looked up here, once; a name that
// resolves to no one is kept as a line that matches no one (with a note), so a group the package has not
// created yet does not stop the server.
#include "common/access_policy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t kHighestUid = 0xFFFFFFFDu;  // the two above name remote and unknown callers

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
           });
}

std::optional<uint64_t> Number(std::string_view text, uint64_t highest)
{
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (highest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t                   at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r'))
            ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
            ++end;
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// Every uid whose primary group is gid, and every user the group lists.
std::vector<uint32_t> MembersOf(const group &entry)
{
    std::vector<uint32_t>    members;
    const gid_t              gid = entry.gr_gid;
    std::vector<std::string> names;
    for (char **name = entry.gr_mem; name && *name; ++name)
        names.emplace_back(*name);
    setpwent();
    while (const passwd *user = getpwent())
        if (user->pw_gid == gid) members.push_back(user->pw_uid);
    endpwent();
    for (const std::string &name : names)
        if (const passwd *user = getpwnam(name.c_str())) members.push_back(user->pw_uid);
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    return members;
}

struct Parser {
    std::string               source;  // file name for messages
    int                       line = 0;
    std::string              &error;
    std::vector<std::string> &notes;

    // A message is "FILE:LINE: " and its parts, appended into one string.
    std::string Located(std::initializer_list<std::string_view> parts) const
    {
        std::string text = source;
        text += ':';
        text += std::to_string(line);
        text += ": ";
        for (const std::string_view part : parts)
            text += part;
        return text;
    }
    bool Fail(std::initializer_list<std::string_view> parts)
    {
        error = Located(parts);
        return false;
    }
    void Note(std::initializer_list<std::string_view> parts) { notes.push_back(Located(parts)); }

    std::optional<PolicyWho> Who(std::string_view word)
    {
        PolicyWho              who{PolicyWho::Kind::Uid, 0, {}, std::string(word)};
        const auto             colon = word.find(':');
        const std::string_view kind = word.substr(0, colon);
        const std::string      name(colon == std::string_view::npos ? "" : word.substr(colon + 1));
        if (word == "*") {
            who.kind = PolicyWho::Kind::Everyone;
        } else if (word == "root") {
            who.uid = 0;
        } else if (kind == "uid" && !name.empty()) {
            const auto uid = Number(name, kHighestUid);
            if (!uid) return Fail({"bad uid in '", who.text, "'"}), std::nullopt;
            who.uid = static_cast<uint32_t>(*uid);
        } else if (kind == "user" && !name.empty()) {
            if (const passwd *user = getpwnam(name.c_str())) {
                who.uid = user->pw_uid;
            } else {
                Note({"no user ", name, ": the line matches no one"});
                who.kind = PolicyWho::Kind::Members;
            }
        } else if ((kind == "group" || kind == "gid") && !name.empty()) {
            who.kind = PolicyWho::Kind::Members;
            const group *entry = nullptr;
            if (kind == "group") {
                entry = getgrnam(name.c_str());
            } else {
                const auto gid = Number(name, kHighestUid);
                if (!gid) return Fail({"bad gid in '", who.text, "'"}), std::nullopt;
                entry = getgrgid(static_cast<gid_t>(*gid));
            }
            if (entry)
                who.members = MembersOf(*entry);
            else
                Note({"no group ", name, ": the line matches no one"});
        } else {
            return Fail({"'", who.text, "' names no caller (*, root, uid:N, user:NAME, group:NAME, gid:N)"}),
                   std::nullopt;
        }
        return who;
    }

    std::optional<PolicyKey> Key(std::string_view word)
    {
        auto path = NormalKeyPath(word, 0);
        if (!path) return Fail({"'", word, "' is no key below a root"}), std::nullopt;
        PolicyKey              key{false, *path, std::string(word)};
        const auto             root_end = word.find_first_of("\\/");
        const std::string_view root = word.substr(0, root_end);
        if (SameText(root, "HKEY_CURRENT_USER") || SameText(root, "HKCU")) {
            key.current_user = true;
            const std::string own = OwnSubtree(0);
            key.path = path->size() > own.size() ? path->substr(own.size() + 1) : "";
        }
        return key;
    }

    std::optional<uint32_t> Verbs(std::string_view word)
    {
        if (word == "all") return kAllVerbs;
        uint32_t verbs = 0;
        while (!word.empty()) {
            const auto comma = word.find(',');
            const auto verb = ObjectVerbNamed(word.substr(0, comma));
            if (!verb)
                return Fail({"'", word.substr(0, comma),
                             "' is no verb (open, wait, signal, reset, release, close, all)"}),
                       std::nullopt;
            verbs |= static_cast<uint32_t>(*verb);
            word = comma == std::string_view::npos ? std::string_view() : word.substr(comma + 1);
        }
        if (verbs == 0) return Fail({"no verbs"}), std::nullopt;
        return verbs;
    }

    std::optional<PolicyNetwork> Network(std::string_view word)
    {
        PolicyNetwork     net{AF_INET, {}, 32, std::string(word)};
        const auto        slash = word.find('/');
        const std::string address(word.substr(0, slash));
        if (inet_pton(AF_INET, address.c_str(), net.bytes) == 1) {
            net.family = AF_INET;
            net.prefix = 32;
        } else if (inet_pton(AF_INET6, address.c_str(), net.bytes) == 1) {
            net.family = AF_INET6;
            net.prefix = 128;
        } else {
            return Fail({"'", address, "' is no IPv4 or IPv6 address"}), std::nullopt;
        }
        if (slash != std::string_view::npos) {
            const auto prefix = Number(word.substr(slash + 1), net.prefix);
            if (!prefix) return Fail({"bad prefix in '", net.text, "'"}), std::nullopt;
            net.prefix = static_cast<uint32_t>(*prefix);
        }
        return net;
    }

    bool Directive(AccessPolicy &policy, const std::vector<std::string_view> &w)
    {
        if (w[0] == "allow" && w.size() == 3 && w[1] == "remote") {
            auto net = Network(w[2]);
            if (!net) return false;
            policy.remote.push_back(std::move(*net));
            return true;
        }
        if (w[0] == "allow" && w.size() >= 3) {
            auto who = Who(w[1]);
            if (!who) return false;
            if (w[2] == "all" && w.size() == 3) {
                policy.all.push_back(std::move(*who));
                return true;
            }
            if ((w[2] == "write" || w[2] == "notify") && w.size() == 4) {
                auto key = Key(w[3]);
                if (!key) return false;
                (w[2] == "write" ? policy.write : policy.notify).push_back({std::move(*who), std::move(*key)});
                return true;
            }
            if (w[2] == "objects" && w.size() == 5) {
                auto owner = Who(w[3]);
                auto verbs = owner ? Verbs(w[4]) : std::nullopt;
                if (!verbs) return false;
                policy.objects.push_back({std::move(*who), std::move(*owner), *verbs});
                return true;
            }
            return Fail({"allow takes: WHO all | WHO write KEY | WHO notify KEY | WHO objects OWNER VERBS | "
                         "remote ADDRESS[/PREFIX]"});
        }
        if (w[0] == "quota" && w.size() >= 3) {
            auto who = Who(w[1]);
            if (!who) return false;
            PolicyQuota quota{std::move(*who), {}};
            quota.limits.fill(kNoLimit);
            for (std::size_t i = 2; i < w.size(); ++i) {
                const auto eq = w[i].find('=');
                const auto name = w[i].substr(0, eq);
                const auto it = std::find_if(kQuotaNames.begin(), kQuotaNames.end(),
                                             [name](const char *known) { return name == known; });
                if (eq == std::string_view::npos || it == kQuotaNames.end())
                    return Fail({"'", w[i],
                                 "': quotas are objects, keys, value-bytes, registrations, "
                                 "waits, connections, each =N"});
                const auto value = w[i].substr(eq + 1);
                const auto limit =
                    value == "unlimited" ? std::optional<uint64_t>(kNoLimit) : Number(value, kNoLimit - 1);
                if (!limit) return Fail({"bad number in '", w[i], "'"});
                quota.limits[static_cast<std::size_t>(it - kQuotaNames.begin())] = *limit;
            }
            policy.quotas.push_back(std::move(quota));
            return true;
        }
        if (w[0] == "reserve" && w.size() == 2 && w[1].substr(0, 17) == "root-connections=") {
            const auto n = Number(w[1].substr(17), 1000000);
            if (!n) return Fail({"bad number in '", w[1], "'"});
            policy.reserve_root_connections = static_cast<uint32_t>(*n);
            return true;
        }
        return Fail({"unknown directive '", w[0], "' or wrong number of words"});
    }
};

bool Matches(const PolicyWho &who, uint32_t uid)
{
    switch (who.kind) {
    case PolicyWho::Kind::Everyone:
        return true;
    case PolicyWho::Kind::Uid:
        return uid == who.uid;
    case PolicyWho::Kind::Members:
        return std::binary_search(who.members.begin(), who.members.end(), uid);
    }
    return false;
}

bool Below(std::string_view key, std::string_view subtree)
{
    return key.size() >= subtree.size() && key.substr(0, subtree.size()) == subtree &&
           (key.size() == subtree.size() || key[subtree.size()] == '/');
}

bool Covers(const PolicyKeyRule &rule, uint32_t uid, std::string_view key)
{
    if (!Matches(rule.who, uid)) return false;
    if (!rule.key.current_user) return Below(key, rule.key.path);
    if (uid == kRemoteUid || uid == kUnknownUid) return false;
    const std::string own = OwnSubtree(uid);
    return Below(key, rule.key.path.empty() ? own : own + "/" + rule.key.path);
}

bool InNetwork(const PolicyNetwork &net, int family, const uint8_t *bytes)
{
    if (family != net.family) return false;
    uint32_t bits = net.prefix;
    for (std::size_t i = 0; bits > 0; ++i, bits = bits >= 8 ? bits - 8 : 0) {
        const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
        if ((bytes[i] & mask) != (net.bytes[i] & mask)) return false;
    }
    return true;
}

void DescribeWho(std::string &out, const PolicyWho &who)
{
    out += who.text;
    if (who.kind != PolicyWho::Kind::Members) return;
    out += " (";
    for (std::size_t i = 0; i < who.members.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(who.members[i]);
    }
    out += who.members.empty() ? "no one)" : ")";
}

std::string VerbsText(uint32_t verbs)
{
    if (verbs == kAllVerbs) return "all";
    std::string text;
    for (uint32_t bit = 1; bit <= 32; bit <<= 1) {
        if (!(verbs & bit)) continue;
        if (!text.empty()) text += ',';
        text += ObjectVerbName(static_cast<ObjectVerb>(bit));
    }
    return text;
}

}  // namespace

std::optional<AccessPolicy> ParsePolicy(std::string_view text, const std::string &source, std::string &error)
{
    AccessPolicy policy;
    policy.present = true;
    policy.source = source;
    Parser parser{source, 0, error, policy.notes};
    while (!text.empty()) {
        ++parser.line;
        const auto       end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const auto words = Words(line);
        if (words.empty()) continue;
        if (!parser.Directive(policy, words)) return std::nullopt;
    }
    return policy;
}

std::optional<AccessPolicy> ReadPolicyFile(const char *path, std::string &error)
{
    constexpr off_t kMaxPolicySize = 1 << 20;  // a policy is a page or two; more is a mistake
    const int       fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return AccessPolicy{};
        error = std::string(path) + ": " + strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxPolicySize) {
        error = std::string(path) + ": not a regular file of at most 1 MiB";
    } else {
        text.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        text.resize(done);
    }
    close(fd);
    if (!error.empty()) return std::nullopt;
    return ParsePolicy(text, path, error);
}

bool MayDoAll(const AccessPolicy &policy, uint32_t uid)
{
    if (!policy.present) return true;
    return std::any_of(policy.all.begin(), policy.all.end(), [uid](const PolicyWho &who) { return Matches(who, uid); });
}

bool MayWriteKey(const AccessPolicy &policy, uint32_t uid, std::string_view key)
{
    if (MayDoAll(policy, uid)) return true;
    if (uid != kRemoteUid && uid != kUnknownUid && Below(key, OwnSubtree(uid))) return true;
    return std::any_of(policy.write.begin(), policy.write.end(),
                       [&](const PolicyKeyRule &rule) { return Covers(rule, uid, key); });
}

bool MayNotifyKey(const AccessPolicy &policy, uint32_t uid, std::string_view key)
{
    if (MayWriteKey(policy, uid, key)) return true;
    return std::any_of(policy.notify.begin(), policy.notify.end(),
                       [&](const PolicyKeyRule &rule) { return Covers(rule, uid, key); });
}

bool MayUseObject(const AccessPolicy &policy, uint32_t uid, uint32_t owner, ObjectVerb verb)
{
    if (uid == owner || MayDoAll(policy, uid)) return true;
    return std::any_of(policy.objects.begin(), policy.objects.end(), [&](const PolicyObjects &rule) {
        return (rule.verbs & static_cast<uint32_t>(verb)) != 0 && Matches(rule.who, uid) && Matches(rule.owner, owner);
    });
}

bool MayOpenByName(const AccessPolicy &policy, uint32_t uid, uint32_t owner)
{
    if (!policy.present || uid == owner || (MayDoAll(policy, uid) && MayDoAll(policy, owner))) return true;
    return std::any_of(policy.objects.begin(), policy.objects.end(), [&](const PolicyObjects &rule) {
        return (rule.verbs & static_cast<uint32_t>(ObjectVerb::Open)) != 0 && Matches(rule.who, uid) &&
               Matches(rule.owner, owner);
    });
}

bool MayCallFrom(const AccessPolicy &policy, const sockaddr_storage &address)
{
    if (!policy.present) return true;
    int            family = address.ss_family;
    const uint8_t *bytes = nullptr;
    if (family == AF_INET) {
        bytes = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in &>(address).sin_addr);
    } else if (family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
        bytes = in6.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6)) {
            family = AF_INET;
            bytes += 12;
        }
    } else {
        return false;
    }
    return std::any_of(policy.remote.begin(), policy.remote.end(),
                       [&](const PolicyNetwork &net) { return InNetwork(net, family, bytes); });
}

uint64_t QuotaLimit(const AccessPolicy &policy, uint32_t uid, Quota quota)
{
    for (const PolicyQuota &line : policy.quotas)
        if (Matches(line.who, uid)) return line.limits[static_cast<std::size_t>(quota)];
    return kNoLimit;
}

std::optional<std::string> NormalKeyPath(std::string_view key, uint32_t uid)
{
    const auto             root_end = key.find_first_of("\\/");
    const std::string_view root = key.substr(0, root_end);
    std::string            path;
    if (SameText(root, "HKEY_LOCAL_MACHINE") || SameText(root, "HKLM"))
        path = "HKLM";
    else if (SameText(root, "HKEY_CLASSES_ROOT") || SameText(root, "HKEY_CLASS_ROOT") || SameText(root, "HKCR"))
        path = "HKCR";
    else if (SameText(root, "HKEY_USERS") || SameText(root, "HKU"))
        path = "HKLM/HKEY_USERS";
    else if (SameText(root, "HKEY_CURRENT_USER") || SameText(root, "HKCU"))
        path = OwnSubtree(uid);
    else
        return std::nullopt;
    if (path.empty()) return std::nullopt;
    std::string_view rest = root_end == std::string_view::npos ? std::string_view() : key.substr(root_end);
    while (!rest.empty()) {
        const auto start = rest.find_first_not_of("\\/");
        if (start == std::string_view::npos) break;
        rest = rest.substr(start);
        const auto             end = rest.find_first_of("\\/");
        const std::string_view part = rest.substr(0, end);
        if (part == "." || part == "..") return std::nullopt;
        path += '/';
        for (const char c : part)
            path += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    return path;
}

std::string OwnSubtree(uint32_t uid)
{
    if (uid == kRemoteUid || uid == kUnknownUid) return "";
    return "HKLM/HKEY_USERS/S-1-22-1-" + std::to_string(uid);
}

std::optional<ObjectVerb> ObjectVerbNamed(std::string_view word)
{
    for (uint32_t bit = 1; bit <= 32; bit <<= 1)
        if (word == ObjectVerbName(static_cast<ObjectVerb>(bit))) return static_cast<ObjectVerb>(bit);
    return std::nullopt;
}

const char *ObjectVerbName(ObjectVerb verb)
{
    switch (verb) {
    case ObjectVerb::Open:
        return "open";
    case ObjectVerb::Wait:
        return "wait";
    case ObjectVerb::Signal:
        return "signal";
    case ObjectVerb::Reset:
        return "reset";
    case ObjectVerb::Release:
        return "release";
    case ObjectVerb::Close:
        return "close";
    }
    return "?";
}

std::string UidText(uint32_t uid)
{
    if (uid == kRemoteUid) return "remote";
    if (uid == kUnknownUid) return "unknown";
    return std::to_string(uid);
}

std::string DescribePolicy(const AccessPolicy &policy)
{
    if (!policy.present) return "policy: none (every caller may do everything)\n";
    std::string out = "policy: " + policy.source + "\n";
    for (const PolicyWho &who : policy.all) {
        out += "allow ";
        DescribeWho(out, who);
        out += " all\n";
    }
    for (const auto *rules : {&policy.write, &policy.notify})
        for (const PolicyKeyRule &rule : *rules) {
            out += "allow ";
            DescribeWho(out, rule.who);
            out += (rules == &policy.write ? " write " : " notify ") + rule.key.text + "\n";
        }
    for (const PolicyObjects &rule : policy.objects) {
        out += "allow ";
        DescribeWho(out, rule.who);
        out += " objects ";
        DescribeWho(out, rule.owner);
        out += ' ';
        out += VerbsText(rule.verbs);
        out += '\n';
    }
    for (const PolicyNetwork &net : policy.remote) {
        out += "allow remote ";
        out += net.text;
        out += '\n';
    }
    for (const PolicyQuota &quota : policy.quotas) {
        out += "quota ";
        DescribeWho(out, quota.who);
        for (std::size_t i = 0; i < kQuotaCount; ++i)
            if (quota.limits[i] != kNoLimit) {
                out += ' ';
                out += kQuotaNames[i];
                out += '=';
                out += std::to_string(quota.limits[i]);
            }
        out += "\n";
    }
    out += "reserve root-connections=";
    out += std::to_string(policy.reserve_root_connections);
    out += '\n';
    for (const std::string &note : policy.notes) {
        out += "# ";
        out += note;
        out += '\n';
    }
    return out;
}

std::optional<PolicyAnswer> TestPolicy(const AccessPolicy &policy, uint32_t uid, std::string_view verb,
                                       std::string_view target, std::string &error)
{
    if (!policy.present) return PolicyAnswer{true, "no policy file: every caller may do everything"};
    if (verb == "write" || verb == "notify") {
        const auto key = NormalKeyPath(target, uid);
        if (!key) {
            error = "'";
            error += target;
            error += "' is no key below a root";
            return std::nullopt;
        }
        const bool allowed = verb == "write" ? MayWriteKey(policy, uid, *key) : MayNotifyKey(policy, uid, *key);
        return PolicyAnswer{allowed, "as " + *key};
    }
    if (verb == "remote") {
        sockaddr_storage  address{};
        const std::string text(target);
        auto             &in4 = reinterpret_cast<sockaddr_in &>(address);
        auto             &in6 = reinterpret_cast<sockaddr_in6 &>(address);
        if (inet_pton(AF_INET, text.c_str(), &in4.sin_addr) == 1)
            address.ss_family = AF_INET;
        else if (inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1)
            address.ss_family = AF_INET6;
        else {
            error = "'" + text + "' is no IPv4 or IPv6 address";
            return std::nullopt;
        }
        return PolicyAnswer{MayCallFrom(policy, address), ""};
    }
    const auto object_verb = ObjectVerbNamed(verb);
    if (!object_verb) {
        error = "'";
        error += verb;
        error += "' is no verb (open, wait, signal, reset, release, close, write, notify, "
                 "remote)";
        return std::nullopt;
    }
    std::string_view owner_text = target.substr(0, 4) == "uid:" ? target.substr(4) : target;
    const auto       owner = owner_text == "root"     ? std::optional<uint64_t>(0)
                             : owner_text == "remote" ? std::optional<uint64_t>(kRemoteUid)
                                                      : Number(owner_text, kHighestUid);
    if (!owner) {
        error = "the target of an object verb is the uid that created the object";
        return std::nullopt;
    }
    const auto owner_uid = static_cast<uint32_t>(*owner);
    return PolicyAnswer{*object_verb == ObjectVerb::Open ? MayOpenByName(policy, uid, owner_uid)
                                                         : MayUseObject(policy, uid, owner_uid, *object_verb),
                        "an object of uid " + UidText(static_cast<uint32_t>(*owner))};
}
