// registry.cpp: keys, values and change notification with NT results, on the daemon's UTF-8 names.
//
// Several daemon replies carry no code: a failed value query reads as type 0 and size 0, a failed
// enumeration as an empty name, a failed information query as zero counts, and a failed key delete
// says "not found" for a bad key and a missing subkey alike. Where NT distinguishes the cases, one more
// call tells them apart: opening the empty subkey replies 0 on a valid key and 2 on any other.
#include "libkstnt/registry.h"

#include "client/user_roots.h"
#include "libkstnt/chars.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kstnt {
namespace {

using kst::Bytes;

// The daemon's directories of the two roots; a key's full path starts with one of them.
constexpr std::string_view kClassRootDir = "/opt/orn/kestrel/registry/HKEY_CLASS_ROOT";
constexpr std::string_view kLocalMachineDir = "/opt/orn/kestrel/registry/HKEY_LOCAL_MACHINE";
constexpr uint64_t         kClassRoot = 1, kLocalMachine = 2;  // the daemon's words for the roots
constexpr uint32_t         kQueryCapacity = 507;               // most data bytes a value query returns

HKEY KeyHandle(uint64_t word)
{
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(word));
}

// Full-path lengths of the keys this process has opened or created, so that a path the daemon could
// not build is refused here with a clear code. Keys of other processes' handles are not known and
// are left to the daemon. An entry is a few bytes per key ever opened; none is removed, because the
// same key opened twice has one word and closing one handle must not forget the other.
class KeyPaths {
public:
    // The length of the key's full path, its closing "//" included; 0 when not known.
    std::size_t Length(uint64_t key)
    {
        if (key == kClassRoot) return kClassRootDir.size() + 2;
        if (key == kLocalMachine) return kLocalMachineDir.size() + 2;
        std::lock_guard lock(mutex_);
        const auto      found = lengths_.find(key);
        return found == lengths_.end() ? 0 : found->second;
    }
    void Remember(uint64_t key, std::size_t length)
    {
        if (length == 0) return;
        std::lock_guard lock(mutex_);
        lengths_[key] = length;
    }

private:
    std::mutex                                mutex_;    // handles are shared by every thread
    std::unordered_map<uint64_t, std::size_t> lengths_;  // key word -> full path length
};

