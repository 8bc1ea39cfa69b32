#pragma once

#include "audio/VirtualMicrophone.h"

#include <QObject>
#include <QString>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

// The viewer's microphone on this desktop. What the viewer sends on its audio track is
// decoded in the session's pipeline; while the viewer has the `mic` right it is played into
// a VirtualMicrophone of the session's own, made when the first voice arrives (or when the
// right comes, if voice came before) and removed when the right goes or the session ends.
// The playing has a small pipeline of its own, so that a slow or vanished sound server
// never holds the session's. Main thread, except where a comment says otherwise.
class ViewerMicrophone : public QObject {
    Q_OBJECT
public:
    ViewerMicrophone(GstElement *pipeline, std::shared_ptr<const VirtualMicrophone> devices, const QString &id,
                     QObject *parent = nullptr);
    ~ViewerMicrophone() override;

    // webrtcbin's streaming thread (pad-added): decodes the viewer's Opus arriving on `pad`.
    bool link(GstPad *pad);
    // The host's `mic` right for this viewer; withdrawn, the playing stops at once.
    void setAllowed(bool on);
    // The viewer is admitted: its voice may be played.
    void setFlowing(bool on);
    // The session ends: nothing more is played and the device goes.
    void stop();

    // The source programs record while it exists ("" otherwise), and why there is none.
    QString source() const { return m_device ? m_device->source : QString(); }
    QString error() const { return m_error; }

Q_SIGNALS:
    void deviceChanged();

private:
    // The decoded branch's streaming thread.
    static GstFlowReturn onSample(GstAppSink *sink, gpointer self);
    bool wanted() const { return m_allowed && m_flowing && m_voice && !m_stopped; }
    void voiceArrived();
    void update();
    void reconcile(bool want);
    void created(const Result<VirtualMicrophone::Device> &device);
    void startPlayback(const QString &sink);
    void stopPlayback();
    void report(const QString &error);

    GstElement *m_pipeline = nullptr; // not owned
    std::shared_ptr<const VirtualMicrophone> m_devices;
    QString m_id;
    bool m_allowed = false;
    bool m_flowing = false;
    bool m_stopped = false;
    bool m_voice = false;
    std::atomic<bool> m_linked{false};
    // The device as the workers see it: made and removed one job at a time, each job
    // bringing it to what is wanted when it runs (so jobs may run in any order).
    struct Shared {
        std::mutex mutex;
        std::atomic<bool> want{false};
        bool exists = false;
    };
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
    bool m_wantSent = false;
    std::optional<VirtualMicrophone::Device> m_device;
    QString m_error;
    GstElement *m_playback = nullptr; // owned
    std::mutex m_pushLock;            // guards m_appsrc against the streaming thread
    GstElement *m_appsrc = nullptr;   // owned by m_playback
};
