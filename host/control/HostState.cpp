#include "control/HostState.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSysInfo>

namespace {
QString randomDigits(int n) {
    QString s;
    for (int i = 0; i < n; ++i)
        s += QChar(u'0' + QRandomGenerator::system()->bounded(10));
    return s;
}
} // namespace

HostState::HostState(QObject *parent)
    : QObject(parent), m_name(QSysInfo::machineHostName()),
      m_platform(QStringLiteral("linux ") + QSysInfo::prettyProductName()), m_version(QStringLiteral(VELMO_VERSION)),
      m_autoPasscode(randomDigits(6)) {}

void HostState::setDeviceId(const QString &id) {
    if (m_deviceId == id)
        return;
    m_deviceId = id;
    Q_EMIT changed();
}

void HostState::setName(const QString &name) {
    if (m_name == name)
        return;
    m_name = name;
    Q_EMIT changed();
}

void HostState::setServer(const QString &server) {
    if (m_server == server)
        return;
    m_server = server;
    Q_EMIT changed();
}

void HostState::setProblem(const QString &text) {
    if (m_problem == text)
        return;
    m_problem = text;
    Q_EMIT changed();
}

void HostState::setConnected(bool on) {
    if (m_connected == on)
        return;
    m_connected = on;
    Q_EMIT changed();
}

void HostState::setSharing(bool on) {
    if (m_sharing == on)
        return;
    m_sharing = on;
    Q_EMIT sharingChanged(on);
    Q_EMIT changed();
}

void HostState::setNoticeBar(bool on) {
    if (m_noticeBar == on)
        return;
    m_noticeBar = on;
    Q_EMIT changed();
}

void HostState::setUnattended(bool on) {
    if (m_unattended == on)
        return;
    m_unattended = on;
    Q_EMIT unattendedChanged();
    Q_EMIT changed();
}

void HostState::setAllowAsk(bool on) {
    if (m_allowAsk == on)
        return;
    m_allowAsk = on;
    Q_EMIT changed();
}

bool HostState::isApprovalMode(const QString &mode) {
    return mode == QLatin1String("passcode") || mode == QLatin1String("ask");
}

bool HostState::setApproval(const QString &mode) {
    if (!isApprovalMode(mode))
        return false;
    if (m_approval != mode) {
        m_approval = mode;
        Q_EMIT approvalChanged();
        Q_EMIT changed();
    }
    return true;
}

void HostState::rotatePasscode() {
    QString next;
    do
        next = randomDigits(6);
    while (next == m_autoPasscode);
    m_autoPasscode = next;
    Q_EMIT changed();
}

void HostState::setFixedPasscode(const QString &passcode) {
    if (m_fixedPasscode == passcode)
        return;
    m_fixedPasscode = passcode;
    Q_EMIT changed();
}

bool HostState::setPasscodeMode(const QString &mode) {
    if (mode != QLatin1String("auto") && mode != QLatin1String("fixed") && mode != QLatin1String("both"))
        return false;
    if (m_passcodeMode != mode) {
        m_passcodeMode = mode;
        Q_EMIT changed();
    }
    return true;
}

void HostState::setQuality(int fps, double scale, int kbps) {
    if (m_fps == fps && m_scale == scale && m_kbps == kbps)
        return;
    m_fps = fps;
    m_scale = scale;
    m_kbps = kbps;
    Q_EMIT qualityChanged();
    Q_EMIT changed();
}

void HostState::setVideo(const QString &video, const QString &encoder) {
    if (m_video == video && m_encoder == encoder)
        return;
    m_video = video;
    m_encoder = encoder;
    Q_EMIT changed();
}

void HostState::setAudio(bool on, const QString &source) {
    if (m_audioOn == on && m_audioSource == source)
        return;
    m_audioOn = on;
    m_audioSource = source;
    Q_EMIT audioChanged();
    Q_EMIT changed();
}

void HostState::setAudioCapture(const QString &device, const QString &error) {
    if (m_audioDevice == device && m_audioError == error)
        return;
    m_audioDevice = device;
    m_audioError = error;
    Q_EMIT changed();
}

void HostState::setBackend(const QString &name) {
    if (m_backend == name)
        return;
    m_backend = name;
    Q_EMIT changed();
}

void HostState::setScreenError(const QString &error) {
    if (m_screenError == error)
        return;
    m_screenError = error;
    Q_EMIT changed();
}

void HostState::setDisplayServer(const QString &kind) {
    if (m_displayServer == kind)
        return;
    m_displayServer = kind;
    Q_EMIT changed();
}

void HostState::setMonitors(const QList<Monitor> &monitors) {
    if (m_monitors == monitors)
        return;
    m_monitors = monitors;
    Q_EMIT changed();
}

std::optional<HostState::Session> HostState::session(const QString &sid) const {
    for (const Session &s : m_sessions)
        if (s.sid == sid)
            return s;
    return std::nullopt;
}

void HostState::addSession(const Session &s) {
    for (Session &old : m_sessions) {
        if (old.sid == s.sid) {
            if (old == s)
                return;
            old = s;
            Q_EMIT changed();
            return;
        }
    }
    m_sessions.append(s);
    Q_EMIT changed();
}

