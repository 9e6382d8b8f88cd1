// read_a.cpp: one value read through RegOpenKeyExA and RegQueryValueExA.
#include "tests/tools/read_a.h"

#include "libkstnt/kstnt.h"

std::string ReadA(int root, const std::string &key, const std::string &name)
{
    HKEY  h = nullptr;
    DWORD type = 0, size = 600;
    BYTE  data[600];
    if (RegOpenKeyExA(root == kCr ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h))
        return "missing key";
    const LONG rc = RegQueryValueExA(h, name.c_str(), nullptr, &type, data, &size);
    RegCloseKey(h);
    return rc ? "missing" : std::to_string(type) + ":" + std::string(reinterpret_cast<char *>(data), size);
}
