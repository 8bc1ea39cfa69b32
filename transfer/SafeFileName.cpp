#include "transfer/SafeFileName.h"

namespace {
// Cuts a name to maxBytes of UTF-8 without splitting a character, keeping a short
// extension at the end.
QString bounded(const QString &name) {
    if (name.toUtf8().size() <= SafeFileName::maxBytes)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    QString ext = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
    QString stem = name.left(name.size() - ext.size());
    while (!stem.isEmpty() && (stem + ext).toUtf8().size() > SafeFileName::maxBytes) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + ext;
}
} // namespace

namespace SafeFileName {

QString clean(const QString &proposed) {
    // The last component, whichever separator the sender's system uses.
    QString name = proposed;
    const qsizetype slash = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        name = name.mid(slash + 1);
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            out += c;
            out += name.at(++i);
            continue;
        }
        if (c.isSurrogate())
            continue; // an unpaired half
        const QChar::Category cat = c.category();
        // Control characters, and format characters such as the right-to-left override
        // that make "gpj.exe" read as "exe.jpg".
        if (cat == QChar::Other_Control || cat == QChar::Other_Format || cat == QChar::Other_NotAssigned ||
            c == QChar(0xFFFD))
            continue;
        out += c.isSpace() ? QChar(QLatin1Char(' ')) : c;
    }
    // Leading dots and spaces would hide the file or make "." and ".."; trailing ones
    // confuse other systems.
    qsizetype start = 0;
    while (start < out.size() && (out.at(start) == QLatin1Char('.') || out.at(start) == QLatin1Char(' ')))
        ++start;
    out = out.mid(start);
    while (!out.isEmpty() && (out.back() == QLatin1Char('.') || out.back() == QLatin1Char(' ')))
        out.chop(1);
    out = bounded(out);
    return out.isEmpty() ? QStringLiteral("ファイル") : out;
}

QString numbered(const QString &name, int n) {
    if (n <= 0)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot > 0 ? name.mid(dot) : QString();
    QString stem = name.left(name.size() - ext.size());
    const QString suffix = QStringLiteral(" (%1)").arg(n);
    // The number must survive the length bound: the stem gives way.
    while (!stem.isEmpty() && (stem + suffix + ext).toUtf8().size() > maxBytes) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + suffix + ext;
}

} // namespace SafeFileName
