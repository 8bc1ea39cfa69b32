#include "style/MarkdownView.h"

#include "style/Theme.h"
#include "util/MarkdownParser.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QUrl>
#include <QVBoxLayout>

#include <cmark.h>

#include <memory>

namespace {

struct NodeFree {
    void operator()(cmark_node *n) const { cmark_node_free(n); }
};
using NodePtr = std::unique_ptr<cmark_node, NodeFree>;

QString literal(cmark_node *node) {
    return QString::fromUtf8(cmark_node_get_literal(node));
}

bool isAsciiPunct(QChar c) {
    return c.unicode() < 128 && (c.isPunct() || c.isSymbol());
}

// Rich text for the inline children of a paragraph.
void renderInline(cmark_node *node, QString &out) {
    for (cmark_node *n = cmark_node_first_child(node); n; n = cmark_node_next(n)) {
        switch (cmark_node_get_type(n)) {
        case CMARK_NODE_TEXT:
        case CMARK_NODE_HTML_INLINE: // shown as written, never interpreted
            out += literal(n).toHtmlEscaped();
            break;
        case CMARK_NODE_CODE:
            out += QStringLiteral("<code>") + literal(n).toHtmlEscaped() + QStringLiteral("</code>");
            break;
        case CMARK_NODE_SOFTBREAK:
            out += u' ';
            break;
        case CMARK_NODE_LINEBREAK:
            out += QStringLiteral("<br>");
            break;
        case CMARK_NODE_EMPH:
            out += QStringLiteral("<i>");
            renderInline(n, out);
            out += QStringLiteral("</i>");
            break;
        case CMARK_NODE_STRONG:
            out += QStringLiteral("<b>");
            renderInline(n, out);
            out += QStringLiteral("</b>");
            break;
        case CMARK_NODE_LINK: {
            const QString url = QString::fromUtf8(cmark_node_get_url(n));
            out += QStringLiteral("<a href=\"") + url.toHtmlEscaped() + QStringLiteral("\">");
            renderInline(n, out);
            out += QStringLiteral("</a>");
            break;
        }
        case CMARK_NODE_IMAGE: // no pictures in the terms: the description stands in
            renderInline(n, out);
            break;
        default:
            renderInline(n, out);
            break;
        }
    }
}

// The single paragraph cmark made of the text, or null when it made anything else.
std::optional<QString> parseAsParagraph(const QString &src) {
    const QByteArray utf8 = src.toUtf8();
    NodePtr doc(cmark_parse_document(utf8.constData(), size_t(utf8.size()), CMARK_OPT_DEFAULT));
    if (!doc)
        return std::nullopt;
    cmark_node *first = cmark_node_first_child(doc.get());
    if (!first || cmark_node_next(first) || cmark_node_get_type(first) != CMARK_NODE_PARAGRAPH)
        return std::nullopt;
    QString out;
    renderInline(first, out);
    return out;
}

// The text with its first block-starting mark escaped, so that "# a" or
// "1. a" read as inline text rather than a heading or a list.
QString escapeBlockStart(const QString &s) {
    for (qsizetype i = 0; i < s.size() && i < 12; ++i) {
        if (isAsciiPunct(s.at(i)))
            return s.left(i) + u'\\' + s.mid(i);
        if (!s.at(i).isDigit())
            break;
    }
    return s;
}

QLabel *textLabel(const QString &html, const QFont &font, QWidget *parent) {
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setText(html);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    QObject::connect(label, &QLabel::linkActivated, label, [](const QString &link) {
        // Only ordinary web and mail links leave the app.
        const QUrl url(link);
        const QString scheme = url.scheme().toLower();
        if (scheme == u"http" || scheme == u"https" || scheme == u"mailto")
            QDesktopServices::openUrl(url);
    });
    return label;
}

class QuoteBar : public QWidget {
public:
    explicit QuoteBar(QWidget *parent) : QWidget(parent) { setFixedWidth(3); }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        QColor c = Theme::secondary();
        c.setAlphaF(c.alphaF() * 0.4f);
        p.fillRect(rect(), c);
    }
};

