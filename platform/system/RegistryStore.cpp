#include "platform/system/RegistryStore.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system/AtomicFile.h"
#include "platform/system/Utf.h"

namespace {

const char* HiveName(HKEY root) {
    switch (root) {
    case HKEY::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    }
    return nullptr;
}

// Key and value names become path components: '\' separates keys as '/'
// does on disk; anything that could climb out of the store is refused.
bool SafeComponent(const std::string& part) {
    return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
           part.find('\0') == std::string::npos;
}

bool MayUse(const std::string& path, int rights) {
    return ::faccessat(AT_FDCWD, path.c_str(), rights, AT_EACCESS) == 0;
}

long MakeDirectories(const std::string& path) {
    // The key almost always exists already: one look instead of a mkdir per
    // level on every open.
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode) &&
        MayUse(path, R_OK | W_OK | X_OK))
        return ERROR_SUCCESS;
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        if (!partial.empty()) {
            const int error = MakeDirectory(partial);
            if (error != 0 && error != EEXIST)
                return Win32ErrorFromErrno(error);
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Win32ErrorFromErrno(errno);
    if (!S_ISDIR(info.st_mode))
        return ERROR_ACCESS_DENIED;
    // A key we cannot write into is as good as one we may not open with all
    // access rights.
    if (!MayUse(path, R_OK | W_OK | X_OK))
        return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

// The directory of `subKey` under `root`, or the error for a name that is
// no key.
long KeyDirectory(HKEY root, std::u16string_view subKey, std::string& path) {
    const char* hive = HiveName(root);
    if (!hive)
        return ERROR_INVALID_HANDLE;
    std::string narrow;
    if (!Utf16ToUtf8(subKey, narrow))
        return ERROR_FILE_NOT_FOUND;
    path = RegistryRoot() + "/" + hive;
    std::size_t start = 0;
    while (start < narrow.size()) {
        auto end = narrow.find('\\', start);
        if (end == std::string::npos)
            end = narrow.size();
        const std::string part = narrow.substr(start, end - start);
        // Empty parts come from doubled or trailing separators, which the
        // registry ignores as well.
        if (!part.empty()) {
            if (!SafeComponent(part))
                return ERROR_FILE_NOT_FOUND;
            path += "/" + part;
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

bool ValueFile(const RegistryKeyHandle& key, std::u16string_view name, std::string& file) {
    std::string narrow;
    if (!Utf16ToUtf8(name, narrow))
        return false;
    // The unnamed default value of a key.
    if (narrow.empty())
        narrow.assign(1, '@');
    if (!SafeComponent(narrow) || narrow.find('\\') != std::string::npos)
        return false;
    file = key.directory + "/" + narrow;
    return true;
}

} // namespace

std::string RegistryRoot() {
    const char* root = std::getenv(REGISTRY_ROOT_ENV);
    return root && *root ? root : REGISTRY_ROOT_DEFAULT;
}

long RegCreateKey(HKEY root, std::u16string_view subKey, RegistryKeyHandle& key) {
    std::string path;
    long result = KeyDirectory(root, subKey, path);
    if (result == ERROR_SUCCESS)
        result = MakeDirectories(path);
    if (result == ERROR_SUCCESS)
        key = {path, KEY_ALL_ACCESS};
    return result;
}

long RegOpenKey(HKEY root, std::u16string_view subKey, unsigned long access,
                RegistryKeyHandle& key) {
    std::string path;
    if (const long result = KeyDirectory(root, subKey, path); result != ERROR_SUCCESS)
        return result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Win32ErrorFromErrno(errno);
    if (!S_ISDIR(info.st_mode))
        return ERROR_FILE_NOT_FOUND;
    int rights = X_OK;
    if (access & KEY_QUERY_VALUE)
        rights |= R_OK;
    if (access & KEY_SET_VALUE)
        rights |= W_OK;
    if (!MayUse(path, rights))
        return Win32ErrorFromErrno(errno);
    key = {path, access};
    return ERROR_SUCCESS;
}

long RegCheckSetValue(const RegistryKeyHandle& key, std::u16string_view name) {
    std::string file;
    if (!ValueFile(key, name, file))
        return ERROR_INVALID_DATA;
    // The value is replaced by a new file beside it, so the key's directory
    // must take one; an existing value must be writable as well (the save
    // refuses to replace what the caller could not write).
    if (!MayUse(key.directory, W_OK | X_OK))
        return Win32ErrorFromErrno(errno);
    return Win32ErrorFromErrno(CheckFileReplaceable(file));
}

long RegQueryString(const RegistryKeyHandle& key, std::u16string_view name, std::u16string& value,
                    std::size_t maxBytes) {
    if ((key.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    std::string file;
    if (!ValueFile(key, name, file))
        return ERROR_FILE_NOT_FOUND;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return Win32ErrorFromErrno(errno);
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const long error = Win32ErrorFromErrno(errno);
            ::close(fd);
            return error;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > 4 * maxBytes + 4)
            break;
    }
    ::close(fd);
    std::u16string text;
    if (!Utf8ToUtf16(bytes, text))
        return ERROR_INVALID_DATA;
    if (text.size() * 2 > maxBytes)
        return ERROR_MORE_DATA;
    value = std::move(text);
    return ERROR_SUCCESS;
}

long RegSetString(const RegistryKeyHandle& key, std::u16string_view name,
                  std::u16string_view value) {
    if ((key.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    std::string file;
    std::string bytes;
    if (!ValueFile(key, name, file) || !Utf16ToUtf8(value, bytes))
        return ERROR_INVALID_DATA;
    SaveFileOptions options;
    options.newFileMode = REGISTRY_VALUE_MODE;
    options.sharedFileMode = REGISTRY_SHARED_VALUE_MODE;
    return Win32ErrorFromErrno(SaveFile(file, bytes, options));
}
