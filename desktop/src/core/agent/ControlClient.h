#pragma once

#include "agent/ControlError.h"
#include "protocol/Result.h"
#include "protocol/agent/ControlStatus.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class QNetworkReply;
class QNetworkAccessManager;

// One open "events" stream. Deleting it (or its context) cancels the stream
// without calling `done`.
class ControlEventStream : public QObject {
    Q_OBJECT
public:
    // Longest accepted event line; longer lines are skipped up to their end, so a
    // flooding agent costs bounded memory.
    static constexpr qsizetype maxLineBytes = 16 * 1024 * 1024;

    using StatusHandler = std::function<void(const ControlStatus &)>;
    // nullopt: the server ended the stream; otherwise why it failed.
    using DoneHandler = std::function<void(std::optional<Error>)>;

    // A null reply gives a parser fed through feed() only.
    ControlEventStream(QNetworkReply *reply, StatusHandler onStatus, DoneHandler done, QObject *parent);
    ~ControlEventStream() override;

    // Splits bytes into lines and hands every "data: " record that decodes to
    // the handler. Public so the parser can be fed directly.
    void feed(const QByteArray &bytes);

private:
    void onReadyRead();
    void onFinished();
    bool checkStatus();
    void finish(std::optional<Error> error);

    QPointer<QNetworkReply> m_reply;
    StatusHandler m_onStatus;
    DoneHandler m_done;
    QByteArray m_line;
    bool m_skipping = false; // inside an over-long line
    bool m_statusChecked = false;
    bool m_finished = false;
};

// A client of one running agent's control API on 127.0.0.1: a cheap value
// { port, token }. All operations run on the calling (main) thread's event
// loop; `done` runs there and not at all when `context` is gone.
class ControlClient {
public:
    static constexpr int requestTimeoutMs = 10'000;
    static constexpr int eventsTimeoutMs = 120'000;

    ControlClient() = default;
    ControlClient(qint64 port, const QString &token) : m_port(port), m_token(token) {}

    qint64 port() const { return m_port; }
    QString token() const { return m_token; }
    // "http://127.0.0.1:<port>/" + path with leading slashes removed.
    QUrl url(const QString &path) const;

    bool operator==(const ControlClient &) const = default;

    // GET "status".
    void status(QObject *context, std::function<void(Result<ControlStatus>)> done) const;
    // POST path with a JSON object body ({} when empty); the result is the
    // success body.
    void post(const QString &path, const QJsonObject &body, QObject *context,
              std::function<void(Result<QByteArray>)> done) const;
    // POST "/screen-permission" {}: the answer's "granted" when a boolean, else false.
    void requestScreenPermission(QObject *context, std::function<void(Result<bool>)> done) const;
    // POST "/input-permission" {}: the same.
    void requestInputPermission(QObject *context, std::function<void(Result<bool>)> done) const;
    // GET "events" as server-sent events: each "data: " line that decodes is
    // handed to onStatus as it arrives. The stream is parented to `context`.
    ControlEventStream *events(QObject *context, ControlEventStream::StatusHandler onStatus,
                               ControlEventStream::DoneHandler done) const;

    // Turns a finished reply into a body or an error (the rules of every request).
    static Result<QByteArray> resultOf(QNetworkReply *reply);
    // The shared network access manager of the calling thread (no proxy).
    static QNetworkAccessManager *network();

private:
    void permission(const QString &path, QObject *context, std::function<void(Result<bool>)> done) const;

    qint64 m_port = 0;
    QString m_token;
};
