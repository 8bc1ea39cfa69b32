#include "device/HookTraffic.h"

#include "device/SessionChannels.h"

#include "protocol/FileChunkHeader.h"
#include "protocol/JpegChunkHeader.h"

#include <QByteArray>

void HookTraffic::badChunks(SessionChannels &channels, quint32 &seq) {
    if (seq % 10 != 0)
        return;
    auto header = [](quint8 kind, quint32 s, quint16 index, quint16 count) {
        QByteArray m = JpegChunkHeader{s, index, count, 16, 16, 0}.encode();
        m[0] = char(kind);
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
        return FileChunkHeader{id, offset}.encode(data);
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