// Never destroyed: another thread may still call in while the process exits.
KeyPaths &Paths()
{
    static KeyPaths *const paths = new KeyPaths;
    return *paths;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// What a subkey path adds to its parent's full path: each component and its "//".
std::size_t SubPathLength(std::string_view path)
{
    std::size_t length = 0, component = 0;
    for (const char c : path) {
        if (!IsSeparator(c)) {
            ++component;
            continue;
        }
        if (component) length += component + 2;
        component = 0;
    }
    return component ? length + component + 2 : length;
}

// The full-path length of parent\sub, or 0 when the parent's is not known.
std::size_t ChildLength(uint64_t parent, std::string_view sub)
{
    const std::size_t base = Paths().Length(parent);
    return base ? base + SubPathLength(sub) : 0;
}

// A subkey path or value name the daemon's 256-byte field and path buffer can hold; value adds the
// "V_" of a value file to the path.
LONG CheckName(uint64_t key, std::string_view name, bool value)
{
    if (name.size() > KSTNT_MAX_KEY_NAME) return ERROR_FILENAME_EXCED_RANGE;
    const std::size_t base = Paths().Length(key);
    const std::size_t full = value ? base + 2 + name.size() : base + SubPathLength(name);
    return base && full > KSTNT_MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

// The code a failed helper left in the thread's last error.
LONG Failed()
{
    return static_cast<LONG>(GetLastError());
}

// True when the daemon knows the key; nullopt (last error set) when it could not be asked.
std::optional<bool> KeyExists(uint64_t key)
{
    const auto word = CallWord(kst::proc::kRegOpenKey, kst::EncodeOpen(key, ""));
    if (!word) return std::nullopt;
    return *word == 0;
}

// ERROR_INVALID_HANDLE when the key is gone, else the code for an empty answer on a valid key.
LONG ExplainEmpty(uint64_t key, LONG on_valid_key)
{
    const auto exists = KeyExists(key);
    if (!exists) return Failed();
    return *exists ? on_valid_key : ERROR_INVALID_HANDLE;
}

LONG KeyCode(uint64_t word)
{
    return static_cast<LONG>(Translate(word, Subject::Key));
}

// A call on a key whose reply is the daemon's code.
LONG CodeCall(uint32_t proc, const Bytes &args)
{
    const auto word = CallWord(proc, args);
    return word ? KeyCode(*word) : Failed();
}

// Upper case with "/" for "\", as the daemon stores a value name.
std::string ValueFileName(std::string_view name)
{
    std::string out(name);
    for (char &c : out)
        c = c == '\\' ? '/' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    return out;
}

// A value the query returned cut at its capacity, read whole through the enumeration, which returns
// up to 512 bytes. nullopt when no entry of that name is found.
std::optional<kst::EnumValueResult> WholeValue(uint64_t key, std::string_view name)
{
    const auto info = CallBody(kst::proc::kRegQueryInfoKey, kst::EncodeWord(key));
    const auto counts = info ? kst::DecodeWords5(*info) : std::nullopt;
    if (!counts) return std::nullopt;
    const std::string wanted = ValueFileName(name);
    for (uint64_t index = 0; index < counts->arg3; ++index) {
        const auto body = CallBody(kst::proc::kRegEnumValue, kst::EncodeWords5({.arg1 = key, .arg2 = index}));
        auto       value = body ? kst::DecodeEnumValue(*body) : std::nullopt;
        if (value && value->name == wanted) return value;
    }
    return std::nullopt;
}

// The key of HKEY_USERS, HKEY_CURRENT_USER or HKEY_CURRENT_CONFIG, or nullopt for any other key.
std::optional<kst::UserRoot> UserRootOf(HKEY key)
{
    if (key == HKEY_USERS) return kst::UserRoot::Users;
    if (key == HKEY_CURRENT_USER) return kst::UserRoot::CurrentUser;
    if (key == HKEY_CURRENT_CONFIG) return kst::UserRoot::CurrentConfig;
    return std::nullopt;
}

// The daemon's words for the per-user roots, each created on the process's first call on it. The
// lock is held while the key is created, so two threads never create it at once.
class UserRoots {
public:
    LONG Word(kst::UserRoot which, uint64_t &word)
    {
        std::lock_guard lock(mutex_);
        uint64_t       &slot = words_[static_cast<std::size_t>(which)];
        if (!slot) {
            std::string error;
            const auto  mapped = kst::MapUserRoot(which, error);
            if (!mapped) return ERROR_PATH_NOT_FOUND;  // an override that names no key of the daemon
            const HKEY root = mapped->root == kClassRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
            HKEY       created = nullptr;
            if (const LONG rc = CreateKey(root, mapped->root, mapped->path, &created, nullptr)) return rc;
            slot = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(created));
        }
        word = slot;
        return ERROR_SUCCESS;
    }
    void Forget(kst::UserRoot which)
    {
        std::lock_guard lock(mutex_);
        words_[static_cast<std::size_t>(which)] = 0;
    }

private:
    std::mutex              mutex_;    // calls come from every thread
    std::array<uint64_t, 3> words_{};  // by kst::UserRoot; 0 until created
};

// Never destroyed, like Paths().
UserRoots &Roots()
{
    static UserRoots *const roots = new UserRoots;
    return *roots;
}

}  // namespace

LONG ResolveKey(HKEY key, uint64_t &word)
{
    if (!key) return ERROR_INVALID_HANDLE;
    if (key == HKEY_CLASSES_ROOT) {
        word = kClassRoot;
    } else if (key == HKEY_LOCAL_MACHINE) {
        word = kLocalMachine;
    } else if (const auto which = UserRootOf(key)) {
        return Roots().Word(*which, word);
    } else {
        word = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
    }
    return ERROR_SUCCESS;
}

bool ForgetUserRoot(HKEY key) noexcept
{
    const auto which = UserRootOf(key);
    if (which) Roots().Forget(*which);
    return which.has_value();
}

