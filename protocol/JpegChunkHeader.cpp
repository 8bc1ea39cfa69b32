#include "protocol/JpegChunkHeader.h"

#include <QtEndian>

QByteArray JpegChunkHeader::encode(QByteArrayView data) const {
    QByteArray out(size, Qt::Uninitialized);
    uchar *p = reinterpret_cast<uchar *>(out.data());
    p[0] = kind;
    qToBigEndian(seq, p + 1);
    qToBigEndian(index, p + 5);
    qToBigEndian(count, p + 7);
    qToBigEndian(w, p + 9);
    qToBigEndian(h, p + 11);
    p[13] = flags;
    out.append(data.data(), data.size());
    return out;
}

std::optional<JpegChunkHeader> JpegChunkHeader::decode(QByteArrayView message) {
    if (message.size() < size)
        return std::nullopt;
    const uchar *p = reinterpret_cast<const uchar *>(message.data());
    if (p[0] != kind)
        return std::nullopt;
    JpegChunkHeader h;
    h.seq = qFromBigEndian<quint32>(p + 1);
    h.index = qFromBigEndian<quint16>(p + 5);
    h.count = qFromBigEndian<quint16>(p + 7);
    h.w = qFromBigEndian<quint16>(p + 9);
    h.h = qFromBigEndian<quint16>(p + 11);
    h.flags = p[13];
    return h;
}
