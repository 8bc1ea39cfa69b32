#pragma once

#include "protocol/Result.h"

#include <QImage>
#include <QString>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// Writes one video recording into a Matroska file, in a pipeline of its own:
//   H264:   appsrc ! h264parse ! matroskamux ! filesink   (the received stream, not re-encoded)
//   Frames: appsrc ! videoconvert ! videoscale ! <H.264 encoder> ! h264parse ! matroskamux ! filesink
// The file is written as "<path>.part" and renamed to path only once the muxer
// has seen the end of the stream, so a recording that fails leaves no file.
//
// push*() may be called from any one thread at a time; finish() and the
// destructor from the owner's thread. The ended callback runs on a worker thread
// of the global QThreadPool after the pipeline has stopped; it must hand over to
// its owner with a queued call.
class StreamRecorder : public std::enable_shared_from_this<StreamRecorder> {
public:
    enum class Input { H264, Frames };
    // error is empty when the file was written and renamed into place; note says why
    // a recording that nobody stopped ended by itself (empty when it was stopped).
    using Ended = std::function<void(const QString &path, const QString &error, const QString &note)>;

    // Bytes allowed to wait for the muxer or encoder before the recording gives up (H.264)
    // or frames are skipped (frames).
    static constexpr quint64 maxQueuedBytes = 64ull * 1024 * 1024;

    // The running recorder, or an Unavailable error saying why it cannot record
    // (missing GStreamer elements, a file that cannot be created).
    static Result<std::shared_ptr<StreamRecorder>> start(const QString &path, Input input, Ended ended);
    // The H.264 encoder the frames mode uses ("x264enc", else another installed one); empty when none.
    static QString frameEncoder();
    ~StreamRecorder();

    StreamRecorder(const StreamRecorder &) = delete;
    StreamRecorder &operator=(const StreamRecorder &) = delete;

    // H264 input: one access unit (with the caps it came with). Units before the
    // first key frame are skipped, so the file starts with a picture. A stream whose
    // caps change (the host's encoder started anew, e.g. with another picture size)
    // cannot go on in the same Matroska track: the file is finished there.
    void pushEncoded(GstSample *sample);
    // Frames input: one picture, stamped with the time it arrived. Pictures of
    // another size are scaled into the first one's size.
    void pushFrame(const QImage &frame);
    // Ends the recording: end of stream through the muxer, then the rename. A
    // recording that got no picture at all is removed and reported as an error.
    // Returns at once; the ended callback reports the outcome (once).
    void finish();

    QString path() const { return m_path; }
    Input input() const { return m_input; }
    // Pictures handed to the pipeline so far.
    quint64 frames() const { return m_frames.load(); }

private:
    StreamRecorder() = default;
    bool build(QString *error);
    void fail(const QString &error);
    void end(const QString &error);
    void stopAndReport(const QString &error);
    void finishLocked(const QString &note);

    // Any streaming thread of the recorder's pipeline.
    static GstBusSyncReply onBusMessage(GstBus *, GstMessage *msg, gpointer self);

    QString m_path;
    QString m_partPath;
    Input m_input = Input::H264;
    Ended m_ended;
    GstElement *m_pipeline = nullptr;
    GstElement *m_src = nullptr;
    std::mutex m_pushLock; // one pusher at a time; guards the fields below
    bool m_sawKeyFrame = false;
    GstClockTime m_base = GST_CLOCK_TIME_NONE;
    GstCaps *m_caps = nullptr;
    QSize m_frameSize;
    qint64 m_startNs = 0;
    std::atomic<quint64> m_frames{0};
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_reported{false};
    QString m_note;                              // set before the end of stream is sent, read after it arrived
    std::mutex m_aliveLock;                      // guards m_keepAlive
    std::shared_ptr<StreamRecorder> m_keepAlive; // from finish() until the outcome is reported
};
