#include "common/LogTracker.h"

#include <atomic>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"

namespace {

// Both locks exist before any static initialiser of another unit can log and
// are never destroyed, so a static destructor may still log at exit.
std::recursive_mutex& GlobalLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

std::recursive_mutex& WriterLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

using Guard = std::lock_guard<std::recursive_mutex>;

// A new log file is readable by all, as the agent's logs are; in the shared
// log directory of an install the administrators' group may append to it
// too, so that whichever member starts the tool first does not lock the
// others out of it.
constexpr mode_t LOG_FILE_MODE = 0644;
constexpr mode_t SHARED_LOG_FILE_MODE = 0664;

// The log's stream, binary: the CR LF of each line end is written
// explicitly.
// The log names the server, the user name, the CA's path and the proxy: a
// log that root's tools (the tray as root, the command line, the system
// helper) create is root's and readable by the administrators' group only,
// or by root alone where that group does not exist. A file that is already
// there keeps its owner and mode.
constexpr mode_t ROOT_LOG_FILE_MODE = 0640;
constexpr mode_t ROOT_LOG_FILE_MODE_NO_GROUP = 0600;
std::string g_adminGroup = OPAL_ADMIN_GROUP; // guarded by WriterLock()

void RestrictRootsNewLog(int fd) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(g_adminGroup.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && ::fchown(fd, 0, found->gr_gid) == 0) {
        (void)::fchmod(fd, ROOT_LOG_FILE_MODE);
        return;
    }
    (void)::fchmod(fd, ROOT_LOG_FILE_MODE_NO_GROUP);
}

FILE* OpenLogStream(const std::string& name, bool append) {
    bool created = false;
    const int fd = OpenAppendFile(name, !append, LOG_FILE_MODE, SHARED_LOG_FILE_MODE, &created);
    if (fd < 0)
        return nullptr;
    if (created && ::geteuid() == 0)
        RestrictRootsNewLog(fd);
    FILE* file = ::fdopen(fd, append ? "ab" : "wb");
    if (!file)
        ::close(fd);
    return file;
}

CLogTracker* g_logWriter = nullptr; // guarded by GlobalLock()
bool g_firstOpen = true;            // guarded by WriterLock()
std::atomic<std::time_t (*)()> g_clock{nullptr};

std::time_t Now() {
    const auto clock = g_clock.load();
    return clock ? clock() : std::time(nullptr);
}

struct KindLook {
    const char* level;
    const char* marker;
};

KindLook LookOf(uint32_t kind) {
    switch (kind) {
    case LK_ENTER:
        return {"Info", "==> "};
    case LK_LEAVE:
        return {"Info", "<== "};
    case LK_INFO:
    case LK_IMPORTANT:
    case LK_NOTICE:
        return {"Info", "    "};
    case LK_DETAIL:
        return {"Info", "~~~ "};
    case LK_CALL:
        return {"Info", "*>> "};
    case LK_RETURN:
        return {"Info", "<<* "};
    case LK_RECV:
        return {"Info", "<-@ "};
    case LK_RECV_DONE:
        return {"Info", "<<@ "};
    case LK_WARNING:
        return {"Warning", "!!! "};
    case LK_TRACE:
        return {"Trace", "--- "};
    default:
        return {"Error", "*** "};
    }
}

// The log was a text-mode stream on the platform the agent reads it on, so
// every LF reaches the file as CR LF, whatever precedes it.
bool WriteTextMode(std::FILE* file, const char* text) {
    bool ok = true;
    for (const char* p = text; *p;) {
        const char* lf = std::strchr(p, '\n');
        const std::size_t run = lf ? static_cast<std::size_t>(lf - p) : std::strlen(p);
        if (run && std::fwrite(p, 1, run, file) != run)
            ok = false;
        if (!lf)
            break;
        if (std::fwrite("\r\n", 1, 2, file) != 2)
            ok = false;
        p = lf + 1;
    }
    return ok;
}

// The rotated name "<name>.<seconds>", with the seconds as a signed 32-bit
// number as the agent's tools expect. False when it would not fit the 259
// characters of the name buffer: a cut name could be another file's.
bool RotatedName(const char* name, std::string& out) {
    char buffer[260] = {};
    const int length =
        std::snprintf(buffer, 259, "%s.%ld", name, static_cast<long>(static_cast<int32_t>(Now())));
    if (length < 0 || length >= 259)
        return false;
    out = buffer;
    return true;
}

void MoveAside(const char* name) {
    std::string rotated;
    if (!RotatedName(name, rotated))
        return;
    std::remove(rotated.c_str());
    std::rename(name, rotated.c_str());
}

} // namespace

CLogTrackerEx::CLogTrackerEx(int /*first*/, const char16_t* componentName, bool enabled,
                             bool reopenPerWrite, uint32_t level, int32_t maxFileSize,
                             int32_t reserved) {
    std::string name;
    if (componentName && !Utf16ToLocale(componentName, CP_ACP, name))
        name.clear();
    SetComponentName(name.c_str());
    m_reopenPerWrite = reopenPerWrite;
    SetLogLevel(enabled ? level : 0);
    m_maxFileSize = maxFileSize;
    m_reserved = reserved;
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_TIME, "");
}

