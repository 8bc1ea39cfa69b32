#include "device/HookTraffic.h"

#include "device/SessionChannels.h"

#include <QByteArray>
#include <QtEndian>

namespace {
constexpr int kChunkHeader = 14;
}

void HookTraffic::badChunks(SessionChannels &channels, quint32 &seq) {
    if (seq % 10 != 0)
        return;
    auto header = [](quint8 kind, quint32 s, quint16 index, quint16 count) {
        QByteArray m(kChunkHeader, '\0');
        auto *p = reinterpret_cast<uchar *>(m.data());
        p[0] = kind;
        qToBigEndian<quint32>(s, p + 1);
        qToBigEndian<quint16>(index, p + 5);
        qToBigEndian<quint16>(count, p + 7);
        qToBigEndian<quint16>(16, p + 9);
        qToBigEndian<quint16>(16, p + 11);
        return m;
    };
    channels.sendBinary("video", QByteArray(13, '\1'));
    channels.sendBinary("video", header(7, seq + 1, 0, 1) + "junk");
    channels.sendBinary("video", header(1, ++seq, 0, 0) + "zero");
    channels.sendBinary("video", header(1, ++seq, 5, 2) + "index");
    channels.sendBinary("video", header(1, ++seq, 0, 3) + "incomplete");
    channels.sendText("video", "{\"not\":\"binary\"}");
}

void HookTraffic::files(SessionChannels &channels) {
    auto chunk = [](quint32 id, quint32 offset, const QByteArray &data) {
        QByteArray m(9, '\0');
        auto *p = reinterpret_cast<uchar *>(m.data());
        p[0] = 2;
        qToBigEndian<quint32>(id, p + 1);
        qToBigEndian<quint32>(offset, p + 5);
        return m + data;
    };
    channels.sendText("file", R"({"t":"file_start","id":1,"name":"one.txt","size":10})");
    channels.sendText("file", R"({"t":"file_start","id":2,"name":"two.txt","size":6})");
    channels.sendBinary("file", chunk(1, 0, "hello"));
    channels.sendBinary("file", chunk(2, 0, "abc"));
    channels.sendBinary("file", chunk(1, 5, "world"));
    channels.sendBinary("file", QByteArray(8, '\2'));
    channels.sendBinary("file", chunk(2, 3, "def"));
    channels.sendBinary("file", chunk(2, 6, {}));
    QByteArray foreign = chunk(1, 0, "video kind");
    foreign[0] = 1;
    channels.sendBinary("file", foreign);
    channels.sendText("file", "[1,2,3]");
    channels.sendText("file", "not json");
    channels.sendText("file", R"({"t":"file_end","id":1})");
    channels.sendText("file", R"({"t":"file_end","id":2})");
}
