#pragma once
// Opening the tool's own log: the process-wide writer set up from the
// agent's debug-log settings, in the file LogLocation chooses. The tray
// program and the command line both open it here, so that they write the
// same file; the component name in the writer's header says which program
// wrote a run's lines.

#include <cstdint>
#include <string>

#include "shell/LogLocation.h"

// The agent's settings give the log's size limit; when they lack it, the log
// is rotated at the same 5 MiB the writer is constructed with.
inline constexpr int32_t DEFAULT_LOG_MAX_SIZE = 0x500000;

// Opens the process-wide log (LogInitW) for `component`; `program` names the
// program in the one line on standard error that says when no log can be
// written. A log kept in the user's state directory says so in its first
// lines. Returns the log file's path.
std::string OpenToolLog(const char16_t* component, const char* program);
