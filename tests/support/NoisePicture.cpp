#include "support/NoisePicture.h"

#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>

QByteArray noisePng(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), width);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG", 100);
    return png;
}
