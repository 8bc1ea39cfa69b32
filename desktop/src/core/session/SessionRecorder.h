#pragma once

#include "protocol/Result.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <variant>

class RemoteSession;
class StreamRecorder;

// Records what a session shows into a Matroska file: in "h264" mode the
// received stream as it came (no re-encoding), in "jpeg" mode the decoded
// pictures, encoded. Stopping, or the session leaving the connected state,
// finishes the file (end of stream through the muxer); a recording that fails
// leaves no file and says why in finished().
//
// Main thread. The file is finished even when this object goes away first.
class SessionRecorder : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)

public:
    explicit SessionRecorder(RemoteSession *session, QObject *parent = nullptr);
    ~SessionRecorder() override;

    // "velmo-remote-<targetId>-yyyyMMdd-HHmmss.mkv", the screenshots' pattern.
    static QString proposedFileName(const QString &targetId, const QDateTime &localTime);

    bool recording() const { return m_recorder != nullptr; }
    QString path() const { return m_path; }

    // Starts recording into path; an error (not connected, nothing to record,
    // missing plug-ins, a folder that cannot be written) leaves it stopped.
    Result<std::monostate> start(const QString &path);
    // Finishes the file; finished() follows once it is written.
    void stop();

Q_SIGNALS:
    void recordingChanged();
    // The outcome of a recording: error is empty when the file at path plays; note
    // says why a recording nobody stopped ended by itself (empty otherwise).
    void finished(const QString &path, const QString &error, const QString &note);

private:
    void onStateChanged();
    void onEnded(const StreamRecorder *recorder, const QString &path, const QString &error, const QString &note);
    void detachFeeds();

    QPointer<RemoteSession> m_session;
    std::shared_ptr<StreamRecorder> m_recorder;
    QString m_path;
    QMetaObject::Connection m_frames;
};
