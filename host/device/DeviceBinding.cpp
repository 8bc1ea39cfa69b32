#include "device/DeviceBinding.h"

#include "audio/PulseVirtualMicrophone.h"
#include "audio/TestToneSource.h"
#include "capture/EncoderPool.h"
#include "capture/ScreenCapture.h"
#include "capture/ScreenVideoSource.h"
#include "capture/TestPatternSource.h"
#include "clipboard/ClipboardBackend.h"
#include "control/HostState.h"
#include "control/PasscodeRotation.h"
#include "device/DeviceService.h"
#include "device/DeviceSession.h"
#include "device/ViewerExchange.h"
#include "input/InputInjector.h"
#include "platform/BackendFactory.h"
#include "platform/DesktopBackend.h"
#include "protocol/agent/ControlSessionLink.h"
#include "protocol/ctrl/StatsMessage.h"
#include "webrtc/PulseAudioSource.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QThreadPool>

Q_LOGGING_CATEGORY(lcBinding, "velmo.device.binding")

#include <gst/gst.h>

#include <algorithm>

namespace {
// A transfer as the agent's status lists it.
ControlTransfer controlTransfer(const FileTransfers::Transfer &t) {
    ControlTransfer c;
    c.id = t.key;
    c.sent = t.direction == FileTransfers::Direction::Outgoing;
    c.name = t.name;
    c.path = t.path;
    c.size = t.size;
    c.done = t.done;
    switch (t.status) {
    case FileTransfers::Status::Waiting:
        c.state = QStringLiteral("waiting");
        break;
    case FileTransfers::Status::Running:
        c.state = QStringLiteral("running");
        break;
    case FileTransfers::Status::Done:
        c.state = QStringLiteral("done");
        break;
    case FileTransfers::Status::Failed:
        c.state = QStringLiteral("failed");
        break;
    case FileTransfers::Status::Cancelled:
        c.state = QStringLiteral("cancelled");
        break;
    }
    c.message = t.message;
    return c;
}
} // namespace

