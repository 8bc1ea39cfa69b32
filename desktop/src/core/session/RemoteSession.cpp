#include "session/RemoteSession.h"

#include "config/AppConfig.h"
#include "media/DecodeClock.h"
#include "media/JpegVideoPath.h"
#include "media/PeerConnection.h"
#include "media/PeerConnectionFactory.h"
#include "media/VideoFrameTap.h"
#include "media/WebRtcStats.h"
#include "media/WindowPictures.h"
#include "protocol/Json.h"
#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/ApprovalWaitMessage.h"
#include "protocol/ctrl/AudioStateMessage.h"
#include "protocol/ctrl/AuthFailMessage.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/AuthOkMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/CursorMessage.h"
#include "protocol/ctrl/FrameAckMessage.h"
#include "protocol/ctrl/LockedMessage.h"
#include "protocol/ctrl/PingMessage.h"
#include "protocol/ctrl/PongMessage.h"
#include "protocol/ctrl/RecordingMessage.h"
#include "protocol/ctrl/SelectMessage.h"
#include "protocol/ctrl/StatsMessage.h"
#include "protocol/ctrl/StillMessage.h"
#include "protocol/ctrl/WindowEndMessage.h"
#include "protocol/ctrl/WindowMessage.h"
#include "rendezvous/SignalingPort.h"
#include "session/FileChannel.h"
#include "session/MonitorView.h"
#include "session/SessionExchange.h"
#include "session/ViewerHello.h"
#include "util/MainThreadLink.h"
#include "webrtc/AudioTrack.h"
#include "webrtc/PulseAudioSource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcSession, "velmo.session")

namespace {
enum Channel { Ctrl = 0, Video = 1, Input = 2, File = 3, Windows = 4 };

// "windows" carries the pictures of display windows; a host without them leaves it silent.
const QStringList channelLabels{QStringLiteral("ctrl"), QStringLiteral("video"), QStringLiteral("input"),
                                QStringLiteral("file"), QStringLiteral("windows")};

// An integral JSON number that a double holds exactly; the default otherwise.
qint64 jsonInt(const QJsonValue &v, qint64 fallback) {
    return Json::integral(v, -Json::maxExact, Json::maxExact).value_or(fallback);
}

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<QJsonObject> parseObject(const QByteArray &bytes) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}
} // namespace

// What the pipeline's callbacks share with the session. It outlives the
// session while a retired pipeline winds down; its link is detached then, so
// nothing reaches the dead session.
// A reconnect starts a new core (the tap, the decode clock and the byte count are
// carried over), so callbacks of the retired connection can tell they are stale.
struct SessionCore {
    std::shared_ptr<MainThreadLink> link;
    std::atomic<qint64> lastReceived{0};                // steady ms of the latest data-channel message
    std::shared_ptr<std::atomic<quint64>> channelBytes; // data-channel bytes received, all connections
    std::shared_ptr<std::atomic<quint64>> windowBytes;  // of them on "windows"
    std::shared_ptr<DecodeClock> decodeClock;
    std::shared_ptr<VideoFrameTap> tap;
    std::unique_ptr<JpegVideoPath> video;    // data-channel thread
    std::unique_ptr<WindowPictures> windows; // display windows' pictures, per connection
    // Chunks of transfers the host never announced (main thread); what it announces
    // goes to the session's SessionExchange instead.
    FileChannel files{16, 16ll * 1024 * 1024};
};

struct RemoteSession::Private {
    // The config and the factory may go before a session parked for deletion.
    QPointer<AppConfig> config;
    QPointer<PeerConnectionFactory> factory;
    std::shared_ptr<SignalingPort> port;
    std::shared_ptr<MainThreadLink> link;
    std::shared_ptr<SessionCore> core;
    std::shared_ptr<PeerConnection> pc;
    // This computer's microphone towards the host, built into pc's pipeline (gone before pc).
    std::unique_ptr<AudioTrack> mic;
    bool started = false;
    bool offerSent = false;
    QList<QJsonObject> earlyCandidates; // gathered before "connect" went out
    bool fingerprintMismatch = false;
    bool audioTrack = false;
    QElapsedTimer clock;
    RemoteSession::Timings timings;
    // Silence watch: armed once the host proved to report "stats" at a steady pace.
    QList<qint64> statsTimes;
    QTimer *silenceTimer = nullptr;
    quint64 framesSeen = 0;
    int channelsOpen = 0;
    // Bumped by every reconnect: replies of an earlier attempt's connect sequence are dropped.
    int attempt = 0;
    QString wireSid;
    quint64 jpegFrames = 0;
    std::function<void(GstSample *)> encodedSink;
    SessionExchange *exchange = nullptr; // child
    QList<QPointer<MonitorView>> views;  // children, open display windows
};

QString RemoteSession::authFailText(qint64 remaining) {
    return QStringLiteral("パスコードが違います(残り %1 回)").arg(remaining);
}

QString RemoteSession::lockedText(qint64 retrySec) {
    // (retry_sec + 59) / 60, without overflowing near the 64-bit limit.
    const qint64 minutes = retrySec > std::numeric_limits<qint64>::max() - 59
                               ? retrySec / 60 + (retrySec % 60 > 0 ? 1 : 0)
                               : (retrySec + 59) / 60;
    return QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと %1 分)").arg(minutes);
}

