#pragma once

#include <QString>
#include <QStringList>

// The supervisor's log: the last lines in memory for the panels, every line on
// standard error and appended to a file (desktop.log in the data directory).
// Main thread only.
class AgentLog {
public:
    static constexpr int maxLines = 500;
    static constexpr qint64 maxFileBytes = 2 * 1024 * 1024;

    explicit AgentLog(const QString &filePath) : m_filePath(filePath) {}

    // Appends one line, prefixed with the local time.
    void append(const QString &text);
    // Deletes the file when larger than maxFileBytes.
    void rotateIfBig();

    const QStringList &lines() const { return m_lines; }

private:
    QString m_filePath;
    QStringList m_lines;
};
