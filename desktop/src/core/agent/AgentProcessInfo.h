#pragma once

#include <QString>

// What the supervisor needs to know about a process ID.
namespace AgentProcessInfo {

// A signal-0 probe succeeds (the process exists, whoever owns it).
bool exists(qint64 pid);
// The target of /proc/PID/exe ("" when unreadable); " (deleted)" is removed.
QString executablePath(qint64 pid);
// Last path component of executablePath.
QString processName(qint64 pid);
// The process runs an executable named velmo-remote-host.
bool isOurAgent(qint64 pid);
// The process runs a resident installation's executable.
bool isResidentAgent(qint64 pid);

} // namespace AgentProcessInfo
