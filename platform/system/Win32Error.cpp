#include "platform/system/Win32Error.h"

#include <cerrno>

long Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        // Keep other causes distinguishable in the log without inventing a
        // Win32 number for them.
        return 0x20000000L | error;
    }
}