DeviceBinding::DeviceBinding(HostState *state, const QString &dataDir, bool testHooks, const QString &source,
                             const DesktopSession &session, QObject *parent)
    : QObject(parent), m_state(state) {
    gst_init_check(nullptr, nullptr, nullptr);
    // The screen, input and clipboard of the platform the session offers. With the test
    // pattern viewers still reach the desktop's input and clipboard.
    const BackendFactory::Choice choice = BackendFactory::choose(session, state->unattended());
    m_backend = BackendFactory::create(choice, dataDir);
    if (m_backend)
        qCInfo(lcBinding) << "desktop back end:" << m_backend->name();
    else
        qCInfo(lcBinding) << "no desktop back end:" << choice.problem;
    state->setBackend(m_backend ? m_backend->name() : QStringLiteral("none"));
    m_service = new DeviceService(state->server(), dataDir, this);
    m_service->setIceAddresses(qEnvironmentVariable("VELMO_ICE_ADDRESSES").split(QLatin1Char(','), Qt::SkipEmptyParts));
    if (testHooks)
        m_service->setHooks(DeviceHooks::parse(qEnvironmentVariable("VELMO_DEVICE_HOOKS")));
    m_service->setPasscodeSource([s = m_state] {
        DevicePasscodes codes;
        if (s) {
            codes.autoPasscode = s->autoPasscode();
            codes.fixedPasscode = s->fixedPasscode();
            codes.mode = s->passcodeMode();
        }
        return codes;
    });
    m_service->setInputPermission([s = m_state](const QString &sid) {
        const auto session = s ? s->session(sid) : std::nullopt;
        return session && session->input;
    });
    // Input goes to the desktop; without a way in the status says so.
    QString inputProblem = choice.problem;
    if (m_backend)
        m_injector = m_backend->openInput(&inputProblem);
    if (m_injector) {
        m_service->setInjector(m_injector.get());
        state->setInputPerm(QStringLiteral("unneeded"));
    } else {
        qWarning("velmo-remote-host: no input for viewers: %s", qPrintable(inputProblem));
        state->setInputPerm(QStringLiteral("denied"));
    }
    m_service->setExchangePermissions(
        [s = m_state](const QString &sid) {
            const auto session = s ? s->session(sid) : std::nullopt;
            return session && session->clip;
        },
        [s = m_state](const QString &sid) {
            const auto session = s ? s->session(sid) : std::nullopt;
            return session && session->files;
        });
    // Viewers share the desktop's clipboard where the back end has one.
    QString clipboardProblem = choice.problem;
    if (m_backend)
        m_clipboard = m_backend->openClipboard(&clipboardProblem);
    if (m_clipboard)
        m_service->setClipboard(m_clipboard.get());
    else
        qCInfo(lcBinding) << "no clipboard sharing:" << clipboardProblem;
    m_service->setName(state->name());
    m_service->setSharing(state->sharing());
    m_service->setAudioOn(state->audioOn());
    m_service->setAudioKind(state->audioSource());
    // `--source test`: the test tone instead of the sound server.
    if (source == QLatin1String("test"))
        m_service->setAudioSource(std::make_shared<TestToneSource>());
    else
        m_service->setAudioSource(std::make_shared<PulseAudioSource>());
    // Viewers' voices play into microphones of the sound server, one per session. Those an
    // agent that was killed left behind go first (off the main thread: the server may be slow).
    auto microphones = std::make_shared<PulseVirtualMicrophone>();
    QThreadPool::globalInstance()->start([microphones] { microphones->removeLeftovers(); });
    m_service->setMicrophones(
        [s = m_state](const QString &sid) {
            const auto session = s ? s->session(sid) : std::nullopt;
            return session && session->mic;
        },
        microphones);
    m_service->setApprovalRequired([s = m_state] { return s && s->approval() == QLatin1String("ask"); });
    // Tests shorten the wait for the host user's answer.
    if (const int ms = qEnvironmentVariableIntValue("VELMO_HOST_ASK_TIMEOUT_MS"); testHooks && ms > 0)
        m_service->setAskTimeoutMs(ms);
    // ... and the time a lost viewer has to come back with the automatic passcode.
    const int graceMs = qEnvironmentVariableIntValue("VELMO_HOST_RECONNECT_GRACE_MS");
    m_rotation =
        new PasscodeRotation(state, testHooks && graceMs > 0 ? graceMs : PasscodeRotation::defaultGraceMs, this);

    if (source == QLatin1String("screen"))
        setUpScreen(choice.problem);
    // Tests play a machine too slow for the frame rate a viewer asks for.
    if (const int ms = qEnvironmentVariableIntValue("VELMO_HOST_ENCODE_COST_MS"); testHooks && ms > 0 && m_encoders)
        m_encoders->setExtraFrameCostUs(std::min(ms, 1000) * 1000);
    if (!m_capture) {
        // A screen that was asked for and cannot be had is said so on the viewer's side too.
        const QString notice = source != QLatin1String("screen") ? QString()
                               : session.wayland()
                                   ? QStringLiteral("この端末の画面を共有できません\n"
                                                    "この Wayland デスクトップの画面を取り込む手段が見つかりません")
                                   : QStringLiteral("この端末の画面を共有できません\n"
                                                    "画面の共有には X11 か Wayland のデスクトップが必要です");
        if (notice.isEmpty())
            m_service->setVideoFactory([](GstElement *pipeline) -> std::unique_ptr<VideoSource> {
                return std::make_unique<TestPatternSource>(pipeline);
            });
        else
            showNotice(notice);
        state->setVideo(notice.isEmpty() ? QStringLiteral("テストパターン") : QStringLiteral("画面を共有できません"),
                        QStringLiteral("x264enc / libjpeg"));
    }
    publishMonitors();

    connect(state, &HostState::changed, this, [this] {
        if (!m_state)
            return;
        m_service->setName(m_state->name());
        m_service->passcodesMayHaveChanged();
    });
    connect(state, &HostState::sharingChanged, m_service, &DeviceService::setSharing);
    connect(state, &HostState::audioChanged, this, [this] {
        if (!m_state)
            return;
        m_service->setAudioKind(m_state->audioSource());
        m_service->setAudioOn(m_state->audioOn());
    });
    connect(state, &HostState::askAnswered, m_service,
            [this](const QString &sid, bool ok) { m_service->answerAsk(sid, ok); });
    connect(state, &HostState::qualityChanged, this, [this] {
        if (m_state)
            m_service->setHostQuality(m_state->fps(), m_state->scale(), m_state->kbps());
    });
    connect(state, &HostState::disconnectRequested, m_service, &DeviceService::disconnectSession);
    // A withdrawn input right takes effect at once: the viewer's held keys and buttons go up.
    connect(state, &HostState::permissionsChanged, this, [this](const QString &sid) {
        const auto s = m_state ? m_state->session(sid) : std::nullopt;
        DeviceSession *session = m_service->session(sid);
        if (session && (!s || !s->input))
            session->releaseInput();
        m_service->setRights(sid, s && s->input, s && s->clip, s && s->files);
        m_service->setMicRight(sid, s && s->mic);
    });
    connect(state, &HostState::sendFileRequested, m_service,
            [this](const QString &sid, const QString &path) { m_service->sendFile(sid, path); });

    connect(m_service, &DeviceService::deviceIdChanged, state, &HostState::setDeviceId);
    connect(m_service, &DeviceService::registeredChanged, state, &HostState::setConnected);
    connect(m_service, &DeviceService::problem, state, &HostState::setProblem);
    connect(m_service, &DeviceService::sessionStarted, this, [this](DeviceSession *session) {
        if (!m_state)
            return;
        HostState::Session s;
        s.sid = session->sid();
        s.viewer = session->viewer();
        s.fingerprint = session->shortFingerprint();
        s.since = session->since();
        m_state->addSession(s);
    });
    connect(m_service, &DeviceService::sessionAuthed, this, [this](const QString &sid) {
        if (DeviceSession *session = m_service->session(sid))
            m_rotation->admitted(sid, session->admittedByAutoPasscode());
        if (m_state)
            m_state->updateSession(sid, [](HostState::Session &s) { s.authed = true; });
    });
    connect(m_service, &DeviceService::sessionPathChanged, this, [this](DeviceSession *session) {
        if (m_state)
            m_state->updateSession(session->sid(), [session](HostState::Session &s) {
                s.ip = session->remoteIp();
                s.relay = session->relay();
            });
    });
    // What the viewer does, for the host user: whether it records, whether its voice plays
    // into a microphone here, the files that came from it (and where they were saved) and
    // those sent to it.
    connect(m_service, &DeviceService::sessionActivity, this, [this](DeviceSession *session) {
        if (!m_state)
            return;
        QList<ControlTransfer> transfers;
        for (const FileTransfers::Transfer &t : session->exchange()->shownTransfers())
            transfers.append(controlTransfer(t));
        const bool recording = session->viewerRecording();
        const QString micSource = session->micSource();
        m_state->updateSession(session->sid(), [&](HostState::Session &s) {
            s.recording = recording;
            s.micSource = micSource;
            s.transfers = transfers;
        });
    });
    // The figures each viewer gets once a second, for the host user too.
    connect(m_service, &DeviceService::sessionStats, this, [this](DeviceSession *session) {
        if (!m_state)
            return;
        const ControlSessionLink link = ControlSessionLink::fromStats(StatsMessage::fromJson(session->lastStats()));
        m_state->updateSession(session->sid(), [&](HostState::Session &s) { s.link = link; });
    });
    connect(m_service, &DeviceService::sessionEnded, this, [this](const QString &sid, bool forGood, bool byAuto) {
        m_rotation->ended(sid, forGood, byAuto);
        if (!m_state)
            return;
        m_state->removeAsk(sid); // a viewer that leaves withdraws its request
        m_state->removeSession(sid);
    });
    connect(m_service, &DeviceService::sessionAsking, this, [this](DeviceSession *session) {
        if (!m_state)
            return;
        const auto &intro = session->introduction();
        HostState::Ask ask;
        ask.sid = session->sid();
        ask.name = intro ? intro->displayName() : QString();
        ask.ip = session->remoteIp();
        ask.at = QDateTime::currentSecsSinceEpoch();
        ask.viewer = session->viewer();
        ask.fingerprint = session->shortFingerprint();
        ask.expires = session->askExpires();
        m_state->addAsk(ask);
    });
    connect(m_service, &DeviceService::sessionAskClosed, this, [this](const QString &sid) {
        if (m_state)
            m_state->removeAsk(sid);
    });
    connect(m_service, &DeviceService::sessionIntroduced, this, [this](DeviceSession *session) {
        if (!m_state || !session->introduction())
            return;
        const ViewerIntroduction intro = *session->introduction();
        m_state->updateSession(session->sid(), [&intro](HostState::Session &s) {
            s.name = intro.displayName();
            s.info = HostState::ViewerInfo{intro.app, intro.os, QString(), QString(), intro.ver};
            s.icon = intro.icon;
        });
        // A request already shown gets the name too.
        for (HostState::Ask a : m_state->asks())
            if (a.sid == session->sid()) {
                a.name = intro.displayName();
                m_state->addAsk(a);
            }
    });
    connect(m_service, &DeviceService::audioCaptureChanged, this, [this](DeviceSession *session) {
        if (m_state)
            m_state->setAudioCapture(session->audioDevice(), session->audioError());
    });
}

