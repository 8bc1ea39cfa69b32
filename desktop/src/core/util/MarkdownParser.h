#pragma once

#include "util/MarkdownBlock.h"

#include <QList>
#include <QString>

#include <optional>
#include <utility>

// The block level of the app's small Markdown dialect: fixed line rules, one
// block per line at most. Inline styling is left to the view.
namespace MarkdownParser {
QList<MarkdownBlock> blocks(const QString &text);
// Spaces count 1, tabs 2, up to the first other character; halved, at most 3.
int indentDepth(const QString &line);
// "12. rest" or "3) rest" with one to three numeric characters.
std::optional<std::pair<int, QString>> numberedPrefix(const QString &t);
// Tabs and Unicode space separators removed at both ends.
QString trimHorizontal(const QString &s);
} // namespace MarkdownParser
