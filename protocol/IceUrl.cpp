#include "protocol/IceUrl.h"

#include <QUrl>

std::optional<IceUrl> IceUrl::parse(const QString &text) {
    const QString url = text.trimmed();
    const qsizetype colon = url.indexOf(':');
    if (colon <= 0)
        return std::nullopt;
    IceUrl out;
    out.scheme = url.left(colon).toLower();
    QString rest = url.mid(colon + 1);
    if (rest.startsWith(QLatin1String("//")))
        rest = rest.mid(2);
    if (const qsizetype q = rest.indexOf('?'); q >= 0) {
        out.query = rest.mid(q + 1);
        rest = rest.left(q);
    }
    // Credentials inside the URL are not ours to interpret.
    if (rest.contains('@') || rest.contains('/'))
        return std::nullopt;
    QString host = rest;
    QString port;
    if (rest.startsWith('[')) { // [v6]:port
        const qsizetype close = rest.indexOf(']');
        if (close < 0)
            return std::nullopt;
        host = rest.left(close + 1);
        const QString tail = rest.mid(close + 1);
        if (tail.startsWith(':'))
            port = tail.mid(1);
        else if (!tail.isEmpty())
            return std::nullopt;
    } else if (const qsizetype c = rest.lastIndexOf(':'); c >= 0) {
        host = rest.left(c);
        port = rest.mid(c + 1);
    }
    if (host.isEmpty() || host.contains(' '))
        return std::nullopt;
    out.host = host;
    out.port = out.scheme.endsWith('s') ? 5349 : 3478;
    if (!port.isEmpty()) {
        bool ok = false;
        const int p = port.toInt(&ok);
        if (!ok || p <= 0 || p > 65535)
            return std::nullopt;
        out.port = p;
    }
    return out;
}

std::optional<QString> IceUrl::stunUri(const QString &url) {
    const auto u = parse(url);
    if (!u || u->scheme != QLatin1String("stun"))
        return std::nullopt;
    return QStringLiteral("stun://%1:%2").arg(u->host).arg(u->port);
}

std::optional<QString> IceUrl::turnUri(const QString &url, const QString &username, const QString &credential) {
    const auto u = parse(url);
    if (!u || (u->scheme != QLatin1String("turn") && u->scheme != QLatin1String("turns")))
        return std::nullopt;
    const auto escaped = [](const QString &s) { return QString::fromUtf8(QUrl::toPercentEncoding(s)); };
    // Plain concatenation: escaped credentials contain "%3A" and the like, which
    // QString::arg() would take for placeholders.
    QString out = u->scheme + QStringLiteral("://") + escaped(username) + ':' + escaped(credential) + '@' + u->host +
                  ':' + QString::number(u->port);
    if (!u->query.isEmpty())
        out += '?' + u->query;
    return out;
}