void StoreTime(PFILETIME out, uint64_t seconds)
{
    if (!out) return;
    const uint64_t ticks = (seconds + 11644473600ull) * 10000000ull;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

LONG StoreData(std::string_view data, LPBYTE buffer, LPDWORD size)
{
    if (!size) return ERROR_SUCCESS;
    const DWORD capacity = *size;
    *size = static_cast<DWORD>(data.size());
    if (!buffer) return ERROR_SUCCESS;
    if (capacity < data.size()) return ERROR_MORE_DATA;
    memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

LONG OpenKey(HKEY parent, uint64_t key, std::string_view sub, PHKEY result)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    if (const LONG rc = CheckName(key, sub, false)) return rc;
    // No component names the key itself: the daemon's open of "" then only says whether it is valid.
    const bool itself = SubPathLength(sub) == 0;
    const auto word = CallWord(kst::proc::kRegOpenKey, kst::EncodeOpen(key, itself ? "" : sub));
    if (!word) return Failed();
    if (IsIdentity(*word)) {
        Paths().Remember(*word, ChildLength(key, sub));
        *result = KeyHandle(*word);
        return ERROR_SUCCESS;
    }
    if (*word == 0 && itself) {
        *result = parent;
        return ERROR_SUCCESS;
    }
    return *word == 0 ? ERROR_FILE_NOT_FOUND : KeyCode(*word);
}

// NT creates every missing key on the way; the daemon creates only the last one and answers 4 when
// its parent is missing. Then each prefix of the path is created in turn, and the whole path again.
LONG CreateKey(HKEY parent, uint64_t key, std::string_view sub, PHKEY result, LPDWORD disposition)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    if (const LONG rc = CheckName(key, sub, false)) return rc;
    if (SubPathLength(sub) == 0 || disposition) {
        const LONG rc = OpenKey(parent, key, sub, result);
        if (rc != ERROR_FILE_NOT_FOUND) {
            if (rc == ERROR_SUCCESS && disposition) *disposition = REG_OPENED_EXISTING_KEY;
            return rc;
        }
    }
    auto create = [key](std::string_view path) {
        return CallWord(kst::proc::kRegCreateKey, kst::EncodeOpen(key, path));
    };
    auto word = create(sub);
    if (word && *word == 4) {
        for (std::size_t at = 0; at < sub.size(); ++at) {
            if (!IsSeparator(sub[at]) || at == 0 || IsSeparator(sub[at - 1])) continue;
            const auto step = create(sub.substr(0, at));
            if (!step) return Failed();
            if (!IsIdentity(*step)) return KeyCode(*step);
        }
        word = create(sub);
    }
    if (!word) return Failed();
    if (!IsIdentity(*word)) return *word == 0 ? ERROR_INVALID_DATA : KeyCode(*word);
    Paths().Remember(*word, ChildLength(key, sub));
    *result = KeyHandle(*word);
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LONG DeleteKey(uint64_t key, std::string_view sub)
{
    if (SubPathLength(sub) == 0) return ERROR_INVALID_PARAMETER;
    if (const LONG rc = CheckName(key, sub, false)) return rc;
    const auto word = CallWord(kst::proc::kRegDeleteKey, kst::EncodeOpen(key, sub));
    if (!word) return Failed();
    return *word == 2 ? ExplainEmpty(key, ERROR_FILE_NOT_FOUND) : KeyCode(*word);
}

// The daemon keeps a value in a file named after it, and a '\\' or '/' in the name would put that file
// in another directory: such a name can't be stored, so it is never sent. Setting one is refused;
// reading or deleting one finds nothing, as for any missing value.
bool Storable(std::string_view value_name)
{
    return value_name.find_first_of("\\/") == std::string_view::npos;
}

LONG SetValue(uint64_t key, std::string_view name, DWORD type, std::string_view data)
{
    if (data.size() > KSTNT_MAX_VALUE_DATA) return ERROR_INVALID_PARAMETER;
    if (!Storable(name)) return ERROR_INVALID_NAME;
    if (const LONG rc = CheckName(key, name, true)) return rc;
    return CodeCall(kst::proc::kRegSetValue, kst::EncodeSet(key, name, type, data.size(), data));
}

LONG QueryValue(uint64_t key, std::string_view name, Value &out)
{
    if (!Storable(name)) return ERROR_FILE_NOT_FOUND;
    if (const LONG rc = CheckName(key, name, true)) return rc;
    const auto body = CallBody(kst::proc::kRegQueryValue, kst::EncodeOpen(key, name));
    if (!body) return Failed();
    auto result = kst::DecodeQuery(*body);
    if (!result || result->size > kst::kValueDataChars) return ERROR_INVALID_DATA;
    // A failed query and an empty value of type REG_NONE look the same; both read as "not found".
    if (result->type == 0 && result->size == 0) return ExplainEmpty(key, ERROR_FILE_NOT_FOUND);
    out.data = result->data.substr(0, result->size);
    out.type = static_cast<DWORD>(result->type);
    if (result->size == kQueryCapacity) {
        if (auto whole = WholeValue(key, name); whole && whole->size <= kst::kValueDataChars) {
            out.data = whole->data.substr(0, whole->size);
            out.type = static_cast<DWORD>(whole->type);
        }
    }
    return ERROR_SUCCESS;
}

// The daemon removes a value whether or not it exists, so deleting a missing value succeeds.
LONG DeleteValue(uint64_t key, std::string_view name)
{
    if (!Storable(name)) return ERROR_FILE_NOT_FOUND;
    if (const LONG rc = CheckName(key, name, true)) return rc;
    return CodeCall(kst::proc::kRegDeleteValue, kst::EncodeOpen(key, name));
}

LONG EnumKey(uint64_t key, DWORD index, std::string &name, uint64_t &written)
{
    const auto body = CallBody(kst::proc::kRegEnumKey, kst::EncodeWords5({.arg1 = key, .arg2 = index}));
    if (!body) return Failed();
    auto result = kst::DecodeEnumKey(*body);
    if (!result) return ERROR_INVALID_DATA;
    if (result->name.empty()) return ExplainEmpty(key, ERROR_NO_MORE_ITEMS);
    name = std::move(result->name);
    written = result->arg1;
    return ERROR_SUCCESS;
}

LONG EnumValue(uint64_t key, DWORD index, std::string &name, Value &out)
{
    const auto body = CallBody(kst::proc::kRegEnumValue, kst::EncodeWords5({.arg1 = key, .arg2 = index}));
    if (!body) return Failed();
    auto result = kst::DecodeEnumValue(*body);
    if (!result || result->size > kst::kValueDataChars) return ERROR_INVALID_DATA;
    if (result->name.empty()) return ExplainEmpty(key, ERROR_NO_MORE_ITEMS);
    name = std::move(result->name);
    out.type = static_cast<DWORD>(result->type);
    out.data = result->data.substr(0, result->size);
    return ERROR_SUCCESS;
}

LONG QueryInfo(uint64_t key, KeyInfo &out)
{
    const auto body = CallBody(kst::proc::kRegQueryInfoKey, kst::EncodeWord(key));
    if (!body) return Failed();
    const auto info = kst::DecodeWords5(*body);
    if (!info) return ERROR_INVALID_DATA;
    if (info->arg1 == 0 && info->arg3 == 0)
        if (const LONG rc = ExplainEmpty(key, ERROR_SUCCESS)) return rc;
    out.sub_keys = static_cast<DWORD>(info->arg1);
    out.max_sub_key = static_cast<DWORD>(info->arg2);
    out.values = static_cast<DWORD>(info->arg3);
    // One word carries both maxima: the longest value name above bit 16, the largest data below.
    out.max_value_name = static_cast<DWORD>((info->arg4 >> 16) & 0xFFFF);
    out.max_value = static_cast<DWORD>(info->arg4 & 0xFFFF);
    out.written = info->arg5;
    return ERROR_SUCCESS;
}

namespace {

// The synchronous form parks the call until a value write under the key; like an INFINITE wait it
// has no time-out of its own. The asynchronous form registers the event and returns at once.
LONG Notify(uint64_t key, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent, BOOL fAsynchronous)
{
    if (fAsynchronous && !hEvent) return ERROR_INVALID_PARAMETER;
    const Bytes args = kst::EncodeWords5({.arg1 = key,
                                          .arg2 = bWatchSubtree ? 1u : 0u,
                                          .arg3 = dwNotifyFilter,
                                          .arg4 = fAsynchronous ? reinterpret_cast<uintptr_t>(hEvent) : 0,
                                          .arg5 = fAsynchronous ? 1u : 0u});
    if (fAsynchronous) return CodeCall(kst::proc::kRegNotify, args);
    kst::Connection *c = Connection();
    if (!c) return Failed();
    const uint32_t xid = c->NextXid();
    if (!Send(*c, kst::proc::kRegNotify, args, xid)) return Failed();
    kst::Reply reply;
    if (Receive(*c, INFINITE, reply) != Got::Reply) return Failed();
    const auto word = reply.Word();
    if (reply.xid != xid || !word) {
        Drop();
        return ERROR_INVALID_DATA;
    }
    return KeyCode(*word);
}

}  // namespace
}  // namespace kstnt

using namespace kstnt;

extern "C" {

// Keys are not counted by the daemon: closing tells it nothing, and the predefined keys stay open.
KSTNT_API LONG WINAPI RegCloseKey(HKEY hKey)
{
    return GuardReg([&]() -> LONG {
        if (!hKey) return ERROR_INVALID_HANDLE;
        if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_LOCAL_MACHINE || UserRootOf(hKey)) return ERROR_SUCCESS;
        return CodeCall(kst::proc::kRegCloseKey, kst::EncodeWord(reinterpret_cast<uintptr_t>(hKey)));
    });
}

// Every write is on disk when its call returns.
KSTNT_API LONG WINAPI RegFlushKey(HKEY hKey)
{
    return OnKey(hKey, [&](uint64_t key) { return CodeCall(kst::proc::kRegFlushKey, kst::EncodeWord(key)); });
}

KSTNT_API LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                              BOOL fAsynchronous)
{
    return OnKey(hKey, [&](uint64_t key) { return Notify(key, bWatchSubtree, dwNotifyFilter, hEvent, fAsynchronous); });
}
}
