#pragma once

#include <QString>
#include <QStringList>

// Whether any of the log lines contains text.
bool hasLine(const QStringList &lines, const QString &text);
