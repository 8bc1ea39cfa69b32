#pragma once

#include "network/CongestionController.h"
#include "network/ScaleStepper.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <gst/gst.h>

#include <atomic>

// One viewer's H.264 send rate. webrtcbin's RTP session turns the viewer's
// transport-wide feedback into an upstream "RTPTWCCPackets" event on the video branch;
// a probe on that branch hands it to a CongestionController, whose target is published
// every 200 ms (targetChanged) for the encoder, between a floor and the viewer's kbps.
// Round-trip time and the receiver's loss come from the RTP session's receiver reports.
// When the target cannot give even the lowest frame rate a readable picture, a
// ScaleStepper makes the picture smaller in steps (scaleChanged), and larger again later.
// Main thread; the probe runs on the thread that receives the viewer's RTCP.
class LinkRate : public QObject {
    Q_OBJECT
public:
    static constexpr int floorKbps = 150;
    static constexpr int tickMs = 200;
    static constexpr const char *twccUri = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";

    // The RTP caps of an H.264 track with payload type `pt`, with the transport-wide
    // sequence number in header extension `twccExt` when it is not 0 (the payloader then
    // writes it and webrtcbin's RTP session asks the viewer for feedback on it).
    static QByteArray h264Caps(int pt, int twccExt);

    explicit LinkRate(int ceilingKbps, QObject *parent = nullptr);
    ~LinkRate() override;

    // Watches `rtpSrc` (the branch's pad linked into webrtcbin) for feedback and reads
    // `webrtc`'s RTP session for the round-trip time. The pipeline must stop before this
    // object goes.
    void attach(GstPad *rtpSrc, GstElement *webrtc);
    void setCeiling(int kbps);
    // The pixels of the picture at the viewer's own scale, for the scale steps.
    void setPicture(int pixels) { m_pixels = pixels; }
    // Times the viewer's scale: below 1 while the link is too slow for the picture.
    double scaleFactor() const { return m_stepper.factor(); }
    void start();
    void stop();

    int targetKbps() const { return m_cc.targetKbps(); }
    // For the statistics: est (kbit/s the path confirmed), target, loss (%), rtt (ms, -1
    // before the first receiver report), limit ("回線" while the path holds the rate down),
    // scale (the factor the link's steps apply to the viewer's scale, while below 1).
    QJsonObject stats() const;
    // True once the viewer's feedback has arrived (the viewer offers it and it flows).
    bool hasFeedback() const { return m_reports > 0; }
    const CongestionController &controller() const { return m_cc; }

Q_SIGNALS:
    void targetChanged(int kbps);
    // The picture's size should change: `factor` times the viewer's scale.
    void scaleChanged(double factor);

private:
    static GstPadProbeReturn onUpstream(GstPad *pad, GstPadProbeInfo *info, gpointer self);
    void tick();
    void readRtt();

    CongestionController m_cc;
    ScaleStepper m_stepper;
    int m_pixels = 0;
    QTimer m_timer;
    GstElement *m_webrtc = nullptr; // a reference
    GstPad *m_pad = nullptr;        // a reference
    gulong m_probe = 0;
    int m_published = 0;
    int m_rttMs = -1;
    int m_ticks = 0;
    qint64 m_reports = 0;
};
