#include "device/DeviceService.h"

#include "clipboard/ClipboardBackend.h"
#include "device/DeviceLink.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QRegularExpression>
#include <QThreadPool>

#include <gst/gst.h>
#include <openssl/crypto.h>

#include <cmath>

#include <malloc.h>

Q_LOGGING_CATEGORY(lcService, "velmo.device.service")

DeviceService::DeviceService(const QString &server, const QString &dataDir, QObject *parent)
    : QObject(parent), m_dataDir(dataDir), m_link(new DeviceLink(server, dataDir, this)), m_server(server.trimmed()),
      m_nam(new QNetworkAccessManager(this)) {
    m_proofKeys =
        new ProofKeyStock([this] { return ProofKeys::accepted(m_passcodes ? m_passcodes() : DevicePasscodes{}); },
                          DeviceSession::Options().iterations, this);
    connect(m_link, &DeviceLink::deviceIdChanged, this, &DeviceService::deviceIdChanged);
    // After the pipelines have stopped (they go 200 ms after their session, their threads with them).
    m_trimTimer.setSingleShot(true);
    m_trimTimer.setInterval(2000);
    connect(&m_trimTimer, &QTimer::timeout, this, [this] {
        if (m_sessions.isEmpty())
            malloc_trim(0);
    });
    connect(m_link, &DeviceLink::registeredChanged, this, [this](bool on) {
        Q_EMIT registeredChanged(on);
        if (on) {
            sendThumbnail();
            fetchIceServers();
        }
    });
    connect(m_link, &DeviceLink::sessionMessage, this, &DeviceService::onSessionMessage);
    connect(m_link, &DeviceLink::problem, this, &DeviceService::problem);
    m_thumbTimer.setInterval(60 * 1000);
    connect(&m_thumbTimer, &QTimer::timeout, this, &DeviceService::sendThumbnail);
    // TURN credentials are time-limited: fetch them again well before they expire.
    m_iceTimer.setInterval(30 * 60 * 1000);
    connect(&m_iceTimer, &QTimer::timeout, this, &DeviceService::fetchIceServers);
}

DeviceService::~DeviceService() {
    hangUpAll();
}

void DeviceService::start() {
    warmUp();
    m_link->start();
    m_proofKeys->start();
    m_thumbTimer.start();
    m_iceTimer.start();
}

void DeviceService::passcodesMayHaveChanged() {
    m_proofKeys->codesMayHaveChanged();
}

void DeviceService::warmUp() {
    // The DTLS certificate (made once per process) and the plugins cost a few hundred
    // milliseconds the first time; pay that now rather than in the first viewer's set-up.
    QThreadPool::globalInstance()->start([] {
        for (const char *name : {"webrtcbin", "dtlsdec",      "dtlsenc",    "dtlssrtpenc",       "dtlssrtpdec",
                                 "nicesrc",   "nicesink",     "sctpenc",    "sctpdec",           "rtpbin",
                                 "rtpfunnel", "videotestsrc", "videoscale", "videoconvert",      "jpegenc",
                                 "appsink",   "valve",        "x264enc",    "rtph264pay",        "audiotestsrc",
                                 "opusenc",   "rtpopuspay",   "appsrc",     "videoconvertscale", "pulsesrc"}) {
            if (GstElement *e = gst_element_factory_make(name, nullptr)) {
                gst_object_ref_sink(e);
                gst_object_unref(e);
            }
        }
        // Making the DTLS certificate used OpenSSL on this pool thread: free its
        // per-thread state now, not when the thread ends during the process's exit.
        OPENSSL_thread_stop();
    });
}

void DeviceService::fetchIceServers() {
    QString base = m_server;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base + QStringLiteral("/api/v1/turn-credentials"));
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return;
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    req.setTransferTimeout(8000);
    QNetworkReply *reply = m_nam->post(req, QByteArray("{}"));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError)
            return;
        const QJsonObject o = QJsonDocument::fromJson(reply->read(64 * 1024)).object();
        QStringList urls;
        for (const QJsonValue &v : o.value(QLatin1String("urls")).toArray())
            if (v.isString())
                urls.append(v.toString());
        m_iceUrls = urls;
        m_iceUsername = o.value(QLatin1String("username")).toString();
        m_iceCredential = o.value(QLatin1String("credential")).toString();
    });
}

void DeviceService::setHostQuality(int fps, double scale, int kbps) {
    for (DeviceSession *s : std::as_const(m_sessions))
        s->setHostQuality(fps, scale, kbps);
}

QString DeviceService::deviceId() const {
    return m_link ? m_link->deviceId() : QString();
}
bool DeviceService::registered() const {
    return m_link && m_link->registered();
}

void DeviceService::setName(const QString &name) {
    m_name = name;
    m_link->setName(name);
    for (DeviceSession *s : std::as_const(m_sessions))
        s->setDeviceName(name);
}