RemoteSession::RemoteSession(const QString &targetId, const QString &passcode, const QString &name,
                             const SessionContext &context, QObject *parent)
    : QObject(parent), m_targetId(targetId), m_passcode(passcode), m_sid(makeSid()), m_name(name),
      m_volume(context.config->volume()), m_quality(context.config->quality()), d(std::make_unique<Private>()) {
    Q_ASSERT(context.config && context.factory && context.port);
    d->config = context.config;
    d->factory = context.factory;
    d->port = context.port;
    d->link = std::make_shared<MainThreadLink>(this);
    d->wireSid = m_sid;
    d->core = std::make_shared<SessionCore>();
    d->core->link = d->link;
    d->core->channelBytes = std::make_shared<std::atomic<quint64>>(0);
    d->core->windowBytes = std::make_shared<std::atomic<quint64>>(0);
    d->core->decodeClock = std::make_shared<DecodeClock>();
    auto link = d->link;
    d->core->tap = std::make_shared<VideoFrameTap>(
        [link, this](QSize size) { link->post([this, size] { updateFrameSize(size); }); },
        [link, this] { link->post([this] { Q_EMIT videoFrameAvailable(); }); });
    d->core->video = std::make_unique<JpegVideoPath>(
        d->link, [this](const QByteArray &jpeg) { onStillReceived(jpeg); },
        [this](const QImage &image, QSize size) { onFrameDecoded(image, size); }, d->core->decodeClock);
    d->core->video->setArrivalSink(frameAcknowledger());
    d->core->windows = std::make_unique<WindowPictures>(this);
    SessionExchange::Link exchange;
    exchange.sendCtrl = [this](const QJsonObject &message) { sendCtrl(message); };
    exchange.file.sendText = [this](const QByteArray &json) { return d->pc && d->pc->sendText(File, json); };
    exchange.file.sendBinary = [this](const QByteArray &bytes) { return d->pc && d->pc->sendBinary(File, bytes); };
    exchange.file.buffered = [this]() -> quint64 { return d->pc ? d->pc->bufferedAmount(File) : 0; };
    d->exchange = new SessionExchange(std::move(exchange), this);
    connect(d->exchange, &SessionExchange::permissionsChanged, this, &RemoteSession::applyMic);
    // Certificate and decoders are made before the user presses connect.
    d->factory->warmUp();
}

RemoteSession::~RemoteSession() {
    close();
    d->link->detach();
    d->core->windows->clear();
}

QString RemoteSession::makeSid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().remove('-').left(8).toLower();
}

// ---- the one place that assigns `state` ------------------------------------------------------------------------

void RemoteSession::setState(State next, const QString &text, FailureKind kind) {
    // Any outcome ends a wait for the host user's approval.
    if (next != State::Authenticating && m_approvalDeadline.isValid()) {
        m_approvalDeadline = QDateTime();
        Q_EMIT approvalWaitChanged();
    }
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_state == State::Closed)
        return; // nothing leaves closed
    if (m_state == next && m_failureText == text && m_failureKind == kind)
        return;
    m_state = next;
    m_failureText = next == State::Failed ? text : QString();
    m_failureKind = next == State::Failed ? kind : FailureKind::None;
    qCDebug(lcSession) << m_sid << "state" << next << m_failureText;
    d->exchange->setLive(next == State::Connected,
                         next == State::Closed ? QStringLiteral("セッションを終了しました") : m_failureText);
    applyMic();
    Q_EMIT stateChanged();
    if (next == State::Closed)
        Q_EMIT closed();
}

void RemoteSession::fail(const QString &text, FailureKind kind) {
    setState(State::Failed, text, kind);
}

// ---- audio -----------------------------------------------------------------------------------------------------

void RemoteSession::setMuted(bool muted) {
    const bool changed = muted != m_muted;
    m_muted = muted;
    if (changed)
        Q_EMIT mutedChanged();
    applyAudio();
}

void RemoteSession::setVolume(double volume) {
    const bool changed = volume != m_volume;
    m_volume = volume;
    if (changed)
        Q_EMIT volumeChanged();
    applyAudio();
}

double RemoteSession::audioLevel(bool muted, double volume) {
    return muted || !std::isfinite(volume) ? 0.0 : std::clamp(volume, 0.0, 1.0);
}

void RemoteSession::applyAudio() {
    if (!d->pc)
        return;
    // The playback element keeps these until the track arrives, so a track
    // that arrives while muted starts silent.
    d->pc->setAudio(!m_muted, audioLevel(m_muted, m_volume));
}

void RemoteSession::setMicOn(bool on) {
    if (on == m_micOn)
        return;
    m_micOn = on;
    applyMic();
    Q_EMIT micChanged();
}

void RemoteSession::applyMic() {
    if (!d->mic)
        return;
    d->mic->setFlowing(m_state == State::Connected);
    d->mic->setOn(m_micOn && d->exchange->micAllowed());
}

