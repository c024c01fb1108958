#pragma once
// The diagnostic log: one text file, one line per event, reopened for every
// line so that other processes may read, copy or delete it in between, and
// rotated when it reaches its size limit.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <source_location>
#include <string>

#include "common/LogArg.h"

// Log kinds: one bit each. A write passes when its kind shares a bit with
// the level mask.
inline constexpr uint32_t LK_RAW = 0x8;
inline constexpr uint32_t LK_ENTER = 0x10;
inline constexpr uint32_t LK_LEAVE = 0x20;
inline constexpr uint32_t LK_INFO = 0x40;
inline constexpr uint32_t LK_DETAIL = 0x80;
inline constexpr uint32_t LK_CALL = 0x100;
inline constexpr uint32_t LK_RETURN = 0x200;
inline constexpr uint32_t LK_RECV = 0x400;
inline constexpr uint32_t LK_RECV_DONE = 0x800;
inline constexpr uint32_t LK_IMPORTANT = 0x1000;
inline constexpr uint32_t LK_NOTICE = 0x2000;
inline constexpr uint32_t LK_ERROR = 0x10000;
inline constexpr uint32_t LK_WARNING = 0x40000;
inline constexpr uint32_t LK_TRACE = 0x80000;

// Level masks named by the agent's debug-log settings.
inline constexpr uint32_t LL_FOR_ALL = 0x1073FF8;
inline constexpr uint32_t LL_FOR_HIGHEST = 0x1073340;
inline constexpr uint32_t LL_FOR_HIGH = 0x1071F88;
inline constexpr uint32_t LL_FOR_MEDIUM = 0x1071C88;
inline constexpr uint32_t LL_FOR_MSG = 0x1071C00;
inline constexpr uint32_t LL_FOR_IMP_INFO = 0x1071000;
inline constexpr uint32_t LL_NONE = 0;
inline constexpr uint32_t LL_DEFAULT = 0x70000;

class CLogTracker {
public:
    virtual ~CLogTracker() = default;
    virtual bool OpenLogFile(const char* name, bool append) = 0;
    virtual bool CloseLogFile() = 0;
    virtual void SetComponentName(const char* text) = 0;
    virtual bool WriteInfoW(const char16_t* text) = 0;
    virtual bool WriteInfo(const char* text) = 0;
    virtual bool FormatWV(uint32_t kind, const char16_t* format, const LogArg* args,
                          std::size_t count) = 0;
    virtual bool FormatV(uint32_t kind, const char* format, const LogArg* args,
                         std::size_t count) = 0;
    virtual bool WriteW(uint32_t kind, const char16_t* text) = 0;
    virtual bool Write(uint32_t kind, const char* text) = 0;
    virtual bool RotateIfNeeded(const char* name, int32_t maxSize) = 0;
    virtual bool IsOpen() const = 0;
    virtual void SetLogLevel(uint32_t level) = 0;
    virtual void SetFileName(const char* name) = 0;
    virtual void SetMaxFileSize(int32_t bytes) = 0;
    virtual void SetReserved(int32_t value) = 0;

    template <class... A> bool Format(uint32_t kind, const char* format, const A&... args) {
        const LogArg list[] = {LogArg(args)..., LogArg(0)};
        return FormatV(kind, format, list, sizeof...(A));
    }
    template <class... A> bool FormatW(uint32_t kind, const char16_t* format, const A&... args) {
        const LogArg list[] = {LogArg(args)..., LogArg(0)};
        return FormatWV(kind, format, list, sizeof...(A));
    }
};

class CLogTrackerEx : public CLogTracker {
public:
    CLogTrackerEx(int first, const char16_t* componentName, bool enabled, bool reopenPerWrite,
                  uint32_t level, int32_t maxFileSize, int32_t reserved);
    ~CLogTrackerEx() override;

    bool OpenLogFile(const char* name, bool append) override;
    bool CloseLogFile() override;
    void SetComponentName(const char* text) override;
    bool WriteInfoW(const char16_t* text) override;
    bool WriteInfo(const char* text) override;
    bool FormatWV(uint32_t kind, const char16_t* format, const LogArg* args,
                  std::size_t count) override;
    bool FormatV(uint32_t kind, const char* format, const LogArg* args, std::size_t count) override;
    bool WriteW(uint32_t kind, const char16_t* text) override;
    bool Write(uint32_t kind, const char* text) override;
    bool RotateIfNeeded(const char* name, int32_t maxSize) override;
    bool IsOpen() const override;
    void SetLogLevel(uint32_t level) override;
    void SetFileName(const char* name) override;
    void SetMaxFileSize(int32_t bytes) override;
    void SetReserved(int32_t value) override;

    uint32_t GetLevelMask() const { return m_levelMask; }

private:
    void WriteHeader();

    std::FILE* m_file = nullptr;
    std::string m_fileName;
    std::string m_componentName;
    bool m_enabled = false;
    bool m_reopenPerWrite = false;
    uint32_t m_levelMask = 0;
    int32_t m_maxFileSize = 0;
    int32_t m_reserved = 0;
};

// Maps a level number 0..8 to its mask; any larger value is the mask itself.
uint32_t LevelToMask(uint32_t level);

// The process-wide writer. LogInit takes ownership of the writer; LogShutdown
// destroys it.
bool LogInit(CLogTracker* writer, const char* fileName, bool append, int32_t maxSize);
bool LogInitW(CLogTracker* writer, const char16_t* fileName, bool append, int32_t maxSize);
void LogShutdown();

bool LogPrintfV(uint32_t kind, const char* format, const LogArg* args, std::size_t count);
bool LogPrintfWV(uint32_t kind, const char16_t* format, const LogArg* args, std::size_t count);

template <class... A> bool LogPrintf(uint32_t kind, const char* format, const A&... args) {
    const LogArg list[] = {LogArg(args)..., LogArg(0)};
    return LogPrintfV(kind, format, list, sizeof...(A));
}
template <class... A> bool LogPrintfW(uint32_t kind, const char16_t* format, const A&... args) {
    const LogArg list[] = {LogArg(args)..., LogArg(0)};
    return LogPrintfWV(kind, format, list, sizeof...(A));
}

// Base name and extension of a source path ("dir/AgentConfig.cpp" gives
// "AgentConfig.cpp"); empty for a null path.
std::string SourceFileName(const char* path);
std::u16string SourceFileNameW(const char* path);

// Test seams, never called by production code: the clock that stamps lines
// and names rotated files (null restores time()), and forgetting that this
// process has already written its header.
void SetLogClockForTesting(std::time_t (*clock)());
// Test seam: the group that root's new log files are given (null: the
// build's OPAL_ADMIN_GROUP).
void SetLogAdminGroupForTesting(const char* group);
void ResetLogHeaderForTesting();

// For a shared helper: the line carries the place the helper was called
// from, which it takes as a defaulted std::source_location argument.
template <class... A>
bool LogPrintfAt(const std::source_location& where, uint32_t kind, const char* format,
                 const A&... args) {
    return LogPrintf(kind, format, args..., SourceFileName(where.file_name()),
                     static_cast<int>(where.line()));
}

// Every call site logs through these, so that the closing "[%s|%d]" of each
// message always gets the caller's own file and line.
#define LOG_PRINTF(kind, format, ...)                                                              \
    LogPrintf((kind), (format)__VA_OPT__(, ) __VA_ARGS__, SourceFileName(__FILE__), __LINE__)
#define LOG_PRINTFW(kind, format, ...)                                                             \
    LogPrintfW((kind), (format)__VA_OPT__(, ) __VA_ARGS__, SourceFileNameW(__FILE__), __LINE__)
