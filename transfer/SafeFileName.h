#pragma once

#include <QDir>
#include <QString>

// Names that a peer proposes for a file, made safe to create in the receiving
// folder: only the last path component, no control or format characters, no
// leading dot (nothing hidden, no "." or ".."), bounded length.
namespace SafeFileName {

// At most this many UTF-8 bytes (file systems allow 255).
constexpr int maxBytes = 200;

// The proposed name reduced as above; "ファイル" when nothing usable is left.
QString clean(const QString &proposed);

// "name.ext", "name (1).ext", "name (2).ext", … : the n-th candidate for a clean name
// (n = 0 is the name itself). The number goes before the last extension.
QString numbered(const QString &name, int n);

} // namespace SafeFileName
