#pragma once

// One line per event on standard error, with its level. Under systemd (JOURNAL_STREAM
// set) each line starts with the syslog priority ("<6>" info, "<4>" warning, "<3>" error,
// "<7>" debug), which journald turns into the entry's priority; elsewhere it starts with
// the level's name ("info: ", "warning: ", …). Line breaks inside a message become spaces.
namespace ServerLog {
// Installs the Qt message handler that writes these lines.
void install();
} // namespace ServerLog
