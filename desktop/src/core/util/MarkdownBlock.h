#pragma once

#include <QString>

// One block of the agreement text: what one line (or a run of lines) becomes.
struct MarkdownBlock {
    enum class Kind { heading, paragraph, bullet, numbered, quote, code, rule };

    Kind kind = Kind::paragraph;
    int level = 0;  // heading: 1 to 3
    int depth = 0;  // bullet, numbered: 0 to 3
    int number = 0; // numbered
    QString text;

    bool operator==(const MarkdownBlock &) const = default;

    static MarkdownBlock heading(int level, const QString &text) { return {Kind::heading, level, 0, 0, text}; }
    static MarkdownBlock paragraph(const QString &text) { return {Kind::paragraph, 0, 0, 0, text}; }
    static MarkdownBlock bullet(int depth, const QString &text) { return {Kind::bullet, 0, depth, 0, text}; }
    static MarkdownBlock numbered(int depth, int number, const QString &text) {
        return {Kind::numbered, 0, depth, number, text};
    }
    static MarkdownBlock quote(const QString &text) { return {Kind::quote, 0, 0, 0, text}; }
    static MarkdownBlock code(const QString &text) { return {Kind::code, 0, 0, 0, text}; }
    static MarkdownBlock rule() { return {Kind::rule, 0, 0, 0, {}}; }
};