bool RemoteSession::micSending() const {
    return d->mic && !d->mic->device().isEmpty();
}

QString RemoteSession::micError() const {
    return d->mic ? d->mic->error() : QString();
}

// ---- connect sequence ------------------------------------------------------------------------------------------

void RemoteSession::start() {
    if (d->started || m_state == State::Closed)
        return;
    d->started = true;
    d->clock.start();
    connectSequence();
}

void RemoteSession::connectSequence() {
    const int attempt = d->attempt;
    // A reply that belongs to an earlier attempt (or a closed session) is dropped.
    auto stale = [this, attempt] { return m_state == State::Closed || attempt != d->attempt; };
    d->factory->whenReady(this, [this, stale](const QString &error) {
        if (stale())
            return;
        if (!error.isEmpty()) {
            fail(QStringLiteral("接続できません: ") + error, FailureKind::Unreachable);
            return;
        }
        d->port->connect(this, [this, stale](const Result<std::monostate> &greeted) {
            if (stale())
                return;
            if (!greeted.ok()) {
                fail(QStringLiteral("接続できません: ") + greeted.error.message, FailureKind::Unreachable);
                return;
            }
            d->port->turnCredentials(this, [this, stale](const Result<SignalingPort::Ice> &ice) {
                if (stale())
                    return;
                // Without TURN credentials the session still tries direct paths.
                const SignalingPort::Ice use = ice.value.value_or(SignalingPort::Ice{});
                setup(use.urls, use.username, use.credential);
            });
        });
    });
}

// The steps of setup(): what the peer connection is made with. Its callbacks run on the
// connection's own threads and reach the session only through core->link->post, which drops
// work for a session that is gone; `self` is dereferenced inside the posted work only.
struct RemoteSession::PeerSetup {
    static PeerConnection::Options options(RemoteSession &session, const QStringList &urls, const QString &username,
                                           const QString &credential) {
        PeerConnection::Options options;
        options.channels = channelLabels;
        options.media = !session.d->config || session.d->config->videoPref() != QLatin1String("jpeg");
        options.audioSink = session.d->factory ? session.d->factory->audioSink() : QString();
        options.iceUrls = urls;
        options.iceUsername = username;
        options.iceCredential = credential;
        options.tap = session.d->core->tap;
        options.decodeClock = session.d->core->decodeClock;
        // The audio m-line is sendrecv from the first offer: the microphone switch then only
        // opens the track, no new offer is needed. Nothing goes out while the switch is off or
        // the host does not allow it (silence only while the microphone opens or if it fails).
        RemoteSession *self = &session;
        options.audioSender = [self](GstElement *pipeline, GstElement *webrtc, const QByteArray &offerCaps) {
            auto mic = std::make_unique<AudioTrack>(pipeline, std::make_shared<PulseAudioSource>());
            mic->setKind(QStringLiteral("mic"));
            mic->setOn(false);
            if (!mic->addTo(webrtc, 111, offerCaps))
                return false;
            QObject::connect(mic.get(), &AudioTrack::captureChanged, self, &RemoteSession::micChanged);
            self->d->mic = std::move(mic);
            return true;
        };
        return options;
    }

    static PeerConnection::Callbacks callbacks(RemoteSession *self) {
        const std::shared_ptr<SessionCore> core = self->d->core;
        PeerConnection::Callbacks cb;
        addConnectionEvents(cb, core, self);
        cb.message = channelMessage(core, self);
        addTracks(cb, core, self);
        // Called on a streaming thread; a microphone that cannot be recorded any more falls
        // back to silence, decided on the main thread.
        cb.elementError = [core, self](GstMessage *msg) {
            std::shared_ptr<GstMessage> held(gst_message_ref(msg), [](GstMessage *m) { gst_message_unref(m); });
            core->link->post([self, held] {
                if (self->d->mic)
                    self->d->mic->takeError(held.get());
            });
        };
        return cb;
    }

    // Candidates, the set-up timings and the loss of the connection.
    static void addConnectionEvents(PeerConnection::Callbacks &cb, const std::shared_ptr<SessionCore> &core,
                                    RemoteSession *self) {
        // ":pc" thread.
        cb.localCandidate = [core, self](guint mline, const QString &mid, const QString &candidate) {
            QJsonObject payload{{"candidate", candidate},
                                {"sdpMid", mid.isEmpty() ? QStringLiteral("0") : mid},
                                {"sdpMLineIndex", int(mline)}};
            core->link->post([core, self, payload] {
                if (self->m_state == State::Closed || core != self->d->core)
                    return;
                QJsonObject msg{
                    {"type", "ice"}, {"to", self->m_targetId}, {"sid", self->d->wireSid}, {"payload", payload}};
                if (!self->d->offerSent)
                    self->d->earlyCandidates.append(msg);
                else
                    self->d->port->send(msg);
            });
        };
        cb.iceConnected = [core, self] {
            core->link->post([self] {
                if (self->d->timings.iceConnected < 0)
                    self->d->timings.iceConnected = self->d->clock.elapsed();
            });
        };
        cb.transportConnected = [core, self] {
            core->link->post([self] {
                if (self->d->timings.transportConnected < 0)
                    self->d->timings.transportConnected = self->d->clock.elapsed();
            });
        };
        cb.channelOpen = [core, self](int) {
            core->link->post([core, self] {
                if (core == self->d->core && ++self->d->channelsOpen == int(channelLabels.size()))
                    self->d->timings.channelsOpen = self->d->clock.elapsed();
            });
        };
        // A session that already failed keeps its reason (a refusal, a wrong passcode) when
        // the host then ends the connection.
        cb.lost = [core, self](const QString &) {
            core->link->post([core, self] {
                if (core == self->d->core && self->m_state != State::Failed)
                    self->fail(lostText(), FailureKind::Lost);
            });
        };
    }

