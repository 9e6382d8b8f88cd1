// nt.cpp: error texts and key helpers over libkstnt.
#include "tools/kstctl/nt.h"

#include "tools/kstctl/kstctl.h"

namespace kstctl {

std::string ErrorText(DWORD code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return "success";
    case ERROR_FILE_NOT_FOUND:
        return "not found";
    case ERROR_INVALID_HANDLE:
        return "the daemon does not know the handle";
    case ERROR_INVALID_PARAMETER:
        return "refused as invalid";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return "the daemon is out of memory";
    case ERROR_BUSY:
        return "in use";
    case ERROR_CANTWRITE:
        return "the daemon could not write or read its file";
    case ERROR_CANTREAD:
        return "the daemon could not read its file";
    case ERROR_INVALID_NAME:
        return "invalid name";
    case ERROR_FILENAME_EXCED_RANGE:
        return "name or path too long";
    case ERROR_NOT_OWNER:
        return "not owned by this caller";
    case ERROR_TOO_MANY_POSTS:
        return "the count would exceed the maximum";
    case ERROR_INVALID_DATA:
        return "unexpected answer from the daemon";
    case ERROR_SERVICE_NOT_ACTIVE:
        return "daemon unreachable (is KSTntserver running and registered?)";
    case ERROR_CONNECTION_ABORTED:
        return "connection to the daemon lost";
    case ERROR_TIMEOUT:
        return "the daemon did not answer in time";
    default:
        return "error " + std::to_string(code);
    }
}

int StatusFor(DWORD code)
{
    return code == ERROR_SERVICE_NOT_ACTIVE || code == ERROR_CONNECTION_ABORTED || code == ERROR_TIMEOUT
               ? kExitUnavailable
               : kExitFailure;
}

int FailCode(DWORD code, const std::string &what)
{
    return Fail(StatusFor(code), "%s: %s", what.c_str(), ErrorText(code).c_str());
}

HKEY RootHandle(Root root)
{
    return root == Root::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
}

void UniqueKey::reset(HKEY key)
{
    if (key_ && key_ != HKEY_CLASSES_ROOT && key_ != HKEY_LOCAL_MACHINE) RegCloseKey(key_);
    key_ = key;
}

void UniqueHandle::reset(HANDLE h)
{
    if (h_) CloseHandle(h_);
    h_ = h;
}

LONG OpenKeyPath(const KeyPath &key, UniqueKey &out)
{
    UniqueKey at(RootHandle(key.root));
    for (const std::string &part : key.parts) {
        HKEY next = nullptr;
        if (const LONG rc = RegOpenKeyExA(at.get(), part.c_str(), 0, KEY_ALL_ACCESS, &next)) return rc;
        at.reset(next);
    }
    out = std::move(at);
    return ERROR_SUCCESS;
}

LONG CreateKeyPath(const KeyPath &key, UniqueKey &out)
{
    UniqueKey at(RootHandle(key.root));
    for (const std::string &part : key.parts) {
        HKEY next = nullptr;
        if (const LONG rc =
                RegCreateKeyExA(at.get(), part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr))
            return rc;
        at.reset(next);
    }
    out = std::move(at);
    return ERROR_SUCCESS;
}

}  // namespace kstctl