DeviceBinding::~DeviceBinding() {
    stop();
    // Sessions go before the input they send to, the parts before the back end that made them.
    delete m_service;
    m_service = nullptr;
    delete m_capture;
    m_capture = nullptr;
    m_injector.reset();
    m_clipboard.reset();
}

void DeviceBinding::setUpScreen(const QString &choiceProblem) {
    QString problem = choiceProblem;
    ScreenCapture *capture = m_backend ? m_backend->openCapture(this, &problem) : nullptr;
    if (!capture) {
        // Nothing real can be shown: the status says so, viewers are told.
        qCWarning(lcBinding) << "screen sharing is not possible:" << problem;
        m_state->setScreenPerm(QStringLiteral("denied"));
        m_state->setScreenError(problem);
        return;
    }
    m_capture = capture;
    m_encoders = std::make_unique<EncoderPool>();
    if (capture->waiting()) {
        // The desktop asks its user in its own dialog: "asking" until the answer, then
        // "granted" (or "denied" with the reason, through failed()).
        qCInfo(lcBinding) << "waiting for the desktop's user to allow sharing the screen";
        m_state->setScreenPerm(QStringLiteral("asking"));
        if (m_injector && m_backend->inputEndsWithScreen())
            m_state->setInputPerm(QStringLiteral("asking"));
        connect(capture, &ScreenCapture::ready, this, [this] {
            if (!m_state || m_state->screenPerm() != QLatin1String("asking"))
                return;
            m_state->setScreenPerm(QStringLiteral("granted"));
            if (m_state->inputPerm() != QLatin1String("asking"))
                return;
            if (const QString why = m_backend->inputProblem(); why.isEmpty()) {
                m_state->setInputPerm(QStringLiteral("granted"));
            } else {
                qCWarning(lcBinding) << "no input for viewers:" << why;
                m_state->setInputPerm(QStringLiteral("denied"));
            }
        });
    } else {
        m_state->setScreenPerm(QStringLiteral("unneeded"));
    }
    m_state->setVideo(capture->description(), m_encoders->h264Encoder() + QStringLiteral(" / libjpeg"));
    m_service->setVideoFactory(
        [capture, pool = m_encoders.get()](GstElement *pipeline) -> std::unique_ptr<VideoSource> {
            return std::make_unique<ScreenVideoSource>(capture, pool, pipeline);
        });
    connect(capture, &ScreenCapture::monitorsChanged, this, &DeviceBinding::publishMonitors);
    // The desktop ended the session the pictures came through: the status says so (and the
    // input, when it went through the same session).
    connect(capture, &ScreenCapture::failed, this, [this](const QString &why) {
        qCWarning(lcBinding) << "screen sharing ended:" << why;
        m_state->setScreenPerm(QStringLiteral("denied"));
        m_state->setScreenError(why);
        if (m_backend && m_backend->inputEndsWithScreen())
            m_state->setInputPerm(QStringLiteral("denied"));
        // Viewers from now on are told, instead of waiting for pictures that cannot come.
        showNotice(QStringLiteral("この端末の画面を共有できません\n"
                                  "デスクトップが画面の共有を許可しなかったか、共有を終えました"));
        publishMonitors();
    });
    m_service->setThumbnailSource([capture] { return capture->snapshot(capture->primaryId(), QSize(320, 180)); });
}

