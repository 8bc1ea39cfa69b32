#include "protocol/ctrl/ViewerIntroduction.h"

#include "protocol/ctrl/CtrlMessage.h"

#include <QByteArray>

namespace {
QString cleaned(const QJsonObject &o, const char *key, int maxChars) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return {};
    QString out;
    const QString text = v.toString().left(maxChars * 2);
    for (const QChar c : text) {
        // No line breaks, tabs or other control and format characters in a one-line label.
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Other_Format || cat == QChar::Separator_Line ||
            cat == QChar::Separator_Paragraph)
            continue;
        out += c;
    }
    out = out.simplified();
    if (out.size() > maxChars) {
        out.truncate(maxChars);
        // Do not leave half of a surrogate pair behind.
        if (!out.isEmpty() && out.back().isHighSurrogate())
            out.chop(1);
    }
    return out;
}

QString checkedIcon(const QJsonObject &o) {
    const QJsonValue v = o.value(QLatin1String("icon"));
    if (!v.isString() || v.toString().size() > ViewerIntroduction::maxIconChars)
        return {};
    const QString icon = v.toString();
    for (const char *prefix : {"data:image/png;base64,", "data:image/jpeg;base64,"}) {
        if (!icon.startsWith(QLatin1String(prefix)))
            continue;
        const QByteArray b64 = icon.mid(qsizetype(qstrlen(prefix))).toLatin1();
        const auto decoded = QByteArray::fromBase64Encoding(b64, QByteArray::AbortOnBase64DecodingErrors);
        return decoded && !decoded.decoded.isEmpty() ? icon : QString();
    }
    return {};
}
} // namespace

QJsonObject ViewerIntroduction::toJson() const {
    QJsonObject o =
        CtrlMessage::tagged(tag, {{"user", user}, {"machine", machine}, {"os", os}, {"app", app}, {"ver", ver}});
    if (!icon.isEmpty())
        o.insert(QLatin1StringView("icon"), icon);
    return o;
}

ViewerIntroduction ViewerIntroduction::fromJson(const QJsonObject &hello) {
    ViewerIntroduction v;
    v.user = cleaned(hello, "user", maxNameChars);
    v.machine = cleaned(hello, "machine", maxNameChars);
    v.os = cleaned(hello, "os", maxOsChars);
    v.app = cleaned(hello, "app", maxAppChars);
    v.ver = cleaned(hello, "ver", maxVersionChars);
    v.icon = checkedIcon(hello);
    return v;
}

QString ViewerIntroduction::displayName() const {
    if (!user.isEmpty() && !machine.isEmpty())
        return user + QLatin1Char('@') + machine;
    return user.isEmpty() ? machine : user;
}
