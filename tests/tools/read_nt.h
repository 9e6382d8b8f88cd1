// read_nt.h: values as a program reads them through libkstnt's A and W functions, for the kstctl tests
// (kept apart because libkstnt's NT macros would rename the wire client's methods).
#pragma once

#include <string>

inline constexpr int kCr = 1, kLm = 2;  // HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE

// "type:data" of value name of key below root, or "missing" / "missing key": through RegQueryValueExA
// as bytes, through RegQueryValueExW as wide characters (key and name must be ASCII for ReadW).
std::string  ReadA(int root, const std::string &key, const std::string &name);
std::wstring ReadW(int root, const std::string &key, const std::string &name);
