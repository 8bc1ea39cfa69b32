#include "support/ShownCodes.h"

#include "media/VideoFrameTap.h"
#include "session/RemoteSession.h"
#include "support/FrameCode.h"

#include <QImage>

#include <chrono>

qint64 ShownCodes::nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ShownCodes::follow(RemoteSession &s, QSize screen, std::function<void(quint16, qint64)> seen) {
    auto look = [screen, seen](const QImage &picture) {
        if (picture.isNull())
            return;
        const qint64 at = nowUs();
        const QImage img =
            picture.format() == QImage::Format_RGB32 ? picture : picture.convertToFormat(QImage::Format_RGB32);
        if (const auto n = FrameCode::read(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), screen))
            seen(*n, at);
    };
    QObject::connect(&s, &RemoteSession::videoFrameAvailable, &s, [&s, look] { look(s.tap()->latestImage()); });
    QObject::connect(&s, &RemoteSession::imageChanged, &s, [&s, look] { look(s.image()); });
    // The tap tells of a new frame only once the previous one was fetched: one that came
    // before anyone looked would leave it silent.
    look(s.tap()->latestImage());
}
