#include "session/SessionRecorder.h"

#include "media/StreamRecorder.h"
#include "session/RemoteSession.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>

Q_LOGGING_CATEGORY(lcSessionRecorder, "velmo.session.recorder")

SessionRecorder::SessionRecorder(RemoteSession *session, QObject *parent) : QObject(parent), m_session(session) {
    if (!m_session)
        return;
    connect(m_session, &RemoteSession::stateChanged, this, &SessionRecorder::onStateChanged);
    // The host's user is told whenever this starts or stops recording.
    connect(this, &SessionRecorder::recordingChanged, m_session, [this] {
        if (m_session)
            m_session->setRecording(recording());
    });
}

SessionRecorder::~SessionRecorder() {
    // The file is finished without telling anyone: the window that listens is going away.
    if (m_recorder) {
        detachFeeds();
        std::exchange(m_recorder, nullptr)->finish();
        if (m_session)
            m_session->setRecording(false);
    }
}

QString SessionRecorder::proposedFileName(const QString &targetId, const QDateTime &localTime) {
    return QStringLiteral("velmo-remote-") + targetId + "-" + localTime.toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".mkv");
}

Result<std::monostate> SessionRecorder::start(const QString &path) {
    using R = Result<std::monostate>;
    if (m_recorder)
        return R::failure(Error::make(Error::Kind::NotReady, QStringLiteral("すでに録画しています")));
    if (!m_session || m_session->state() != RemoteSession::State::Connected)
        return R::failure(Error::make(Error::Kind::NotReady, QStringLiteral("接続していないため録画できません")));
    const bool h264 = m_session->videoMode() == QLatin1String("h264");
    if (h264 && !m_session->videoTrack())
        return R::failure(Error::make(Error::Kind::NotReady, QStringLiteral("まだ映像がありません")));

    QPointer<SessionRecorder> self(this);
    auto owner = std::make_shared<const StreamRecorder *>(nullptr);
    // Worker thread of the recorder: the outcome comes back to the main thread.
    auto ended = [self, owner](const QString &file, const QString &error, const QString &note) {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return; // the application is ending; the file is done all the same
        QMetaObject::invokeMethod(
            app,
            [self, owner, file, error, note] {
                if (self)
                    self->onEnded(*owner, file, error, note);
            },
            Qt::QueuedConnection);
    };
    auto started = StreamRecorder::start(path, h264 ? StreamRecorder::Input::H264 : StreamRecorder::Input::Frames,
                                         std::move(ended));
    if (!started.ok())
        return R::failure(started.error);
    m_recorder = *started.value;
    *owner = m_recorder.get();
    m_path = path;
    if (h264) {
        std::weak_ptr<StreamRecorder> weak = m_recorder;
        // Streaming thread of the session's receive pipeline.
        m_session->setEncodedVideoSink([weak](GstSample *sample) {
            if (const auto r = weak.lock())
                r->pushEncoded(sample);
        });
        // The file starts at a key frame: ask for one rather than wait for the next.
        m_session->requestKeyFrame();
    } else {
        m_frames = connect(m_session, &RemoteSession::imageChanged, this, [this] {
            if (m_recorder && m_session)
                m_recorder->pushFrame(m_session->image());
        });
        if (!m_session->image().isNull())
            m_recorder->pushFrame(m_session->image());
    }
    Q_EMIT recordingChanged();
    return R::success({});
}

void SessionRecorder::stop() {
    if (!m_recorder)
        return;
    detachFeeds();
    std::exchange(m_recorder, nullptr)->finish();
    Q_EMIT recordingChanged();
}

void SessionRecorder::detachFeeds() {
    if (m_session)
        m_session->setEncodedVideoSink(nullptr);
    disconnect(m_frames);
}

void SessionRecorder::onEnded(const StreamRecorder *recorder, const QString &path, const QString &error,
                              const QString &note) {
    // A recording that ended by itself (a failure, a change of the stream) is over for the window too.
    if (recorder && recorder == m_recorder.get()) {
        detachFeeds();
        m_recorder.reset();
        Q_EMIT recordingChanged();
    }
    Q_EMIT finished(path, error, note);
}

void SessionRecorder::onStateChanged() {
    // A connection that ends (or drops) ends the file with it.
    if (m_session && m_session->state() != RemoteSession::State::Connected)
        stop();
}