    // What the host sends on the data channels (their threads).
    static std::function<void(int, const QByteArray &, bool)> channelMessage(const std::shared_ptr<SessionCore> &core,
                                                                             RemoteSession *self) {
        return [core, self](int channel, const QByteArray &data, bool binary) {
            core->lastReceived.store(steadyMs(), std::memory_order_relaxed);
            core->channelBytes->fetch_add(quint64(data.size()), std::memory_order_relaxed);
            switch (channel) {
            case Ctrl:
                if (auto obj = parseObject(data))
                    core->link->post([core, self, o = std::move(*obj)] {
                        if (core == self->d->core)
                            self->onCtrl(o);
                    });
                break;
            case Video:
                if (binary)
                    core->video->push(data);
                break;
            case Windows:
                core->windowBytes->fetch_add(quint64(data.size()), std::memory_order_relaxed);
                if (binary)
                    core->windows->push(data);
                break;
            case File:
                fileMessage(core, self, data, binary);
                break;
            default:
                break; // "input" carries nothing towards the viewer
            }
        };
    }

    // Files are written on the main thread: what the host may send at once is bounded by
    // the acknowledgement window of the transfers.
    static void fileMessage(const std::shared_ptr<SessionCore> &core, RemoteSession *self, const QByteArray &data,
                            bool binary) {
        if (binary) {
            core->link->post([self, core, data] {
                if (self->d->exchange->files()->handleBinary(data))
                    return;
                const qint64 id = core->files.onBinary(data);
                if (id < 0)
                    return;
                const auto &t = core->files.downloads().at(quint32(id));
                Q_EMIT self->downloadProgress(quint32(id), int(t.chunks.size()), t.bytes);
            });
        } else if (auto obj = parseObject(data)) {
            core->link->post([self, o = std::move(*obj)] {
                self->d->exchange->files()->handleText(o);
                Q_EMIT self->fileEvent(o);
            });
        }
    }

    // The host's picture and sound arrived (jitter-buffer thread).
    static void addTracks(PeerConnection::Callbacks &cb, const std::shared_ptr<SessionCore> &core,
                          RemoteSession *self) {
        cb.videoTrack = [core, self] {
            core->link->post([self] {
                if (!self->m_videoTrack) {
                    self->m_videoTrack = true;
                    Q_EMIT self->videoTrackChanged();
                }
            });
        };
        cb.audioTrack = [core, self] {
            core->link->post([self] {
                self->d->audioTrack = true;
                if (!self->m_audioAvailable) {
                    self->m_audioAvailable = true;
                    Q_EMIT self->audioAvailableChanged();
                }
                self->applyAudio();
            });
        };
    }
};

void RemoteSession::setup(const QStringList &urls, const QString &username, const QString &credential) {
    Result<std::shared_ptr<PeerConnection>> created =
        PeerConnection::create(PeerSetup::options(*this, urls, username, credential), PeerSetup::callbacks(this));
    if (!created.ok()) {
        fail(QStringLiteral("接続できません: ") + created.error.message, FailureKind::Unreachable);
        return;
    }
    d->pc = std::move(*created.value);
    applyMic();
    if (d->encodedSink)
        d->pc->setEncodedSink(d->encodedSink);
    applyAudio();
    // Registered before the offer goes out, so the answer cannot be missed.
    attachSignaling();
    sendOffer();
}

void RemoteSession::attachSignaling() {
    QPointer<RemoteSession> weak(this);
    d->port->attach(d->wireSid, [weak](const QJsonObject &message) {
        QCoreApplication *app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread()) {
            if (weak)
                weak->onSignal(message);
            return;
        }
        QMetaObject::invokeMethod(
            app,
            [weak, message] {
                if (weak)
                    weak->onSignal(message);
            },
            Qt::QueuedConnection);
    });
}

// The offer goes out with the candidates gathered before it, and those that follow go at once.
void RemoteSession::sendOffer() {
    std::shared_ptr<SessionCore> core = d->core;
    RemoteSession *self = this; // only dereferenced inside link->post, which drops work for a dead session
    d->pc->createOffer([core, self](std::optional<QString> sdp, const QString &error) {
        core->link->post([core, self, sdp, error] {
            if (self->m_state == State::Closed || !self->d->pc || core != self->d->core)
                return;
            if (!sdp) {
                self->fail(QStringLiteral("接続できません: ") + error, FailureKind::Unreachable);
                return;
            }
            self->d->port->send(QJsonObject{{"type", "connect"},
                                            {"to", self->m_targetId},
                                            {"sid", self->d->wireSid},
                                            {"payload", QJsonObject{{"sdp", *sdp}}}});
            self->d->offerSent = true;
            self->d->timings.offerSent = self->d->clock.elapsed();
            for (const QJsonObject &msg : std::exchange(self->d->earlyCandidates, {}))
                self->d->port->send(msg);
        });
    });
}

