#include "agent/AgentLog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

void AgentLog::append(const QString &text) {
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + text;
    m_lines.append(line);
    if (m_lines.size() > maxLines)
        m_lines.remove(0, m_lines.size() - maxLines);
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    QFile f(m_filePath);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(bytes);
}

void AgentLog::rotateIfBig() {
    const QFileInfo fi(m_filePath);
    if (fi.exists() && fi.size() > maxFileBytes)
        QFile::remove(m_filePath);
}
