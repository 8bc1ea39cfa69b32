#include "style/MarkdownView.h"
#include "util/MarkdownParser.h"

#include <QLabel>
#include <QRandomGenerator>
#include <QtTest>

using B = MarkdownBlock;
using MarkdownParser::blocks;

Q_DECLARE_METATYPE(QList<MarkdownBlock>)

namespace QTest {
template <> char *toString(const MarkdownBlock &b) {
    return qstrdup(QStringLiteral("{%1 l%2 d%3 n%4 \"%5\"}")
                       .arg(int(b.kind))
                       .arg(b.level)
                       .arg(b.depth)
                       .arg(b.number)
                       .arg(b.text)
                       .toUtf8()
                       .constData());
}
} // namespace QTest

class TestMarkdown : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void blockRules_data();
    void blockRules();
    void indentDepth();
    void numberedPrefix();
    void inlineFormatting();
    void inlineFallsBackToLiteral();
    void viewBuildsOneWidgetPerBlock();
    void randomInputKeepsTheInvariants();
};

void TestMarkdown::blockRules_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<MarkdownBlock>>("expected");

    QTest::newRow("empty") << "" << QList<B>{};
    QTest::newRow("h1") << "# Word" << QList<B>{B::heading(1, "Word")};
    QTest::newRow("h4 is level 3") << "#### Word" << QList<B>{B::heading(3, "Word")};
    QTest::newRow("h6 is level 3") << "###### Word" << QList<B>{B::heading(3, "Word")};
    QTest::newRow("no space after #") << "#Word" << QList<B>{B::paragraph("#Word")};
    QTest::newRow("seven #") << "####### Word" << QList<B>{B::paragraph("####### Word")};
    QTest::newRow("bare #") << "#" << QList<B>{B::paragraph("#")};
    QTest::newRow("heading text trimmed of ideographic space")
        << QString::fromUtf8("#  \u3000見出し\t") << QList<B>{B::heading(1, QString::fromUtf8("見出し"))};
    QTest::newRow("rule ---") << "---" << QList<B>{B::rule()};
    QTest::newRow("rule ****") << "****" << QList<B>{B::rule()};
    QTest::newRow("rule ___ indented") << "  ___  " << QList<B>{B::rule()};
    QTest::newRow("two dashes are text") << "--" << QList<B>{B::paragraph("--")};
    QTest::newRow("mixed marks are text") << "-*-" << QList<B>{B::paragraph("-*-")};
    QTest::newRow("spaced dashes are a bullet") << "- - -" << QList<B>{B::bullet(0, "- -")};
    QTest::newRow("bullets") << "- a\n* b\n+ c" << QList<B>{B::bullet(0, "a"), B::bullet(0, "b"), B::bullet(0, "c")};
    QTest::newRow("bullet depth") << "  - a\n\t\t\t- b\n            - c"
                                  << QList<B>{B::bullet(1, "a"), B::bullet(3, "b"), B::bullet(3, "c")};
    QTest::newRow("numbered") << "12. word\n3) word" << QList<B>{B::numbered(0, 12, "word"), B::numbered(0, 3, "word")};
    QTest::newRow("numbered keeps spaces of rest") << "1.  two" << QList<B>{B::numbered(0, 1, " two")};
    QTest::newRow("four digits are text") << "1234. word" << QList<B>{B::paragraph("1234. word")};
    QTest::newRow("digit dot no space is text") << "1.word" << QList<B>{B::paragraph("1.word")};
    QTest::newRow("non-ascii digits number 0") << QString::fromUtf8("١٢. word") << QList<B>{B::numbered(0, 0, "word")};
    QTest::newRow("quote") << ">  quoted " << QList<B>{B::quote(" quoted")};
    QTest::newRow("quote needs a space") << ">x" << QList<B>{B::paragraph(">x")};
    QTest::newRow("paragraph joined") << "one\ntwo\n\nthree"
                                      << QList<B>{B::paragraph("one two"), B::paragraph("three")};
    QTest::newRow("crlf") << "one\r\ntwo\r\n\r\n# h" << QList<B>{B::paragraph("one two"), B::heading(1, "h")};
    QTest::newRow("paragraph before fence")
        << "text\n```\ncode\n```" << QList<B>{B::paragraph("text"), B::code("code")};
    QTest::newRow("fence keeps indentation, drops language")
        << "```swift\n  let x = 1\n\tif y {\n```" << QList<B>{B::code("  let x = 1\n\tif y {")};
    QTest::newRow("code lines are not parsed") << "```\n# no\n- no\n```" << QList<B>{B::code("# no\n- no")};
    QTest::newRow("unclosed fence") << "a\n```\nx\ny" << QList<B>{B::paragraph("a"), B::code("x\ny")};
    QTest::newRow("fence on last line yields nothing") << "a\n```" << QList<B>{B::paragraph("a")};
    QTest::newRow("empty closed fence") << "```\n```" << QList<B>{B::code("")};
    QTest::newRow("heading ends paragraph")
        << "p\n## h\nq" << QList<B>{B::paragraph("p"), B::heading(2, "h"), B::paragraph("q")};
    QTest::newRow("nbsp line is not blank")
        << QString::fromUtf8("a\n\u00a0\nb") << QList<B>{B::paragraph(QString::fromUtf8("a \u00a0 b"))};
}