// ---- signaling -------------------------------------------------------------------------------------------------

void RemoteSession::onSignal(const QJsonObject &message) {
    if (!d->pc || message.isEmpty())
        return;
    const QJsonValue type = message.value("type");
    if (!type.isString())
        return;
    const QString t = type.toString();
    if (t == QLatin1String("answer")) {
        const QJsonValue payload = message.value("payload");
        if (!payload.isObject() || !payload.toObject().value("sdp").isString())
            return;
        if (d->timings.answer < 0)
            d->timings.answer = d->clock.elapsed();
        d->pc->setRemoteAnswer(payload.toObject().value("sdp").toString().toUtf8());
    } else if (t == QLatin1String("ice")) {
        const QJsonValue payload = message.value("payload");
        if (!payload.isObject())
            return;
        const QJsonObject p = payload.toObject();
        if (!p.value("candidate").isString())
            return;
        const qint64 index = jsonInt(p.value("sdpMLineIndex"), 0);
        if (index < 0 || index > std::numeric_limits<qint32>::max())
            return; // not an m-line of any description
        const QString mid = p.value("sdpMid").isString() ? p.value("sdpMid").toString() : QString();
        d->pc->addRemoteCandidate(guint(index), mid, p.value("candidate").toString());
    } else if (t == QLatin1String("error")) {
        const QJsonValue e = message.value("error");
        const QString text = e.isString() ? e.toString() : QString();
        // The device's refusal (sharing off, its user said no, no answer in time) says who refused.
        if (text == QStringLiteral("接続を拒否しました"))
            fail(QStringLiteral("相手が接続を拒否しました"), FailureKind::Refused);
        else
            fail(QStringLiteral("エラー: ") + text, FailureKind::Unreachable);
    } else if (t == QLatin1String("bye")) {
        close();
    }
}

// ---- control channel -------------------------------------------------------------------------------------------

void RemoteSession::sendCtrl(const QJsonObject &message) {
    if (d->pc)
        d->pc->sendText(Ctrl, Json::compact(message));
}

void RemoteSession::onCtrl(const QJsonObject &message) {
    const QString t = CtrlMessage::tagOf(message);
    if (t == ChallengeMessage::tag) {
        onChallenge(message);
    } else if (t == AuthOkMessage::tag) {
        onAuthOk(AuthOkMessage::fromJson(message));
    } else if (t == ApprovalWaitMessage::tag) {
        m_approvalDeadline = QDateTime::currentDateTimeUtc().addSecs(ApprovalWaitMessage::fromJson(message).sec);
        Q_EMIT approvalWaitChanged();
    } else if (t == AuthFailMessage::tag) {
        m_passcodeRefused = true;
        fail(authFailText(AuthFailMessage::fromJson(message).remaining), FailureKind::Refused);
    } else if (t == LockedMessage::tag) {
        fail(lockedText(LockedMessage::fromJson(message).retrySec), FailureKind::Refused);
    } else if (t == CursorMessage::tag) {
        const CursorMessage cursor = CursorMessage::fromJson(message);
        const QPointF p(cursor.x, cursor.y);
        if (p != m_cursor) {
            m_cursor = p;
            Q_EMIT cursorChanged();
        }
    } else if (t == StatsMessage::tag) {
        m_stats = message; // shown as it came, fields this viewer does not know included
        Q_EMIT statsChanged();
        noteStats();
    } else if (t == PongMessage::tag) {
        const std::optional<double> sent = PongMessage::fromJson(message).ts;
        const qint64 now = d->clock.isValid() ? d->clock.elapsed() : -1;
        if (sent && now >= 0 && *sent >= 0 && *sent <= double(now))
            Q_EMIT roundTrip(double(now) - *sent);
    } else if (t == AudioStateMessage::tag) {
        const bool available = AudioStateMessage::fromJson(message).on;
        if (available != m_audioAvailable) {
            m_audioAvailable = available;
            Q_EMIT audioAvailableChanged();
        }
    } else if (t == WindowEndMessage::tag) {
        onWindowEnd(message);
    } else if (!t.isEmpty()) {
        d->exchange->handleCtrl(message); // "clip", "perm"
    }
}

