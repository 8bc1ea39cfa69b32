#pragma once

#include "rendezvous/DeviceInfo.h"
#include "rendezvous/IceConfig.h"
#include "util/Result.h"

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

// Client of the rendezvous server's REST interface. The base URL and the administrator
// token are read from AppConfig::shared() at every call. A failure is an Error: NotFound
// for an unknown device, Unreachable when no answer came, Http for another status,
// BadAnswer for a body that does not decode.
//
// Each operation may be called from any thread; the request itself runs on the main
// thread's event loop without blocking it. `done` runs on the main thread, and not at all
// when `context` has been destroyed by then.
class Api {
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

    // GET /api/v1/devices/{id}: the device when the status is 200 and the body decodes.
    static void deviceInfo(const QString &id, QObject *context, std::function<void(Result<DeviceInfo>)> done);
    // GET /api/v1/devices/{id}/thumb: the image bytes when the status is 200 and the body is not empty.
    static void deviceThumb(const QString &id, QObject *context, std::function<void(Result<QByteArray>)> done);
    // GET /api/v1/devices: every registered device (an empty list is a result).
    static void listDevices(QObject *context, std::function<void(Result<QList<DeviceInfo>>)> done);
    // DELETE /api/v1/devices/{id}: done exactly for status 200.
    static void deleteDevice(const QString &id, QObject *context, std::function<void(Result<std::monostate>)> done);
    // POST /api/v1/turn-credentials: the decoded body whatever the status.
    static void turnCredentials(QObject *context, std::function<void(Result<IceConfig>)> done);

    // The request an operation sends (exposed for tests): URL rule and bearer token.
    static QNetworkRequest makeRequest(const QString &path, int timeoutMs);
    static QUrl makeUrl(const QString &server, const QString &path);
    // The token without leading and trailing spaces and tabs (line breaks are kept).
    static QString trimToken(const QString &token);

    // The access manager on the main thread used by every call.
    static QNetworkAccessManager *network();
};
