#pragma once

#include "webrtc/AudioSource.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <gst/gst.h>

#include <memory>

// The Opus track of one session (the agent's sound to the viewer, or the viewer's
// microphone to the agent): a source element (the head) feeding a fixed tail
// valve → audioconvert → audioresample → opusenc → rtpopuspay into webrtcbin. The head
// is silence until the viewer is admitted and audio is on; then the AudioSource is
// opened on a worker thread and swapped in. A source that cannot be opened, or fails
// later, is replaced by silence and the reason is published (captureChanged), so the
// session never stalls on the sound server. Main thread only.
class AudioTrack : public QObject {
    Q_OBJECT
public:
    AudioTrack(GstElement *pipeline, std::shared_ptr<const AudioSource> source, QObject *parent = nullptr);
    ~AudioTrack() override;

    // Builds the track towards `webrtc` with the viewer's payload type. The track takes
    // sound from the other side too (the viewer's microphone, when it offers it). An
    // offering side gives its `offerCaps` (the codec preferences of its offer).
    bool addTo(GstElement *webrtc, int pt, const QByteArray &offerCaps = {});
    // Sound passes (and the source is open) only while flowing and on.
    void setFlowing(bool on);
    // The session ends: nothing more passes and no source is opened or swapped; the heads
    // stop with the pipeline (sinks first), never one by one against a transport going away.
    void stop();
    void setOn(bool on);
    bool on() const { return m_on; }
    // "system" or "mic"; a change while capturing reopens the source at once.
    void setKind(const QString &kind);
    QString kind() const { return m_kind; }

    // A bus error posted by one of this track's heads: handled here (the current head
    // falls back to silence). False for every other message.
    bool takeError(GstMessage *msg);

    // What is being captured ("" while silent) and why not (Japanese, "" when fine).
    QString device() const { return m_device; }
    QString error() const { return m_error; }

Q_SIGNALS:
    void captureChanged();

private:
    static GstPadProbeReturn dropEos(GstPad *pad, GstPadProbeInfo *info, gpointer);
    bool active() const { return m_flowing && m_on && m_tail && !m_stopped; }
    void update();
    void open();
    void opened(quint64 generation, GstElement *element, const QString &device, const QString &error);
    void useHead(GstElement *element);
    void useSilence();
    void report(const QString &device, const QString &error);

    GstElement *m_pipeline = nullptr; // not owned
    GstElement *m_tail = nullptr;     // owned by the pipeline
    GstElement *m_gate = nullptr;     // owned by the pipeline
    GstElement *m_head = nullptr;     // owned by the pipeline
    bool m_headIsSource = false;      // the head came from the AudioSource (not silence)
    std::shared_ptr<const AudioSource> m_source;
    QString m_kind = QStringLiteral("system");
    QString m_openKind;
    bool m_flowing = false;
    bool m_stopped = false;
    bool m_on = true;
    quint64 m_generation = 0;
    bool m_opening = false;
    QTimer m_openTimeout;
    QString m_device;
    QString m_error;
};
