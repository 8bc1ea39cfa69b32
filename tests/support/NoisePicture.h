#pragma once

#include <QByteArray>

// A PNG of random pixels: it hardly compresses (about 4 bytes a pixel), so its size is
// known in advance and no two are alike. Stored rather than deflated: quick to make.
QByteArray noisePng(int width, int height);
