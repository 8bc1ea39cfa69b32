#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class AppConfig;
class QWebSocket;
class ServerTrust;
struct SignalingFrame;

// The application's one WebSocket to the rendezvous server's "/ws/viewer" endpoint.
// It opens on demand, waits for the server's "hello", routes every message carrying a
// `sid` to the handler registered under it, and sends what sessions hand it. No
// heartbeat, no automatic reconnection: whoever needs the socket calls connect().
//
// Everything runs on the thread the object lives on (the main thread in the application):
// the socket, the waiters, the 10-second checks, handler calls. That serialises all
// access to the socket and the waiters. send() may be called from any thread.
class Signaling : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString myId READ myId NOTIFY myIdChanged)
    Q_PROPERTY(bool online READ online NOTIFY onlineChanged)
public:
    enum class ConnectError { None, BadUrl, TimedOut, ConnectionLost };
    using Handler = std::function<void(const QJsonObject &message)>;

    static constexpr int greetingTimeoutMs = 10000;
    // Larger incoming messages close the socket (the server never sends anything near it).
    static constexpr qint64 maxIncomingBytes = 1024 * 1024;

    // The socket goes to the server configured in `config` when it opens; TLS outcomes are
    // reported to `trust` (may be null). Both must outlive this object.
    explicit Signaling(AppConfig *config, ServerTrust *trust = nullptr, QObject *parent = nullptr);
    ~Signaling() override;

    // The id the greeting gave; null when absent (no greeting yet, or one without "id").
    QString myId() const { return m_myId.value_or(QString()); }
    bool hasMyId() const { return m_myId.has_value(); }
    bool online() const { return m_online; }
    // Whether a socket is open or opening.
    bool hasSocket() const { return m_task != nullptr; }

    // Ensures a greeted socket; done(true) once greeted, done(false) on failure.
    void connect(QObject *context, std::function<void(bool ok)> done);
    // The same, with the reason of a failure.
    void connectWithError(QObject *context, std::function<void(ConnectError error)> done);
    // The user-facing description of a connect failure (what follows "接続できません: ").
    static QString errorDescription(ConnectError error);

    // Serialises the object and sends it as one text frame; dropped without a socket.
    void send(const QJsonObject &message);

    // The handler is called on this object's thread for every message whose "sid" is
    // `sid`, as long as `context` lives. A second registration replaces the first.
    // Both may be called from any thread (queued to this object's thread, in order with send()).
    void setHandler(const QString &sid, QObject *context, Handler handler);
    void removeHandler(const QString &sid);
    bool hasHandler(const QString &sid) const { return m_handlers.contains(sid); }

    // "http://" → "ws://", "https://" → "wss://" (plain substring replacement), then "/ws/viewer".
    static QString socketUrlString(const QString &server);

Q_SIGNALS:
    void myIdChanged();
    void onlineChanged();

private:
    struct Waiter {
        QPointer<QObject> context;
        std::function<void(ConnectError)> done;
    };
    struct Route {
        QPointer<QObject> context;
        Handler handler;
    };

    void openSocket(const QUrl &url);
    void onText(QWebSocket *socket, const QString &text);
    void handle(const SignalingFrame &frame);
    void greetingCheck();
    void reset();
    void finishWaiters(ConnectError error);
    void setOnline(bool online);
    void setMyId(std::optional<QString> id);

    AppConfig *m_config;
    QPointer<ServerTrust> m_trust;
    std::optional<QString> m_myId;
    bool m_online = false;
    QWebSocket *m_task = nullptr; // owned (child); replaced and cleared by openSocket()/reset()
    QHash<QString, Route> m_handlers;
    QList<Waiter> m_waiters;
};