void RemoteSession::onChallenge(const QJsonObject &message) {
    // A peer that failed the certificate check stays unverified for the life of
    // this connection: its later challenges are not answered.
    if (d->fingerprintMismatch || m_state == State::Closed)
        return;
    setState(State::Authenticating);
    if (d->timings.challenge < 0)
        d->timings.challenge = d->clock.elapsed();
    if (!d->pc)
        return;
    const QString localSdp = d->pc->localSdp();
    const QString remoteSdp = d->pc->remoteSdp();
    if (localSdp.isEmpty() || remoteSdp.isEmpty())
        return;
    const std::optional<ChallengeMessage> challenge = ChallengeMessage::fromJson(message);
    if (!challenge)
        return;
    PasscodeProof::Input in;
    in.passcode = m_passcode;
    in.nonce = challenge->nonce;
    in.autoSalt = challenge->autoSalt;
    in.fixedSalt = challenge->fixedSalt;
    in.localFingerprint = PasscodeProof::fingerprint(localSdp);
    in.remoteFingerprint = PasscodeProof::fingerprint(remoteSdp);

    if (challenge->hostFp && *challenge->hostFp != in.remoteFingerprint) {
        d->fingerprintMismatch = true;
        qCWarning(lcSession) << m_sid << "certificate fingerprint mismatch";
        fail(fingerprintText(), FailureKind::Refused);
        return;
    }
    if (!challenge->iters) {
        qCWarning(lcSession) << m_sid << "challenge refused: iteration count out of range"
                             << message.value(ChallengeMessage::itersKey);
        fail(itersText(), FailureKind::Refused);
        return;
    }
    in.iters = *challenge->iters;
    const qint64 proofStart = d->clock.elapsed();
    PasscodeProof::computeAsync(
        in, this, [this, proofStart, attempt = d->attempt](std::optional<PasscodeProof::Result> proof) {
            d->timings.proof = d->clock.elapsed() - proofStart;
            // A proof made for an earlier connection's challenge must not answer the current one.
            if (!proof || d->fingerprintMismatch || m_state == State::Closed || attempt != d->attempt)
                return;
            sendCtrl(AuthMessage{proof->a, proof->f}.toJson());
            // Who is asking, right behind the proof: a host that lets its user approve viewers
            // can show the name in the request; others take it once the viewer is in.
            sendCtrl(ViewerHello::message());
        });
}

void RemoteSession::onAuthOk(const AuthOkMessage &message) {
    // Only a peer whose certificate was not found wrong may let input flow.
    if (d->fingerprintMismatch || m_state == State::Closed)
        return;
    const QList<Monitor> monitors = Monitor::listFromJson(message.monitors);
    const QString videoMode = message.video;
    const bool audioAvailable = message.audio;

    if (message.name && *message.name != m_name) {
        m_name = *message.name;
        Q_EMIT nameChanged();
    }
    if (monitors != m_monitors) {
        m_monitors = monitors;
        Q_EMIT monitorsChanged();
    }
    if (videoMode != m_videoMode) {
        m_videoMode = videoMode;
        Q_EMIT videoModeChanged();
    }
    if (audioAvailable != m_audioAvailable) {
        m_audioAvailable = audioAvailable;
        Q_EMIT audioAvailableChanged();
    }
    if (message.windows != m_monitorWindows) {
        m_monitorWindows = message.windows;
        Q_EMIT monitorWindowsChanged();
    }
    setState(State::Connected);
    if (d->timings.connected < 0 && d->clock.isValid())
        d->timings.connected = d->clock.elapsed();
    applyAudio();
    if (d->config)
        d->config->addRecent(m_targetId, m_name);
    setQuality(m_quality);
    if (m_recording)
        sendCtrl(RecordingMessage{true}.toJson());
    // Display windows: asked for on a new connection, and again on each new list of
    // displays (the same request changes nothing for a display that is still there).
    for (const QPointer<MonitorView> &view : std::as_const(d->views))
        if (view && !view->ended())
            openOnHost(view);
}

void RemoteSession::setRecording(bool on) {
    if (on == m_recording)
        return;
    m_recording = on;
    if (m_state == State::Connected)
        sendCtrl(RecordingMessage{on}.toJson());
}

void RemoteSession::setQuality(const Quality &q) {
    m_quality = q;
    sendCtrl(q.clamped().toJson());
    // The windows keep their own scale and take the rest.
    if (m_state == State::Connected)
        for (const QPointer<MonitorView> &view : std::as_const(d->views))
            if (view && !view->ended())
                openOnHost(view);
}

MonitorView *RemoteSession::openMonitorView(int monitorId, double scale) {
    if (!m_monitorWindows || m_state != State::Connected)
        return nullptr;
    d->views.removeAll(nullptr);
    int win = 0;
    for (int n = 1; n <= WindowMessage::maxWindows && win == 0; ++n) {
        bool used = false;
        for (const QPointer<MonitorView> &v : std::as_const(d->views))
            used = used || v->win() == n;
        if (!used)
            win = n;
    }
    if (win == 0)
        return nullptr;
    MonitorView::Link link;
    link.reopen = [this, win] {
        for (const QPointer<MonitorView> &v : std::as_const(d->views))
            if (v && v->win() == win && m_state == State::Connected)
                openOnHost(v);
    };
    link.sendInput = [this](const QJsonObject &message) { sendInput(message); };
    auto *view = new MonitorView(win, monitorId, scale, std::move(link), this);
    d->views.append(view);
    openOnHost(view);
    return view;
}

