#include "util/StringUtils.h"

#include <QList>
#include <QTextBoundaryFinder>

QString formattedId(const QString &s) {
    // Grapheme clusters, so that "é" as e + combining accent counts once.
    QList<qsizetype> bounds;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    bounds.append(0);
    while (finder.toNextBoundary() > 0) {
        bounds.append(finder.position());
        if (bounds.size() > 10)
            return s;
    }
    if (bounds.size() != 10)
        return s;
    return s.mid(0, bounds[3]) + ' ' + s.mid(bounds[3], bounds[6] - bounds[3]) + ' ' + s.mid(bounds[6]);
}

QString digitsOnly(const QString &s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        char32_t cp = s.at(i).unicode();
        qsizetype len = 1;
        if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(s.at(i), s.at(i + 1));
            len = 2;
        }
        const auto cat = QChar::category(cp);
        if (cat == QChar::Number_DecimalDigit || cat == QChar::Number_Letter || cat == QChar::Number_Other)
            out += s.mid(i, len);
        i += len - 1;
    }
    return out;
}