CLogTrackerEx::~CLogTrackerEx() {
    Guard lock(WriterLock());
    if (m_file)
        std::fclose(m_file);
}

bool CLogTrackerEx::OpenLogFile(const char* name, bool append) {
    Guard lock(WriterLock());
    if (!m_enabled)
        return true;
    if (m_fileName.empty() && name)
        m_fileName = name;
    if (m_fileName.empty())
        return false;
    if (!CloseLogFile())
        return false;
    m_file = OpenLogStream(m_fileName, append);
    if (!m_file)
        return false;
    if (g_firstOpen) {
        g_firstOpen = false;
        WriteHeader();
        // In reopen-per-write mode the header's own writes close the file;
        // the caller was promised an open one.
        if (!m_file)
            m_file = OpenLogStream(m_fileName, true);
        return m_file != nullptr;
    }
    return true;
}

bool CLogTrackerEx::CloseLogFile() {
    Guard lock(WriterLock());
    if (!m_file)
        return true;
    // fclose releases the stream even when it fails, so the handle must not
    // be kept for a second close.
    const bool ok = std::fclose(m_file) == 0;
    m_file = nullptr;
    return ok;
}

void CLogTrackerEx::SetComponentName(const char* text) {
    // The header of the first line, on whichever thread writes it, reads it.
    Guard lock(WriterLock());
    m_componentName = text ? text : "";
}

bool CLogTrackerEx::WriteInfoW(const char16_t* text) {
    return WriteW(LK_INFO, text);
}

bool CLogTrackerEx::WriteInfo(const char* text) {
    return Write(LK_INFO, text);
}

bool CLogTrackerEx::FormatWV(uint32_t kind, const char16_t* format, const LogArg* args,
                             std::size_t count) {
    Guard lock(WriterLock());
    if (!m_enabled || !(kind & m_levelMask))
        return true;
    std::u16string text;
    if (!FormatLogTextW(format, args, count, text))
        return false;
    return WriteW(kind, text.c_str());
}

bool CLogTrackerEx::FormatV(uint32_t kind, const char* format, const LogArg* args,
                            std::size_t count) {
    Guard lock(WriterLock());
    if (!m_enabled || !(kind & m_levelMask))
        return true;
    std::string text;
    if (!FormatLogText(format, args, count, text))
        return false;
    return Write(kind, text.c_str());
}

bool CLogTrackerEx::WriteW(uint32_t kind, const char16_t* text) {
    std::string narrow;
    if (!Utf16ToLocale(text ? std::u16string_view(text) : std::u16string_view(), CP_ACP, narrow))
        return Write(kind, nullptr);
    return Write(kind, narrow.c_str());
}

bool CLogTrackerEx::Write(uint32_t kind, const char* text) {
    // Callers hold the global or the writer lock already; taking the writer
    // lock here too keeps direct calls (WriteInfo from any thread) safe and
    // keeps the order global, then writer.
    Guard lock(WriterLock());
    if (!m_enabled || !(kind & m_levelMask))
        return true;
    if (m_reopenPerWrite && !OpenLogFile(nullptr, true))
        return false;
    if (!m_file)
        return false;
    std::fseek(m_file, 0, SEEK_END);

    bool result;
    if (kind == LK_RAW) {
        result = !text || WriteTextMode(m_file, text);
        result = std::fflush(m_file) == 0 && result;
    } else {
        const std::time_t now = Now();
        std::tm local{};
        char stamp[128] = {};
        if (localtime_r(&now, &local))
            std::strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S", &local);
        const KindLook look = LookOf(kind);
        char prefix[256];
        const int length =
            std::snprintf(prefix, sizeof prefix, "%s,%05x:%05x,[%s], %s", stamp,
                          static_cast<unsigned>(::getpid()), static_cast<unsigned>(::gettid()),
                          look.level, look.marker);
        result = std::fwrite(prefix, 1, static_cast<std::size_t>(length), m_file) ==
                 static_cast<std::size_t>(length);
        if (result) {
            // A line whose text or end never reached the disk is not a
            // success, so these count too.
            if (text && !WriteTextMode(m_file, text))
                result = false;
            if (std::fwrite("\r\n", 1, 2, m_file) != 2)
                result = false;
            if (std::fflush(m_file) != 0)
                result = false;
        }
    }

    if (!m_reopenPerWrite)
        return result;
    if (result)
        RotateIfNeeded(m_fileName.c_str(), m_maxFileSize);
    // Even a failed line releases the file: it is never held open between
    // writes in this mode.
    const bool closed = CloseLogFile();
    return result && closed;
}

bool CLogTrackerEx::RotateIfNeeded(const char* name, int32_t maxSize) {
    Guard lock(WriterLock());
    if (!name || !*name || maxSize <= 0)
        return true;
    struct stat info {};
    if (m_file) {
        std::fflush(m_file);
        if (::fstat(::fileno(m_file), &info) != 0 || info.st_size < maxSize)
            return true;
        std::fclose(m_file);
        m_file = nullptr;
        MoveAside(name);
        m_file = OpenLogStream(name, true);
        return true;
    }
    if (::stat(name, &info) != 0)
        return false;
    if (info.st_size >= maxSize)
        MoveAside(name);
    return true;
}

