#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <gst/webrtc/webrtc.h>

// The data channels a viewer opened ("ctrl", "video", "input", "file"), by label, and
// sending on them. Each message stays within the 64 KiB both ends accept. Main thread.
class SessionChannels {
public:
    static constexpr int maxMessage = 64 * 1024;

    explicit SessionChannels(gpointer handlerData) : m_handlerData(handlerData) {}
    ~SessionChannels() { clear(); }
    SessionChannels(const SessionChannels &) = delete;
    SessionChannels &operator=(const SessionChannels &) = delete;

    // Keeps a reference; false when a channel of that label is already open.
    bool add(const QString &label, GstWebRTCDataChannel *channel);
    bool has(const QString &label) const { return m_channels.contains(label); }
    bool sendText(const char *label, const QByteArray &text);
    bool sendBinary(const char *label, const QByteArray &bytes);
    // Bytes waiting to go out on a channel.
    quint64 buffered(const char *label) const;
    // Starts closing every channel (the viewer sees them close).
    void closeAll();
    // Closes one channel from this side and forgets it.
    void close(const char *label);
    // Drops the channels and disconnects the handlers that carry `handlerData`.
    void clear();

private:
    gpointer m_handlerData;
    QHash<QString, GstWebRTCDataChannel *> m_channels; // one reference each
};