// Viewers get a still picture that says the screen cannot be shared, and why.
void DeviceBinding::showNotice(const QString &notice) {
    m_noticeOnly = true;
    m_service->setVideoFactory([notice](GstElement *pipeline) -> std::unique_ptr<VideoSource> {
        return std::make_unique<TestPatternSource>(pipeline, notice);
    });
    m_service->setThumbnailSource([] {
        QImage thumb(320, 180, QImage::Format_RGB32);
        thumb.fill(QColor::fromRgb(TestPatternSource::noticeBackground));
        return thumb;
    });
}

void DeviceBinding::publishMonitors() {
    if (!m_state)
        return;
    QList<HostState::Monitor> monitors;
    if (m_capture && !m_noticeOnly) {
        for (const CaptureMonitor &m : m_capture->monitors())
            monitors.append({m.id, m.name, m.rect.width(), m.rect.height(), m.primary});
    } else {
        for (const QJsonValue &v :
             m_noticeOnly ? TestPatternSource::noticeMonitors() : TestPatternSource::patternMonitors()) {
            const QJsonObject m = v.toObject();
            monitors.append({m.value("id").toInt(), m.value("name").toString(), m.value("w").toInt(),
                             m.value("h").toInt(), m.value("primary").toBool()});
        }
    }
    m_state->setMonitors(monitors);
}

void DeviceBinding::start() {
    if (m_service)
        m_service->start();
}

void DeviceBinding::stop() {
    if (m_service)
        m_service->hangUpAll();
}
