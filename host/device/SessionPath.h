#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <gst/gst.h>

#include <atomic>

// Where a viewer's packets come from: the address and relay use of the candidate pair
// in use, and a watchdog that notices a viewer gone silent. Main thread; the inbound
// probe runs on the ICE receive thread.
class SessionPath : public QObject {
    Q_OBJECT
public:
    // An authenticated viewer acknowledges the cursor messages sent ten times a second;
    // this long without a single packet from it means it is gone.
    static constexpr gint64 silenceLimitUs = 6 * G_USEC_PER_SEC;

    explicit SessionPath(QObject *parent = nullptr);

    // Reads the selected candidate pair of `webrtc`'s bundle transport; pathChanged when it moved.
    void update(GstElement *webrtc);
    // Starts watching the viewer's packets on every ICE source of `webrtc`.
    void watch(GstElement *webrtc);
    void stop() { m_watchdog.stop(); }

    bool relay() const { return m_relay; }
    // The viewer's address as the pair gives it, with the zone of a link-local IPv6
    // address added from the interface that holds `local`.
    static QString usableAddress(const QString &remote, const QString &local);
    QString remoteIp() const { return m_remoteIp; }

Q_SIGNALS:
    void pathChanged();
    void silent();

private:
    static GstPadProbeReturn inboundProbe(GstPad *pad, GstPadProbeInfo *info, gpointer lastInbound);

    bool m_relay = false;
    QString m_remoteIp;
    QTimer m_watchdog;
    // Monotonic microseconds of the last packet from the viewer; written on the ICE thread.
    std::atomic<gint64> m_lastInbound{0};
};
