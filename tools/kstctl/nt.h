// nt.h: what the subcommands that call the daemon through libkstnt share: error texts, the exit status
// an error code means, and owners for keys and handles.
#pragma once

#include "libkstnt/kstnt.h"
#include "tools/kstctl/keypath.h"

#include <string>
#include <utility>

namespace kstctl {

// "not found", "daemon unreachable", ... for an NT error code.
std::string ErrorText(DWORD code);
// kExitUnavailable when the code says the daemon could not be reached, else kExitFailure.
int StatusFor(DWORD code);
// Prints "<what>: <error text>" and returns StatusFor(code).
int FailCode(DWORD code, const std::string &what);

// A key handle that is closed when its owner goes away; the root handles are never closed.
class UniqueKey {
public:
    UniqueKey() = default;
    explicit UniqueKey(HKEY key) : key_(key) {}
    UniqueKey(UniqueKey &&other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    UniqueKey &operator=(UniqueKey &&other) noexcept
    {
        if (this != &other) reset(std::exchange(other.key_, nullptr));
        return *this;
    }
    UniqueKey(const UniqueKey &) = delete;
    UniqueKey &operator=(const UniqueKey &) = delete;
    ~UniqueKey() { reset(); }

    [[nodiscard]] HKEY get() const { return key_; }
    void               reset(HKEY key = nullptr);

private:
    HKEY key_ = nullptr;  // nullptr when nothing is owned
};

// An object handle that is closed when its owner goes away.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] HANDLE get() const { return h_; }
    // Gives the handle up without closing it: the object keeps the reference for good.
    HANDLE release() { return std::exchange(h_, nullptr); }
    void   reset(HANDLE h = nullptr);

private:
    HANDLE h_ = nullptr;  // nullptr when nothing is owned
};

HKEY RootHandle(Root root);
// Opens key one name at a time, so paths longer than one request's name field work too.
LONG OpenKeyPath(const KeyPath &key, UniqueKey &out);
// Opens key, creating every missing key on the way.
LONG CreateKeyPath(const KeyPath &key, UniqueKey &out);

}  // namespace kstctl