void RemoteSession::openOnHost(MonitorView *view) {
    const int win = view->win();
    if (!d->core->windows->has(win)) {
        QPointer<MonitorView> guard(view);
        auto link = d->link;
        d->core->windows->add(
            win,
            [guard](const QImage &image, QSize size) {
                if (guard)
                    guard->showFrame(image, size);
            },
            // The data-channel thread: each picture that arrived lets the host send the next.
            [link, this, win](quint32 seq) {
                link->post([this, seq, win] { sendCtrl(FrameAckMessage{seq, win}.toJson()); });
            });
    }
    Quality q = m_quality.clamped();
    q.scale = view->scale();
    sendCtrl(WindowMessage{win, view->monitorId(), q.clamped()}.toJson());
}

void RemoteSession::closeMonitorView(MonitorView *view) {
    if (!view || !d->views.contains(view))
        return;
    d->views.removeAll(view);
    d->core->windows->remove(view->win());
    if (!view->ended())
        sendCtrl(WindowEndMessage{view->win(), QString()}.toJson());
    view->deleteLater();
}

QList<MonitorView *> RemoteSession::monitorViews() const {
    QList<MonitorView *> out;
    for (const QPointer<MonitorView> &v : std::as_const(d->views))
        if (v)
            out.append(v);
    return out;
}

void RemoteSession::onWindowEnd(const QJsonObject &message) {
    const std::optional<WindowEndMessage> end = WindowEndMessage::read(message);
    if (!end)
        return;
    for (const QPointer<MonitorView> &v : std::as_const(d->views)) {
        if (v && v->win() == end->win) {
            d->core->windows->remove(end->win);
            v->end(end->reason.isEmpty() ? QStringLiteral("このモニタの表示は終わりました") : end->reason);
        }
    }
}

void RemoteSession::selectMonitor(const QString &mode, int id) {
    sendCtrl(SelectMessage{mode, id}.toJson());
}

void RemoteSession::requestStill() {
    sendCtrl(StillMessage{}.toJson());
}

void RemoteSession::sendInput(const QJsonObject &message) {
    if (m_state != State::Connected || !d->pc)
        return;
    d->pc->sendText(Input, Json::compact(message));
}

// ---- video -----------------------------------------------------------------------------------------------------

// "frame_ack" (protocol/ctrl/FrameAckMessage) for every JPEG frame.
std::function<void(quint32)> RemoteSession::frameAcknowledger() {
    auto link = d->link;
    return [link, this](quint32 seq) { link->post([this, seq] { sendCtrl(FrameAckMessage{seq}.toJson()); }); };
}

void RemoteSession::onFrameDecoded(const QImage &image, QSize size) {
    ++d->jpegFrames;
    m_image = image;
    Q_EMIT imageChanged();
    const QSizeF s(size);
    if (s != m_frameSize) {
        m_frameSize = s;
        Q_EMIT frameSizeChanged();
    }
}

void RemoteSession::onStillReceived(const QByteArray &bytes) {
    if (m_onStill)
        m_onStill(bytes);
}

void RemoteSession::updateFrameSize(QSize size) {
    if (size.width() <= 0 || size.height() <= 0)
        return;
    const QSizeF s(size);
    if (s != m_frameSize) {
        m_frameSize = s;
        Q_EMIT frameSizeChanged();
    }
}

QImage RemoteSession::snapshot() const {
    return m_videoMode == QLatin1String("h264") ? d->core->tap->latestImage() : m_image;
}

RemoteSession::Timings RemoteSession::timings() const {
    return d->timings;
}

SessionExchange *RemoteSession::exchange() const {
    return d->exchange;
}

VideoFrameTap *RemoteSession::tap() const {
    return d->core->tap.get();
}

// ---- silence watch ----------------------------------------------------------------------------------------------

// ICE alone notices a vanished host only after libnice's consent limit (about
// 50 s). A host that reports "stats" at a steady pace gives a better clock:
// once it has done so a few times, nothing at all arriving for several of its
// periods (and at least 10 s) means it is gone. A host without such reports
// never arms the watch and is left to ICE.
qint64 RemoteSession::silenceLimitMs() const {
    if (d->statsTimes.size() < 4)
        return -1;
    qint64 period = 0;
    for (qsizetype i = 1; i < d->statsTimes.size(); ++i)
        period = std::max(period, d->statsTimes[i] - d->statsTimes[i - 1]);
    if (period <= 0 || period > 5000)
        return -1;
    return std::max<qint64>(10000, 5 * period);
}

void RemoteSession::noteStats() {
    d->statsTimes.append(steadyMs());
    while (d->statsTimes.size() > 6)
        d->statsTimes.removeFirst();
    if (d->silenceTimer || silenceLimitMs() < 0)
        return;
    d->silenceTimer = new QTimer(this);
    d->silenceTimer->setInterval(1000);
    connect(d->silenceTimer, &QTimer::timeout, this, [this] {
        const qint64 limit = silenceLimitMs();
        if (m_state == State::Closed || m_state == State::Failed || limit < 0)
            return;
        // H.264 frames count as signs of life too.
        const quint64 frames = d->core->tap->frameCount();
        if (frames != d->framesSeen) {
            d->framesSeen = frames;
            d->core->lastReceived.store(steadyMs(), std::memory_order_relaxed);
        }
        if (steadyMs() - d->core->lastReceived.load(std::memory_order_relaxed) > limit) {
            qCInfo(lcSession) << m_sid << "host silent for more than" << limit << "ms";
            fail(lostText(), FailureKind::Lost);
        }
    });
    d->silenceTimer->start();
}

