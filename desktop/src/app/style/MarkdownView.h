#pragma once

#include "util/MarkdownBlock.h"

#include <QWidget>

#include <optional>

class QVBoxLayout;

// Renders the agreement text: blocks by the app's own line rules, inline
// emphasis, code spans and links through cmark.
class MarkdownView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
public:
    explicit MarkdownView(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    QList<MarkdownBlock> blocks() const;

    // The inline part as rich text; none when the parse is not a plain run of
    // inline content, in which case the caller shows the literal text.
    static std::optional<QString> inlineHtml(const QString &text);
    // inlineHtml, or the text escaped character for character.
    static QString inlineText(const QString &text);

Q_SIGNALS:
    void textChanged();

private:
    void rebuild();
    QWidget *blockWidget(const MarkdownBlock &block);

    QString m_text;
    QVBoxLayout *m_layout = nullptr;
};
