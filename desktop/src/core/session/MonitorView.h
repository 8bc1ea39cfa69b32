#pragma once

#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QSizeF>
#include <QString>

#include <functional>

// One display of the host shown in a window of its own, beside the session's main
// picture: its JPEG pictures (a stream of their own inside the session, "window" on ctrl),
// its own scale, and input that lands on that display. Made and ended by its
// RemoteSession (openMonitorView / closeMonitorView), which it outlives at most until the
// session goes. Main thread.
class MonitorView : public QObject {
    Q_OBJECT
    Q_PROPERTY(QImage image READ image NOTIFY imageChanged)
    Q_PROPERTY(QSizeF frameSize READ frameSize NOTIFY frameSizeChanged)
    Q_PROPERTY(bool ended READ ended NOTIFY endedChanged)

public:
    // The scales a window offers (of the display's own size).
    static constexpr double scales[] = {1.0, 0.75, 0.5, 0.35};

    struct Link {
        // Sends the window's "window" request again (its scale changed).
        std::function<void()> reopen;
        // Sends one input message on "input" (only while the session is connected).
        std::function<void(const QJsonObject &)> sendInput;
    };

    MonitorView(int win, int monitorId, double scale, Link link, QObject *parent = nullptr);

    int win() const { return m_win; }
    int monitorId() const { return m_monitorId; }
    double scale() const { return m_scale; }
    void setScale(double scale);
    QImage image() const { return m_image; }
    QSizeF frameSize() const { return m_frameSize; }
    quint64 frames() const { return m_frames; }
    // The host ended the window (its display went away): endText() says why to the user.
    bool ended() const { return m_ended; }
    QString endText() const { return m_endText; }

    // Input in the window's frame pixels; "win" is added.
    void sendInput(const QJsonObject &message);

    // ---- for the session ----
    void showFrame(const QImage &image, QSize size);
    // The first reason counts; later ones change nothing.
    void end(const QString &text);

Q_SIGNALS:
    void imageChanged();
    void frameSizeChanged();
    void endedChanged();
    void scaleChanged();

private:
    int m_win;
    int m_monitorId;
    double m_scale;
    Link m_link;
    QImage m_image;
    QSizeF m_frameSize;
    quint64 m_frames = 0;
    bool m_ended = false;
    QString m_endText;
};
