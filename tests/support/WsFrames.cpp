#include "support/WsFrames.h"

#include <QtEndian>

QByteArray clientFrame(const QByteArray &text) {
    QByteArray f("\x81", 1);
    if (text.size() < 126) {
        f.append(char(0x80 | text.size()));
    } else {
        f.append(char(0x80 | 126));
        f.append(char((text.size() >> 8) & 0xff));
        f.append(char(text.size() & 0xff));
    }
    f.append(QByteArray(4, '\0'));
    return f + text;
}

QByteArray clientFrame(int opcode, const QByteArray &payload, bool fin, bool masked) {
    QByteArray f;
    f.append(char((fin ? 0x80 : 0) | opcode));
    const char maskBit = masked ? char(0x80) : char(0);
    if (payload.size() < 126) {
        f.append(char(maskBit | payload.size()));
    } else if (payload.size() <= 0xffff) {
        f.append(char(maskBit | 126));
        f.append(char(payload.size() >> 8));
        f.append(char(payload.size() & 0xff));
    } else {
        f.append(char(maskBit | 127));
        char length[8];
        qToBigEndian<quint64>(quint64(payload.size()), length);
        f.append(length, 8);
    }
    if (!masked)
        return f + payload;
    const char key[4] = {'\x37', '\xfa', '\x21', '\x3d'};
    f.append(key, 4);
    QByteArray body = payload;
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = char(body[i] ^ key[i % 4]);
    return f + body;
}

int ServerFrame::closeCode() const {
    return payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1005;
}

std::optional<ServerFrame> takeServerFrame(QByteArray &in) {
    if (in.size() < 2)
        return std::nullopt;
    const auto *p = reinterpret_cast<const uchar *>(in.constData());
    qsizetype header = 2;
    quint64 length = p[1] & 0x7f;
    if (length == 126) {
        if (in.size() < 4)
            return std::nullopt;
        length = qFromBigEndian<quint16>(p + 2);
        header = 4;
    } else if (length == 127) {
        if (in.size() < 10)
            return std::nullopt;
        length = qFromBigEndian<quint64>(p + 2);
        header = 10;
    }
    if (quint64(in.size() - header) < length)
        return std::nullopt;
    ServerFrame f{p[0] & 0x0f, bool(p[0] & 0x80), in.mid(header, qsizetype(length))};
    in.remove(0, header + qsizetype(length));
    return f;
}