void DeviceService::setAudioOn(bool on) {
    m_audioOn = on;
    for (DeviceSession *s : std::as_const(m_sessions))
        s->setAudioOn(on);
}

void DeviceService::setAudioKind(const QString &kind) {
    m_audioKind = kind;
    for (DeviceSession *s : std::as_const(m_sessions))
        s->setAudioKind(kind);
}

bool DeviceService::answerAsk(const QString &sid, bool ok) {
    DeviceSession *s = m_sessions.value(sid);
    if (!s || !s->asking())
        return false;
    s->answerAsk(ok);
    return true;
}

void DeviceService::refuse(const QString &sid, const QString &text) {
    m_link->send({{"type", "error"}, {"sid", sid}, {"error", text}});
}

void DeviceService::onSessionMessage(const QJsonObject &msg) {
    static const QRegularExpression sidRe(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    const QString sid = msg.value(QLatin1String("sid")).toString();
    if (!sidRe.match(sid).hasMatch())
        return;
    const QString type = msg.value(QLatin1String("type")).toString();
    DeviceSession *existing = m_sessions.value(sid);

    if (type == QLatin1String("connect")) {
        const QString sdp = msg.value(QLatin1String("payload")).toObject().value(QLatin1String("sdp")).toString();
        if (existing)
            return; // a repeated offer for a live session: the first one stands
        if (sdp.isEmpty() || sdp.size() > maxSdpBytes) {
            refuse(sid, QStringLiteral("不正なメッセージです"));
            return;
        }
        if (!m_sharing) {
            refuse(sid, QStringLiteral("接続を拒否しました"));
            return;
        }
        if (m_sessions.size() >= maxSessions) {
            // Half-open or refused connections must not keep a real viewer out: the
            // oldest session that has not proven the passcode makes room.
            DeviceSession *oldest = nullptr;
            for (DeviceSession *s : std::as_const(m_sessions))
                if (!s->authed() && (!oldest || s->startedAt() < oldest->startedAt()))
                    oldest = s;
            if (!oldest) {
                refuse(sid, QStringLiteral("接続数が上限に達しました"));
                return;
            }
            qCInfo(lcService) << "session limit: dropping unauthenticated" << oldest->sid();
            oldest->hangUp(true);
        }
        DeviceSession::Options opts;
        opts.deviceName = m_name;
        opts.audioOn = m_audioOn;
        opts.audioKind = m_audioKind;
        opts.audioSource = m_audioSource;
        opts.approvalRequired = m_approvalRequired;
        opts.askTimeoutMs = m_askTimeoutMs;
        opts.hooks = m_hooks;
        opts.iceAddresses = m_iceAddresses;
        opts.iceUrls = m_iceUrls;
        opts.iceUsername = m_iceUsername;
        opts.iceCredential = m_iceCredential;
        opts.dataDir = m_dataDir;
        opts.passcodes = m_passcodes;
        opts.inputAllowed = m_inputAllowed;
        // Without a clipboard to share the viewer is told it has no `clip`.
        opts.clipAllowed = [this](const QString &id) { return m_clipboard && m_clipAllowed && m_clipAllowed(id); };
        opts.filesAllowed = m_filesAllowed;
        opts.micAllowed = m_micAllowed;
        opts.microphones = m_microphones;
        opts.makeVideo = m_makeVideo;
        opts.injector = m_injector;
        opts.lockout = m_lockout;
        opts.proofKeys = m_proofKeys;
        auto *session = new DeviceSession(sid, msg.value(QLatin1String("from")).toString().left(64), opts, this);
        connect(session, &DeviceSession::outgoing, this, [this, sid](QJsonObject out) {
            out.insert(QStringLiteral("sid"), sid);
            m_link->send(out);
        });
        connect(session, &DeviceSession::authedChanged, this, [this, session] {
            if (session->authed())
                Q_EMIT sessionAuthed(session->sid());
        });
        connect(session, &DeviceSession::askStarted, this, [this, session] { Q_EMIT sessionAsking(session); });
        connect(session, &DeviceSession::askClosed, this, [this, sid] { Q_EMIT sessionAskClosed(sid); });
        connect(session, &DeviceSession::introduced, this, [this, session] { Q_EMIT sessionIntroduced(session); });
        connect(session, &DeviceSession::audioCaptureChanged, this,
                [this, session] { Q_EMIT audioCaptureChanged(session); });
        connect(session, &DeviceSession::pathChanged, this, [this, session] { Q_EMIT sessionPathChanged(session); });
        connect(session, &DeviceSession::activityChanged, this, [this, session] { Q_EMIT sessionActivity(session); });
        connect(session, &DeviceSession::micChanged, this, [this, session] { Q_EMIT sessionActivity(session); });
        connect(session, &DeviceSession::statsSent, this, [this, session] { Q_EMIT sessionStats(session); });
        // A viewer's copy goes on the desktop's clipboard, and from there to the other viewers.
        connect(session, &DeviceSession::clipboardFromViewer, this, [this, session](const QString &text) {
            if (!m_clipboard)
                return;
            m_clipboard->setText(text);
            for (DeviceSession *other : std::as_const(m_sessions))
                if (other != session)
                    other->offerClipboard(text);
        });
        connect(session, &DeviceSession::clipboardImageFromViewer, this, [this, session](const QByteArray &png) {
            if (!m_clipboard)
                return;
            m_clipboard->setImage(png);
            for (DeviceSession *other : std::as_const(m_sessions))
                if (other != session)
                    other->offerClipboardImage(png);
        });
        // A viewer's files go on the desktop's clipboard only: another viewer would need
        // them fetched first, and only a paste here does that.
        connect(session, &DeviceSession::clipboardFilesFromViewer, this, [this](ClipFilesOffer *offer) {
            if (m_clipboard)
                m_clipboard->setFiles(offer);
        });
        connect(session, &DeviceSession::finished, this, [this, session, sid] {
            if (m_sessions.value(sid) == session)
                m_sessions.remove(sid);
            Q_EMIT sessionEnded(sid, session->endedForGood(), session->admittedByAutoPasscode());
            // Let closed channels reach the viewer before the pipeline stops.
            QTimer::singleShot(200, session, &QObject::deleteLater);
            if (m_sessions.isEmpty())
                m_trimTimer.start();
        });
        m_sessions.insert(sid, session);
        if (!session->start(sdp)) {
            m_sessions.remove(sid);
            delete session;
            refuse(sid, QStringLiteral("接続できません"));
            return;
        }
        qCInfo(lcService) << "session" << sid << "from" << session->viewer() << "video" << session->videoMode();
        Q_EMIT sessionStarted(session);
    } else if (type == QLatin1String("ice")) {
        if (existing)
            existing->addRemoteCandidate(msg.value(QLatin1String("payload")).toObject());
    } else if (type == QLatin1String("bye")) {
        if (existing)
            existing->hangUp(false);
    }
}

void DeviceService::setClipboard(ClipboardBackend *clipboard) {
    if (m_clipboard)
        disconnect(m_clipboard, nullptr, this, nullptr);
    m_clipboard = clipboard;
    if (!clipboard)
        return;
    connect(clipboard, &ClipboardBackend::copied, this, [this](const QString &text) {
        for (DeviceSession *s : std::as_const(m_sessions))
            s->offerClipboard(text);
    });
    connect(clipboard, &ClipboardBackend::copiedImage, this, [this](const QByteArray &png) {
        for (DeviceSession *s : std::as_const(m_sessions))
            s->offerClipboardImage(png);
    });
    connect(clipboard, &ClipboardBackend::copiedFiles, this, [this](const QStringList &paths) {
        for (DeviceSession *s : std::as_const(m_sessions))
            s->offerClipboardFiles(paths);
    });
}

void DeviceService::setRights(const QString &sid, bool input, bool clip, bool files) {
    if (DeviceSession *s = m_sessions.value(sid))
        s->setRights(input, clip && m_clipboard, files);
}

void DeviceService::setMicRight(const QString &sid, bool on) {
    if (DeviceSession *s = m_sessions.value(sid))
        s->setMicRight(on);
}

bool DeviceService::sendFile(const QString &sid, const QString &path) {
    DeviceSession *s = m_sessions.value(sid);
    return s && s->sendFile(path);
}

bool DeviceService::disconnectSession(const QString &sid) {
    DeviceSession *s = m_sessions.value(sid);
    if (!s)
        return false;
    s->hangUp(true);
    return true;
}

void DeviceService::hangUpAll() {
    const auto all = m_sessions.values();
    for (DeviceSession *s : all)
        s->hangUp(true);
    if (m_link)
        m_link->flush();
}

void DeviceService::sendThumbnail() {
    if (!registered())
        return;
    if (m_thumbnail) {
        const QImage shot = m_thumbnail();
        if (!shot.isNull()) {
            QByteArray png;
            QBuffer buf(&png);
            buf.open(QIODevice::WriteOnly);
            shot.save(&buf, "PNG");
            m_link->sendThumbnail(png);
            return;
        }
    }
    // A small picture of the test pattern: bars and the ball where it is now.
    QImage img(320, 180, QImage::Format_RGB32);
    img.fill(QColor(16, 24, 48));
    QPainter p(&img);
    const QColor bars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue};
    for (int i = 0; i < 7; ++i)
        p.fillRect(i * 320 / 7, 130, 320 / 7 + 1, 50, bars[i]);
    const double t = double(QDateTime::currentMSecsSinceEpoch() % 60000) / 1000.0;
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(160 + 120 * std::cos(t), 65 + 40 * std::sin(t)), 14, 14);
    p.end();
    QByteArray png;
    QBuffer buf(&png);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    m_link->sendThumbnail(png);
}