bool HostState::updateSession(const QString &sid, const std::function<void(Session &)> &change) {
    for (Session &s : m_sessions) {
        if (s.sid != sid)
            continue;
        Session next = s;
        change(next);
        next.sid = sid;
        if (!(next == s)) {
            s = next;
            Q_EMIT changed();
        }
        return true;
    }
    return false;
}

bool HostState::removeSession(const QString &sid) {
    const qsizetype n = m_sessions.removeIf([&](const Session &s) { return s.sid == sid; });
    if (n > 0)
        Q_EMIT changed();
    return n > 0;
}

bool HostState::requestDisconnect(const QString &sid) {
    if (removeSession(sid)) {
        Q_EMIT disconnectRequested(sid);
        return true;
    }
    // A request still waiting for the user is refused.
    return answerAsk(sid, false);
}

bool HostState::requestSendFile(const QString &sid, const QString &path) {
    const std::optional<Session> s = session(sid);
    if (!s || !s->authed || !s->files)
        return false;
    Q_EMIT sendFileRequested(sid, path);
    return true;
}

bool HostState::setPermissions(const QString &sid, bool input, bool clip, bool files, std::optional<bool> mic) {
    bool found = false;
    for (Session &s : m_sessions) {
        if (s.sid != sid)
            continue;
        found = true;
        if (s.input == input && s.clip == clip && s.files == files && (!mic || s.mic == *mic))
            break;
        s.input = input;
        s.clip = clip;
        s.files = files;
        if (mic)
            s.mic = *mic;
        Q_EMIT permissionsChanged(sid);
        Q_EMIT changed();
        break;
    }
    return found;
}

void HostState::addAsk(const Ask &a) {
    for (Ask &old : m_asks) {
        if (old.sid == a.sid) {
            if (!(old == a)) {
                old = a;
                Q_EMIT changed();
            }
            return;
        }
    }
    m_asks.append(a);
    Q_EMIT changed();
}

bool HostState::removeAsk(const QString &sid) {
    const qsizetype n = m_asks.removeIf([&](const Ask &a) { return a.sid == sid; });
    if (n > 0)
        Q_EMIT changed();
    return n > 0;
}

bool HostState::answerAsk(const QString &sid, bool ok) {
    if (!removeAsk(sid))
        return false;
    Q_EMIT askAnswered(sid, ok);
    return true;
}

bool HostState::addController(const QString &label, const QString &pub) {
    if (pub.trimmed().isEmpty())
        return false;
    for (Controller &c : m_controllers) {
        if (c.pub == pub) {
            if (c.label != label) {
                c.label = label;
                Q_EMIT changed();
            }
            return true;
        }
    }
    if (m_controllers.size() >= maxControllers)
        return false;
    m_controllers.append({label, pub, QDateTime::currentSecsSinceEpoch()});
    Q_EMIT changed();
    return true;
}

bool HostState::removeController(const QString &pub) {
    const qsizetype n = m_controllers.removeIf([&](const Controller &c) { return c.pub == pub; });
    if (n > 0)
        Q_EMIT changed();
    return n > 0;
}

bool HostState::isControllerAllowed(const QString &pub) const {
    for (const Controller &c : m_controllers)
        if (c.pub == pub)
            return true;
    return false;
}

void HostState::setEulaRequired(const std::optional<Eula> &eula) {
    if (m_eula == eula)
        return;
    m_eula = eula;
    Q_EMIT changed();
}

void HostState::acceptEula() {
    setEulaRequired(std::nullopt);
}

void HostState::setInputPerm(const QString &s) {
    if (m_inputPerm == s)
        return;
    m_inputPerm = s;
    Q_EMIT changed();
}

void HostState::setScreenPerm(const QString &s) {
    if (m_screenPerm == s)
        return;
    m_screenPerm = s;
    Q_EMIT changed();
}

QJsonObject HostState::toStatusJson() const {
    ControlStatus status;
    status.id = m_deviceId;
    status.name = m_name;
    status.platform = m_platform;
    status.version = m_version;
    status.server = m_server;
    status.connected = m_connected;
    status.problem = m_problem;
    status.sharing = m_sharing;
    status.autoPasscode = m_autoPasscode;
    status.passcodeMode = m_passcodeMode;
    status.hasFixed = !m_fixedPasscode.isEmpty();
    status.fps = m_fps;
    status.scale = m_scale;
    status.kbps = m_kbps;
    status.video = m_video;
    status.encoder = m_encoder;
    status.audioOn = m_audioOn;
    status.audioSource = m_audioSource;
    status.monitors = m_monitors;
    status.sessions = m_sessions;
    status.noticeBar = m_noticeBar;
    status.unattended = m_unattended;
    status.controllers = m_controllers;
    status.eulaRequired = m_eula;
    status.allowAsk = m_allowAsk;
    status.asks = m_asks;
    status.inputPerm = m_inputPerm;
    status.screenPerm = m_screenPerm;
    status.approval = m_approval;
    status.displayServer = m_displayServer;
    status.backend = m_backend;
    status.screenError = m_screenError;
    status.audioError = m_audioError;
    status.audioDevice = m_audioDevice;
    return status.toJson();
}