// ---- closing ---------------------------------------------------------------------------------------------------

void RemoteSession::close() {
    if (m_state == State::Closed)
        return;
    setState(State::Closed);
    if (d->silenceTimer)
        d->silenceTimer->stop();
    d->port->send(QJsonObject{{"type", "bye"}, {"to", m_targetId}, {"sid", d->wireSid}});
    d->port->detach(d->wireSid);
    retirePeer();
}

void RemoteSession::retirePeer() {
    // The microphone stops first: it lives in the pipeline that goes.
    if (d->mic) {
        d->mic->stop();
        d->mic.reset();
        Q_EMIT micChanged();
    }
    if (d->pc) {
        if (d->factory)
            d->factory->retire(std::exchange(d->pc, nullptr));
        else if (const std::shared_ptr<PeerConnection> pc = std::exchange(d->pc, nullptr)) {
            // The factory went first (the application is going down): torn down here.
            pc->shutdown();
            pc->teardown();
        }
    }
}

void RemoteSession::reconnect() {
    if (m_state == State::Closed || !d->started)
        return;
    qCInfo(lcSession) << m_sid << "reconnecting to" << m_targetId;
    ++d->attempt;
    if (d->silenceTimer) {
        d->silenceTimer->deleteLater();
        d->silenceTimer = nullptr;
    }
    // The old connection ends for good: the host may still be there and hold it.
    if (d->offerSent)
        d->port->send(QJsonObject{{"type", "bye"}, {"to", m_targetId}, {"sid", d->wireSid}});
    d->port->detach(d->wireSid);
    retirePeer();

    auto core = std::make_shared<SessionCore>();
    core->link = d->link;
    core->channelBytes = d->core->channelBytes;
    core->windowBytes = d->core->windowBytes;
    core->decodeClock = d->core->decodeClock;
    core->tap = d->core->tap;
    // A restarted host numbers its JPEG frames from the beginning again.
    core->video = std::make_unique<JpegVideoPath>(
        d->link, [this](const QByteArray &jpeg) { onStillReceived(jpeg); },
        [this](const QImage &image, QSize size) { onFrameDecoded(image, size); }, core->decodeClock);
    core->video->setArrivalSink(frameAcknowledger());
    // The windows' pictures start again too: the views ask for them once admitted.
    core->windows = std::make_unique<WindowPictures>(this);
    d->core->windows->clear();
    d->core = std::move(core);
    d->wireSid = makeSid();
    d->offerSent = false;
    d->earlyCandidates.clear();
    d->fingerprintMismatch = false;
    d->audioTrack = false;
    d->statsTimes.clear();
    d->channelsOpen = 0;
    m_passcodeRefused = false;
    setState(State::Connecting);
    connectSequence();
}

void RemoteSession::reconnectWithPasscode(const QString &passcode) {
    if (m_state == State::Closed || !d->started)
        return;
    m_passcode = passcode;
    reconnect();
}

QString RemoteSession::connectionSid() const {
    return d->wireSid;
}

// ---- statistics ------------------------------------------------------------------------------------------------

void RemoteSession::collectStats(std::function<void(const WebRtcStats &)> done) {
    if (!d->pc)
        return;
    auto link = d->link;
    std::weak_ptr<PeerConnection> weakPc = d->pc;
    // ":pc" thread: the reply is read there and only the figures travel.
    d->pc->getStats([link, weakPc, done = std::move(done)](const GstStructure *reply) {
        const std::shared_ptr<PeerConnection> pc = weakPc.lock();
        const WebRtcStats stats = WebRtcStats::read(pc ? pc->webrtcbin() : nullptr, reply);
        link->post([done, stats] { done(stats); });
    });
}

void RemoteSession::sendPing() {
    if (m_state != State::Connected || !d->clock.isValid())
        return;
    sendCtrl(PingMessage{double(d->clock.elapsed())}.toJson());
}

quint64 RemoteSession::framesReceived() const {
    return d->jpegFrames + d->core->tap->frameCount();
}

quint64 RemoteSession::windowBytesReceived() const {
    return d->core->windowBytes->load(std::memory_order_relaxed);
}

quint64 RemoteSession::channelBytesReceived() const {
    return d->core->channelBytes->load(std::memory_order_relaxed);
}

RemoteSession::DecodeSpan RemoteSession::takeDecodeSpan() {
    const DecodeClock::Span span = d->core->decodeClock->take();
    return DecodeSpan{span.frames, span.averageMs()};
}

void RemoteSession::setEncodedVideoSink(std::function<void(GstSample *)> sink) {
    d->encodedSink = sink;
    if (d->pc)
        d->pc->setEncodedSink(std::move(sink));
}

void RemoteSession::requestKeyFrame() {
    if (d->pc)
        d->pc->requestKeyFrame();
}
