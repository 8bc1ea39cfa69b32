#pragma once

#include "protocol/DeviceInfo.h"
#include "protocol/Result.h"
#include "rendezvous/IceConfig.h"

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class AppConfig;
class QNetworkAccessManager;
class ServerTrust;

// Client of the rendezvous server's REST interface. The base URL and the administrator
// token are read from the AppConfig at every call; TLS outcomes go to the ServerTrust. A failure is an Error: NotFound
// for an unknown device, Unreachable when no answer came, Http for another status,
// BadAnswer for a body that does not decode.
//
// The object lives on the main thread. Each operation may be called from any thread; the
// request itself runs on the main thread's event loop without blocking it. `done` runs on
// the main thread, and not at all when `context` has been destroyed by then.
class Api : public QObject {
    Q_OBJECT
public:
    static constexpr int deviceInfoTimeoutMs = 8000;
    static constexpr int deviceThumbTimeoutMs = 8000;
    static constexpr int listDevicesTimeoutMs = 10000;
    static constexpr int deleteDeviceTimeoutMs = 10000;
    static constexpr int turnCredentialsTimeoutMs = 8000;
    // Used when the configured server and the path do not form a usable URL: the
    // request then fails in name resolution.
    static constexpr const char *placeholderBase = "http://velmo-server.invalid";
    // Bodies larger than this are not read to the end: the call fails.
    static constexpr qint64 maxJsonBytes = 4 * 1024 * 1024;
    static constexpr qint64 maxThumbBytes = 8 * 1024 * 1024;

    // Both are kept as non-owning pointers and must outlive this object; trust may be null.
    Api(AppConfig *config, ServerTrust *trust, QObject *parent = nullptr);

    // GET /api/v1/devices/{id}: the device when the status is 200 and the body decodes.
    void deviceInfo(const QString &id, QObject *context, std::function<void(Result<DeviceInfo>)> done) const;
    // GET /api/v1/devices/{id}/thumb: the image bytes when the status is 200 and the body is not empty.
    void deviceThumb(const QString &id, QObject *context, std::function<void(Result<QByteArray>)> done) const;
    // GET /api/v1/devices: every registered device (an empty list is a result).
    void listDevices(QObject *context, std::function<void(Result<QList<DeviceInfo>>)> done) const;
    // DELETE /api/v1/devices/{id}: done exactly for status 200.
    void deleteDevice(const QString &id, QObject *context, std::function<void(Result<std::monostate>)> done) const;
    // POST /api/v1/turn-credentials: the decoded body whatever the status.
    void turnCredentials(QObject *context, std::function<void(Result<IceConfig>)> done) const;

    // The request an operation sends (exposed for tests): URL rule and bearer token.
    QNetworkRequest makeRequest(const QString &path, int timeoutMs) const;
    static QUrl makeUrl(const QString &server, const QString &path);
    // The token without leading and trailing spaces and tabs (line breaks are kept).
    static QString trimToken(const QString &token);

    // The access manager on the main thread used by every call.
    QNetworkAccessManager *network() const { return m_network; }

    // What came back from one request, before an operation applies its own rules.
    struct Outcome;

private:
    void perform(const QByteArray &verb, const QString &path, int timeoutMs, qint64 maxBytes, QObject *context,
                 std::function<void(Outcome)> done) const;

    AppConfig *m_config;
    QNetworkAccessManager *m_network;
};
