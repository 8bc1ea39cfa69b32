#pragma once

#include <QFileDevice>
#include <QNetworkReply>
#include <QProcess>
#include <QString>

// What Qt and the system report in English, said in the application's language.
// The original text goes to the log (category "velmo.errors") so that nothing of
// the diagnosis is lost; the screen shows the returned text.
namespace ErrorText {

QString network(QNetworkReply::NetworkError error, const QString &original);
// program: the file name shown to the user (e.g. "cp"); may be empty.
QString process(QProcess::ProcessError error, const QString &program, const QString &original);
QString file(QFileDevice::FileError error, const QString &original);
// The rendezvous server at `server` did not answer: names it and says what to check.
QString serverUnreachable(const QString &server);

} // namespace ErrorText
