// operations.h: the Win32-style registry calls behind the registry's RPC procedures.
//
// Each returns 1 on success and 0 on failure and sets the last-error word. Names are normalised in place.
// Unnamed parameters are accepted for the Win32 shape and never read.
#pragma once

#include "registry/key_tree.h"

#include <cstdint>

// Key operations.
int RegOpenKeyEx(uint64_t key, char *sub_key, uint32_t, uint32_t, uint64_t *result) noexcept;
int RegCreateKeyEx(uint64_t key, char *sub_key, uint32_t, char *, uint32_t, uint32_t, void *, uint64_t *result,
                   uint32_t *) noexcept;
int RegCloseKey(uint64_t key) noexcept;
// 1 when the calling request has been parked until the key is on the disk, else 0; the reply is 0 either way.
int RegFlushKey(uint64_t key) noexcept;
int RegDeleteKey(uint64_t key, char *sub_key) noexcept;
int RegEnumKeyEx(uint64_t key, uint32_t index, char (*name)[kNameField], uint32_t *, uint32_t *, char *, uint32_t *,
                 uint64_t *last_write) noexcept;
int RegQueryInfoKey(uint64_t key, char *, uint32_t *, uint32_t *, uint32_t *subkeys, uint32_t *longest_subkey,
                    uint32_t *, uint32_t *values, uint32_t *longest_value_name, uint32_t *longest_value_data,
                    uint32_t *, uint64_t *last_write) noexcept;

// Values and change notification.
int RegSetValueEx(uint64_t key, char *name, uint32_t, uint32_t type, const char *data, uint32_t size) noexcept;
int RegQueryValueEx(uint64_t key, char *name, uint32_t, uint32_t *type, char *data, uint32_t *size) noexcept;
int RegDeleteValue(uint64_t key, char *name) noexcept;
int RegEnumValue(uint64_t key, uint32_t index, char (*name)[kNameField], uint32_t *, uint32_t *, uint32_t *type,
                 char *data, uint32_t *size) noexcept;
// 1 when the calling request has been parked (its reply follows later), else 0.
int RegNotifyChangeKeyValue(uint64_t key, uint32_t watch_subtree, uint32_t, uint64_t event, int32_t async) noexcept;

// A name field as the operations take it: nullptr when it lacks its NUL, since such a name is longer than
// any that can be stored, and must never be read past its 256 bytes.
[[nodiscard]] inline char *NameArg(char (&field)[kNameField]) noexcept
{
    return FieldLength(field) < kNameField ? field : nullptr;
}

// The client identity of the call being served, as the traces print it.
[[nodiscard]] inline const void *CallerForTrace() noexcept
{
    uint64_t identity = 0;
    GetClientParameter(nullptr, &identity);
    return reinterpret_cast<const void *>(identity);
}
