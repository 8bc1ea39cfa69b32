#include "util/MarkdownParser.h"

#include <cstddef>
#include <cstdint>

// An agreement body from the agent: blocks stay within their ranges, at most
// one block per line, no block text spans lines (code aside), and the blocks
// never hold more text than came in.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using Kind = MarkdownBlock::Kind;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<MarkdownBlock> blocks = MarkdownParser::blocks(text);
    if (blocks.size() > text.count(u'\n') + 1)
        __builtin_trap();
    qsizetype total = 0;
    for (const MarkdownBlock &b : blocks) {
        total += b.text.size();
        if (b.depth < 0 || b.depth > 3 || b.number < 0 || b.number > 999)
            __builtin_trap();
        if (b.kind == Kind::heading ? (b.level < 1 || b.level > 3) : b.level != 0)
            __builtin_trap();
        if (b.kind != Kind::code && b.text.contains(u'\n'))
            __builtin_trap();
        if (b.kind == Kind::paragraph && (b.text.isEmpty() || MarkdownParser::trimHorizontal(b.text) != b.text))
            __builtin_trap();
        if (b.kind == Kind::rule && !b.text.isEmpty())
            __builtin_trap();
    }
    if (total > text.size())
        __builtin_trap();
    return 0;
}
