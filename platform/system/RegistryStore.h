#pragma once
// A file-backed stand-in for the Windows registry.
//
// The root directory comes from OPAL_REGISTRY_ROOT (default
// /var/lib/opal4hbs/registry). A key is the directory
// <root>/<hive>/<subkey with '\' as '/'>; each REG_SZ value is one file named
// after the value, holding its characters as UTF-8 without terminator. Values
// are replaced atomically (temporary file + rename), so a reader never sees a
// half-written value.

#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/system/Win32Error.h"

enum class HKEY { LocalMachine };
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY::LocalMachine;

inline constexpr const char* REGISTRY_ROOT_ENV = "OPAL_REGISTRY_ROOT";
inline constexpr const char* REGISTRY_ROOT_DEFAULT = "/var/lib/opal4hbs/registry";

// Access rights of an open key, numbered as the registry numbers them. Only
// the two value rights mean anything here.
inline constexpr unsigned long KEY_QUERY_VALUE = 0x0001;
inline constexpr unsigned long KEY_SET_VALUE = 0x0002;
inline constexpr unsigned long KEY_READ = 0x20019;
inline constexpr unsigned long KEY_WRITE = 0x20006;
inline constexpr unsigned long KEY_ALL_ACCESS = 0xF003F;

// An open key: the directory that holds its values, and the rights it was
// opened with.
struct RegistryKeyHandle {
    std::string directory;
    unsigned long access = KEY_ALL_ACCESS;
};

// Modes of what the store makes. In a shared (set-group-id) key directory,
// the install's layout, values are writable by the group as well; key
// directories made there are 2775 (AtomicFile's MakeDirectory).
inline constexpr mode_t REGISTRY_VALUE_MODE = 0644;
inline constexpr mode_t REGISTRY_SHARED_VALUE_MODE = 0664;

std::string RegistryRoot();

// Opens `subKey` under `root` with all access rights, creating the
// directories when missing: ERROR_ACCESS_DENIED where this user may not
// write into the key.
long RegCreateKey(HKEY root, std::u16string_view subKey, RegistryKeyHandle& key);
// Opens an existing key with `access` and creates nothing: a key opened
// with KEY_READ needs only the rights to read it. ERROR_FILE_NOT_FOUND for
// a missing key, ERROR_ACCESS_DENIED for rights this user lacks.
long RegOpenKey(HKEY root, std::u16string_view subKey, unsigned long access,
                RegistryKeyHandle& key);
// 0 when this user may set the value `name` of the key (whatever rights the
// handle has), else the error RegSetString would meet; nothing is written.
long RegCheckSetValue(const RegistryKeyHandle& key, std::u16string_view name);
// Reads a REG_SZ value (ERROR_ACCESS_DENIED without KEY_QUERY_VALUE). `maxBytes` is the caller's buffer size in bytes of
// UTF-16 (two per unit, terminator not counted): a longer value gives
// ERROR_MORE_DATA.
long RegQueryString(const RegistryKeyHandle& key, std::u16string_view name, std::u16string& value,
                    std::size_t maxBytes);
// Replaces a REG_SZ value (ERROR_ACCESS_DENIED without KEY_SET_VALUE).
long RegSetString(const RegistryKeyHandle& key, std::u16string_view name, std::u16string_view value);