void TestMarkdown::blockRules() {
    QFETCH(QString, text);
    QFETCH(QList<MarkdownBlock>, expected);
    const QList<MarkdownBlock> got = blocks(text);
    QCOMPARE(got.size(), expected.size());
    for (qsizetype i = 0; i < got.size(); ++i)
        QCOMPARE(got.at(i), expected.at(i));
}

void TestMarkdown::indentDepth() {
    QCOMPARE(MarkdownParser::indentDepth(""), 0);
    QCOMPARE(MarkdownParser::indentDepth(" x"), 0);
    QCOMPARE(MarkdownParser::indentDepth("  x"), 1);
    QCOMPARE(MarkdownParser::indentDepth("\tx"), 1);
    QCOMPARE(MarkdownParser::indentDepth("   x"), 1);
    QCOMPARE(MarkdownParser::indentDepth("\t\t\tx"), 3);
    QCOMPARE(MarkdownParser::indentDepth(QString(10000, u' ') + "x"), 3);
    // Only spaces and tabs count; other white space stops the walk.
    QCOMPARE(MarkdownParser::indentDepth(QString::fromUtf8("\u3000\u3000  x")), 0);
}

void TestMarkdown::numberedPrefix() {
    auto r = MarkdownParser::numberedPrefix("999) x");
    QVERIFY(r);
    QCOMPARE(r->first, 999);
    QCOMPARE(r->second, QStringLiteral("x"));
    QVERIFY(!MarkdownParser::numberedPrefix(". x"));
    QVERIFY(!MarkdownParser::numberedPrefix("1:x"));
    QVERIFY(!MarkdownParser::numberedPrefix("1."));
    r = MarkdownParser::numberedPrefix("7. ");
    QVERIFY(r);
    QCOMPARE(r->second, QString());
    // Superscript two is a number character but not a decimal one.
    r = MarkdownParser::numberedPrefix(QString::fromUtf8("\u00b2. x"));
    QVERIFY(r);
    QCOMPARE(r->first, 0);
    // A numeric character outside the BMP counts once.
    r = MarkdownParser::numberedPrefix(QString::fromUtf8("\U0001D7CE\U0001D7CF\U0001D7D0. x"));
    QVERIFY(r);
    QCOMPARE(r->first, 0);
}

