#include "support/WsFrames.h"

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