class CodeBox : public QFrame {
public:
    explicit CodeBox(QWidget *parent) : QFrame(parent) {}

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(QPalette::Button));
        p.drawRoundedRect(QRectF(rect()), 6, 6);
    }
};

} // namespace

MarkdownView::MarkdownView(QWidget *parent) : QWidget(parent) {
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(8);
}

void MarkdownView::setText(const QString &text) {
    if (text == m_text && m_layout->count() > 0)
        return;
    m_text = text;
    rebuild();
    Q_EMIT textChanged();
}

QList<MarkdownBlock> MarkdownView::blocks() const {
    return MarkdownParser::blocks(m_text);
}

std::optional<QString> MarkdownView::inlineHtml(const QString &text) {
    // cmark drops the white space around a paragraph: keep it aside and put it back.
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b).isSpace())
        ++b;
    while (e > b && text.at(e - 1).isSpace())
        --e;
    const QString core = text.mid(b, e - b);
    QString body;
    if (!core.isEmpty()) {
        auto parsed = parseAsParagraph(core);
        if (!parsed) {
            const QString escaped = escapeBlockStart(core);
            if (escaped != core)
                parsed = parseAsParagraph(escaped);
        }
        if (!parsed)
            return std::nullopt;
        body = *parsed;
    }
    return QStringLiteral("<span style=\"white-space:pre-wrap\">") + text.left(b).toHtmlEscaped() + body +
           text.mid(e).toHtmlEscaped() + QStringLiteral("</span>");
}

QString MarkdownView::inlineText(const QString &text) {
    if (auto html = inlineHtml(text))
        return *html;
    return QStringLiteral("<span style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</span>");
}

void MarkdownView::rebuild() {
    while (QLayoutItem *item = m_layout->takeAt(0)) {
        if (QWidget *w = item->widget())
            delete w;
        delete item;
    }
    for (const MarkdownBlock &block : blocks())
        if (QWidget *w = blockWidget(block))
            m_layout->addWidget(w);
    m_layout->addStretch(1);
}

QWidget *MarkdownView::blockWidget(const MarkdownBlock &block) {
    const QFont body = Theme::sized(12.5);
    auto *row = new QWidget(this);
    auto *h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    switch (block.kind) {
    case MarkdownBlock::Kind::heading: {
        QFont f = block.level == 1   ? Theme::title3()
                  : block.level == 2 ? Theme::headline()
                                     : Theme::sized(11, QFont::Bold);
        h->setContentsMargins(0, block.level == 1 ? 8 : 4, 0, 0);
        h->addWidget(textLabel(inlineText(block.text), f, row));
        break;
    }
    case MarkdownBlock::Kind::paragraph:
        h->addWidget(textLabel(inlineText(block.text), body, row));
        break;
    case MarkdownBlock::Kind::bullet:
    case MarkdownBlock::Kind::numbered: {
        h->setContentsMargins(block.depth * 14, 0, 0, 0);
        h->setSpacing(6);
        QFont markerFont = body;
        QString marker = QStringLiteral("・");
        if (block.kind == MarkdownBlock::Kind::numbered) {
            marker = QString::number(block.number) + u'.';
            // UI fonts draw digits at equal width already.
        }
        auto *m = new QLabel(marker, row);
        m->setFont(markerFont);
        m->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        h->addWidget(m, 0, Qt::AlignTop);
        h->addWidget(textLabel(inlineText(block.text), body, row), 1);
        break;
    }
    case MarkdownBlock::Kind::quote:
        h->setSpacing(8);
        h->addWidget(new QuoteBar(row));
        h->addWidget(textLabel(inlineText(block.text), body, row), 1);
        break;
    case MarkdownBlock::Kind::code: {
        delete row;
        auto *box = new CodeBox(this);
        auto *v = new QVBoxLayout(box);
        v->setContentsMargins(8, 8, 8, 8);
        auto *label = new QLabel(box);
        label->setTextFormat(Qt::PlainText);
        label->setText(block.text);
        label->setFont(Theme::mono(11.5));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        v->addWidget(label);
        return box;
    }
    case MarkdownBlock::Kind::rule: {
        h->setContentsMargins(0, 2, 0, 2);
        auto *line = new QFrame(row);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        h->addWidget(line);
        break;
    }
    }
    return row;
}