bool CLogTrackerEx::IsOpen() const {
    Guard lock(WriterLock());
    return m_file != nullptr;
}

void CLogTrackerEx::SetLogLevel(uint32_t level) {
    Guard lock(WriterLock());
    m_levelMask = LevelToMask(level);
    m_enabled = m_levelMask != 0;
    if (m_enabled) {
        // Opening once writes the header if this process has not yet.
        if (!m_file && !m_fileName.empty()) {
            OpenLogFile(m_fileName.c_str(), true);
            CloseLogFile();
        }
    } else {
        CloseLogFile();
    }
}

void CLogTrackerEx::SetFileName(const char* name) {
    Guard lock(WriterLock());
    m_fileName = name ? name : "";
}

void CLogTrackerEx::SetMaxFileSize(int32_t bytes) {
    Guard lock(WriterLock());
    m_maxFileSize = bytes;
}

void CLogTrackerEx::SetReserved(int32_t value) {
    Guard lock(WriterLock());
    m_reserved = value;
}

void CLogTrackerEx::WriteHeader() {
    // The build time is the program file's modification time, in its UTC
    // fields; when the file cannot be read the text is left out.
    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        std::tm utc{};
        if (::fstat(fd, &info) == 0 && gmtime_r(&info.st_mtime, &utc)) {
            char text[128];
            std::snprintf(text, sizeof text, "===== Compiled on [%d/%d/%d %d:%d:%d]",
                          utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                          utc.tm_sec);
            Write(LK_RAW, text);
        }
        ::close(fd);
    }
    const std::time_t now = Now();
    char created[32] = {};
    if (!ctime_r(&now, created))
        created[0] = '\0';
    const std::string line = "====== Log file created by " + m_componentName + ", " + created;
    Write(LK_RAW, line.c_str());
}

uint32_t LevelToMask(uint32_t level) {
    static constexpr uint32_t kMasks[] = {LL_NONE,         LL_FOR_ALL,    LL_FOR_ALL,
                                          LL_FOR_HIGH,     LL_FOR_MEDIUM, LL_FOR_MSG,
                                          LL_FOR_IMP_INFO, LL_DEFAULT,    LK_TRACE};
    return level < std::size(kMasks) ? kMasks[level] : level;
}

bool LogInit(CLogTracker* writer, const char* fileName, bool append, int32_t maxSize) {
    Guard lock(GlobalLock());
    if (!writer)
        return false;
    // The writer is ours from here on; one that it replaces would otherwise
    // be lost with its open file.
    if (g_logWriter && g_logWriter != writer)
        delete g_logWriter;
    g_logWriter = writer;
    if (maxSize > 0)
        writer->RotateIfNeeded(fileName, maxSize);
    writer->SetMaxFileSize(maxSize);
    const bool opened = writer->OpenLogFile(fileName, append);
    writer->SetFileName(fileName);
    const bool closed = writer->CloseLogFile();
    return opened && closed;
}

bool LogInitW(CLogTracker* writer, const char16_t* fileName, bool append, int32_t maxSize) {
    std::string name;
    if (fileName && !Utf16ToLocale(fileName, CP_ACP, name))
        name.clear();
    return LogInit(writer, name.c_str(), append, maxSize);
}

void LogShutdown() {
    Guard lock(GlobalLock());
    if (!g_logWriter)
        return;
    CLogTracker* writer = g_logWriter;
    g_logWriter = nullptr;
    delete writer;
}

bool LogPrintfV(uint32_t kind, const char* format, const LogArg* args, std::size_t count) {
    Guard lock(GlobalLock());
    if (!g_logWriter)
        return false;
    std::string text;
    if (!FormatLogText(format, args, count, text))
        return false;
    return g_logWriter->Write(kind, text.c_str());
}

bool LogPrintfWV(uint32_t kind, const char16_t* format, const LogArg* args, std::size_t count) {
    Guard lock(GlobalLock());
    if (!g_logWriter)
        return false;
    std::u16string text;
    if (!FormatLogTextW(format, args, count, text))
        return false;
    return g_logWriter->WriteW(kind, text.c_str());
}

std::string SourceFileName(const char* path) {
    if (!path)
        return {};
    // Both separators, as the Windows path splitter accepts both.
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    return base;
}

std::u16string SourceFileNameW(const char* path) {
    std::u16string wide;
    if (!LocaleToUtf16(SourceFileName(path), CP_ACP, wide))
        wide.clear();
    return wide;
}

void SetLogAdminGroupForTesting(const char* group) {
    std::lock_guard lock(WriterLock());
    g_adminGroup = group ? group : OPAL_ADMIN_GROUP;
}

void SetLogClockForTesting(std::time_t (*clock)()) {
    g_clock.store(clock);
}

void ResetLogHeaderForTesting() {
    Guard lock(WriterLock());
    g_firstOpen = true;
}
