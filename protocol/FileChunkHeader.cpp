#include "protocol/FileChunkHeader.h"

#include <QtEndian>

QByteArray FileChunkHeader::encode(QByteArrayView data) const {
    QByteArray out(size, Qt::Uninitialized);
    uchar *p = reinterpret_cast<uchar *>(out.data());
    p[0] = kind;
    qToBigEndian(id, p + 1);
    qToBigEndian(extra, p + 5);
    out.append(data.data(), data.size());
    return out;
}

std::optional<FileChunkHeader> FileChunkHeader::decode(QByteArrayView message) {
    if (message.size() < size)
        return std::nullopt;
    const uchar *p = reinterpret_cast<const uchar *>(message.data());
    if (p[0] != kind)
        return std::nullopt;
    return FileChunkHeader{qFromBigEndian<quint32>(p + 1), qFromBigEndian<quint32>(p + 5)};
}
