#include "ServerLog.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace {

bool underJournal = false;

const char *priorityPrefix(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "<7>";
    case QtInfoMsg:
        return "<6>";
    case QtWarningMsg:
        return "<4>";
    case QtCriticalMsg:
        return "<3>";
    case QtFatalMsg:
        return "<2>";
    }
    return "<6>";
}

const char *levelName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug: ";
    case QtInfoMsg:
        return "info: ";
    case QtWarningMsg:
        return "warning: ";
    case QtCriticalMsg:
        return "error: ";
    case QtFatalMsg:
        return "fatal: ";
    }
    return "info: ";
}

// Runs on whichever thread logs; one fwrite per line keeps lines whole.
void writeLine(QtMsgType type, const QMessageLogContext &, const QString &message) {
    QByteArray line = underJournal ? QByteArray(priorityPrefix(type)) : QByteArray(levelName(type));
    QByteArray text = message.toUtf8();
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    line += text;
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

namespace ServerLog {

void install() {
    underJournal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    qInstallMessageHandler(writeLine);
}

} // namespace ServerLog