void TestMarkdown::inlineFormatting() {
    auto html = MarkdownView::inlineHtml("a *em* and **strong** and `co<de>` [link](https://x.test/?a=1&b=2)");
    QVERIFY(html);
    QVERIFY(html->contains("<i>em</i>"));
    QVERIFY(html->contains("<b>strong</b>"));
    QVERIFY(html->contains("<code>co&lt;de&gt;</code>"));
    QVERIFY(html->contains("<a href=\"https://x.test/?a=1&amp;b=2\">link</a>"));
    // White space is kept as written, including at the ends.
    html = MarkdownView::inlineHtml("  two  spaces ");
    QVERIFY(html);
    QVERIFY(html->contains("white-space:pre-wrap"));
    QVERIFY(html->contains(">  two  spaces </span>"));
    // Text that cmark would take for a block stays inline.
    html = MarkdownView::inlineHtml("# not a heading *x*");
    QVERIFY(html);
    QVERIFY(html->contains("# not a heading <i>x</i>"));
    html = MarkdownView::inlineHtml("1. not a list");
    QVERIFY(html);
    QVERIFY(html->contains("1. not a list"));
    // Raw HTML is shown, never interpreted.
    html = MarkdownView::inlineHtml("<b>bold</b> <img src=x>");
    QVERIFY(html);
    QVERIFY(html->contains("&lt;b&gt;bold&lt;/b&gt;"));
    QVERIFY(!html->contains("<img"));
}

void TestMarkdown::inlineFallsBackToLiteral() {
    // A link reference definition is no inline content: the text is shown as it stands.
    const QString def = "[a]: https://x.test";
    QVERIFY(!MarkdownView::inlineHtml(def).has_value() ||
            MarkdownView::inlineHtml(def)->contains("[a]: https://x.test"));
    const QString shown = MarkdownView::inlineText(def);
    QVERIFY(shown.contains("[a]: https://x.test"));
    // Unbalanced marks are literal characters.
    const QString odd = MarkdownView::inlineText("**open and `tick");
    QVERIFY(odd.contains("**open and `tick"));
}

void TestMarkdown::viewBuildsOneWidgetPerBlock() {
    MarkdownView view;
    view.setText("# Title\n\npara *x*\n- item\n```\ncode\n```\n---");
    QCOMPARE(view.blocks().size(), 5);
    const auto labels = view.findChildren<QLabel *>();
    QStringList texts;
    for (auto *l : labels)
        texts << l->text();
    QVERIFY(texts.join('|').contains("<i>x</i>"));
    QVERIFY(texts.contains("code"));
    QVERIFY(texts.contains(QString::fromUtf8("・")));
    view.setText("");
    QCOMPARE(view.findChildren<QLabel *>().size(), 0);
}

void TestMarkdown::randomInputKeepsTheInvariants() {
    // Lines made of the characters the rules look at, in every mix.
    const QString alphabet = QString::fromUtf8("#-*_+>`.) \t\r\n1２a\u3000");
    QRandomGenerator rng(42);
    for (int round = 0; round < 300; ++round) {
        QString text;
        const int n = int(rng.bounded(400));
        for (int i = 0; i < n; ++i)
            text += alphabet.at(int(rng.bounded(alphabet.size())));
        for (const MarkdownBlock &b : blocks(text)) {
            QVERIFY(b.depth >= 0 && b.depth <= 3);
            if (b.kind == B::Kind::heading)
                QVERIFY(b.level >= 1 && b.level <= 3);
            if (b.kind == B::Kind::paragraph) {
                QVERIFY(!b.text.isEmpty());
                QVERIFY(!b.text.contains(u'\n'));
            }
            if (b.kind == B::Kind::numbered)
                QVERIFY(b.number >= 0 && b.number <= 999);
            if (b.kind != B::Kind::code)
                QVERIFY(!b.text.contains(u'\n'));
            // The inline parse of whatever the blocks hold must not trip cmark.
            if (b.kind != B::Kind::code && b.kind != B::Kind::rule)
                MarkdownView::inlineText(b.text);
        }
    }
}

QTEST_MAIN(TestMarkdown)
#include "tst_markdown.moc"
