#include "protocol/agent/ControlController.h"

#include "protocol/agent/ControlJson.h"

#include <QDateTime>

std::optional<ControlController> ControlController::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    ControlController r;
    r.label = ControlJson::string(o, QStringLiteral("label")).value_or(QString());
    r.pub = ControlJson::string(o, QStringLiteral("pub")).value_or(QString());
    r.added = ControlJson::int64(o, QStringLiteral("added")).value_or(0);
    return r;
}

QString ControlController::summary() const {
    // Counted in user-visible characters, so a surrogate pair is never split.
    QString text;
    int count = 0;
    for (qsizetype i = 0; i < pub.size(); ++i) {
        if (pub[i].isHighSurrogate() && i + 1 < pub.size() && pub[i + 1].isLowSurrogate()) {
            if (count < 12)
                text += pub.mid(i, 2);
            ++i;
        } else if (count < 12) {
            text += pub[i];
        }
        ++count;
    }
    if (count >= 13)
        text += QStringLiteral("...");
    if (added >= 1) {
        // Far-out values would overflow the millisecond clock; clamp to the year 9999.
        const qint64 secs = qMin<qint64>(added, 253402300799LL);
        text += QStringLiteral("  ") +
                QDateTime::fromSecsSinceEpoch(secs).toLocalTime().date().toString(QStringLiteral("yyyy-MM-dd"));
    }
    return text;
}

QJsonObject ControlController::toJson() const {
    return QJsonObject{{"label", label}, {"pub", pub}, {"added", added}};
}
