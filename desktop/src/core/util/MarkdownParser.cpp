#include "util/MarkdownParser.h"

#include <QStringList>

namespace {

bool isSpaceOrTab(QChar c) {
    return c == u' ' || c == u'\t';
}

bool isHorizontalSpace(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimSpaceTab(const QString &s) {
    qsizetype b = 0, e = s.size();
    while (b < e && isSpaceOrTab(s.at(b)))
        ++b;
    while (e > b && isSpaceOrTab(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

bool isRule(const QString &t) {
    if (t.size() < 3)
        return false;
    const QChar c = t.at(0);
    if (c != u'-' && c != u'*' && c != u'_')
        return false;
    for (QChar x : t)
        if (x != c)
            return false;
    return true;
}

// The code point at i and its length in UTF-16 units.
std::pair<char32_t, qsizetype> codePointAt(const QString &s, qsizetype i) {
    const QChar c = s.at(i);
    if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(c, s.at(i + 1)), 2};
    return {c.unicode(), 1};
}

bool isNumeric(char32_t cp) {
    const auto cat = QChar::category(cp);
    return cat == QChar::Number_DecimalDigit || cat == QChar::Number_Letter || cat == QChar::Number_Other;
}

} // namespace

namespace MarkdownParser {

QString trimHorizontal(const QString &s) {
    qsizetype b = 0, e = s.size();
    while (b < e && isHorizontalSpace(s.at(b)))
        ++b;
    while (e > b && isHorizontalSpace(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

int indentDepth(const QString &line) {
    int count = 0;
    for (QChar c : line) {
        if (c == u' ')
            count += 1;
        else if (c == u'\t')
            count += 2;
        else
            break;
        if (count >= 6)
            break; // deeper indents all read as 3
    }
    return std::min(count / 2, 3);
}

std::optional<std::pair<int, QString>> numberedPrefix(const QString &t) {
    qsizetype i = 0;
    int chars = 0;
    bool ascii = true;
    while (i < t.size()) {
        const auto [cp, len] = codePointAt(t, i);
        if (!isNumeric(cp))
            break;
        ascii = ascii && cp >= U'0' && cp <= U'9';
        i += len;
        if (++chars > 3)
            return std::nullopt;
    }
    if (chars < 1)
        return std::nullopt;
    const QStringView after = QStringView(t).mid(i);
    if (!after.startsWith(u". ") && !after.startsWith(u") "))
        return std::nullopt;
    // Digits of other scripts do not read as a decimal integer.
    const int number = ascii ? t.left(i).toInt() : 0;
    return std::make_pair(number, after.mid(2).toString());
}

QList<MarkdownBlock> blocks(const QString &text) {
    QList<MarkdownBlock> out;
    QStringList paragraph;
    QStringList code;
    bool inCode = false;

    auto flush = [&] {
        const QString joined = trimHorizontal(paragraph.join(u' '));
        if (!joined.isEmpty())
            out.append(MarkdownBlock::paragraph(joined));
        paragraph.clear();
    };

    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QStringList lines = normalised.split(u'\n');
    for (const QString &line : lines) {
        const QString t = trimSpaceTab(line);
        if (t.startsWith(QStringLiteral("```"))) {
            if (inCode) {
                out.append(MarkdownBlock::code(code.join(u'\n')));
                code.clear();
                inCode = false;
            } else {
                flush();
                inCode = true;
            }
            continue;
        }
        if (inCode) {
            code.append(line);
            continue;
        }
        if (t.isEmpty()) {
            flush();
            continue;
        }
        if (isRule(t)) {
            flush();
            out.append(MarkdownBlock::rule());
            continue;
        }
        if (t.startsWith(u'#')) {
            qsizetype h = 0;
            while (h < t.size() && t.at(h) == u'#')
                ++h;
            if (h <= 6 && h < t.size() && t.at(h) == u' ') {
                flush();
                out.append(MarkdownBlock::heading(int(std::min<qsizetype>(h, 3)), trimHorizontal(t.mid(h))));
                continue;
            }
        }
        if (t.startsWith(QStringLiteral("> "))) {
            flush();
            out.append(MarkdownBlock::quote(t.mid(2)));
            continue;
        }
        const int depth = indentDepth(line);
        if (t.startsWith(QStringLiteral("- ")) || t.startsWith(QStringLiteral("* ")) ||
            t.startsWith(QStringLiteral("+ "))) {
            flush();
            out.append(MarkdownBlock::bullet(depth, t.mid(2)));
            continue;
        }
        if (const auto numbered = numberedPrefix(t)) {
            flush();
            out.append(MarkdownBlock::numbered(depth, numbered->first, numbered->second));
            continue;
        }
        paragraph.append(t);
    }
    // An unclosed fence keeps what followed it.
    if (!code.isEmpty())
        out.append(MarkdownBlock::code(code.join(u'\n')));
    flush();
    return out;
}

} // namespace MarkdownParser
