#pragma once
// The few Win32 error numbers that callers of the platform layer compare
// against; the system layer answers in these so the callers read as designed.

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_INVALID_NAME = 123;
inline constexpr long ERROR_INVALID_DATA = 13;
inline constexpr long ERROR_MORE_DATA = 234;
inline constexpr long ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr long ERROR_SERVICE_NOT_ACTIVE = 1062;

// errno of a failed system call, mapped to the nearest of the numbers above;
// any other errno is returned with bit 29 set (the Win32 "customer" bit), so
// it stays distinct from every system number and from success.
long Win32ErrorFromErrno(int error);
