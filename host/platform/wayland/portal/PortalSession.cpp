#include "platform/wayland/portal/PortalSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QLoggingCategory>

#include <fcntl.h>

Q_LOGGING_CATEGORY(lcPortal, "velmo.platform.portal")

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
// Request responses: 0 granted, 1 the user cancelled, 2 ended otherwise.
constexpr quint32 kCancelled = 1;

quint32 portalProperty(const QString &interface, const char *name) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
    m.setArguments({interface, QLatin1String(name)});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(m, QDBus::Block, PortalSession::kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return 0;
    return reply.arguments().first().value<QDBusVariant>().variant().toUInt();
}

// A value of a portal's a{sv} that is a pair of integers ("position", "size").
bool pairOf(const QVariant &v, int *a, int *b) {
    if (!v.canConvert<QDBusArgument>())
        return false;
    const QDBusArgument arg = v.value<QDBusArgument>();
    arg.beginStructure();
    arg >> *a >> *b;
    arg.endStructure();
    return true;
}

QString stringOf(const QVariant &v) {
    if (v.userType() == qMetaTypeId<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path();
    return v.toString();
}

QString devicesText(quint32 types) {
    QStringList out;
    if (types & PortalSession::kKeyboard)
        out << QStringLiteral("keyboard");
    if (types & PortalSession::kPointer)
        out << QStringLiteral("pointer");
    return out.isEmpty() ? QStringLiteral("none") : out.join(QLatin1Char('+'));
}
} // namespace

PortalSession::Versions PortalSession::probe() {
    Versions v;
    if (!QDBusConnection::sessionBus().isConnected())
        return v;
    v.screenCast = portalProperty(kScreenCast, "version");
    if (v.screenCast)
        v.cursorModes = portalProperty(kScreenCast, "AvailableCursorModes");
    v.remoteDesktop = portalProperty(kRemoteDesktop, "version");
    return v;
}

std::shared_ptr<PortalSession> PortalSession::open(const QString &restoreToken, QString *problem) {
    if (!QDBusConnection::sessionBus().isConnected()) {
        *problem = QStringLiteral("no D-Bus session bus to reach the desktop portal on");
        return nullptr;
    }
    std::shared_ptr<PortalSession> s(new PortalSession);
    s->m_versions = probe();
    if (!s->m_versions.screenCast) {
        *problem = QStringLiteral("the desktop portal (xdg-desktop-portal) offers no ScreenCast here");
        return nullptr;
    }
    s->m_remoteDesktop = s->m_versions.remoteDesktop > 0;
    if (!s->m_remoteDesktop)
        s->m_inputProblem = QStringLiteral("the desktop portal offers no RemoteDesktop: screen only, no input");
    // A remote-desktop session persists from RemoteDesktop 2; a screen cast from ScreenCast 4.
    s->m_persist = s->m_remoteDesktop ? s->m_versions.remoteDesktop >= 2 : s->m_versions.screenCast >= 4;
    s->m_givenToken = s->m_persist ? restoreToken : QString();
    PortalSession *self = s.get();
    auto *watcher = new QDBusServiceWatcher(kService, QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForUnregistration, self);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, self,
            [self] { self->fail(QStringLiteral("the desktop portal left the session bus")); });
    s->m_stepTimer.setSingleShot(true);
    s->m_stepTimer.setInterval(kStepTimeoutMs);
    connect(&s->m_stepTimer, &QTimer::timeout, self,
            [self] { self->fail(QStringLiteral("the desktop portal did not answer %1").arg(self->stepName())); });
    qCInfo(lcPortal) << "portal ScreenCast" << s->m_versions.screenCast << "RemoteDesktop"
                     << s->m_versions.remoteDesktop << "cursor modes" << s->m_versions.cursorModes
                     << (s->m_persist ? (s->m_givenToken.isEmpty() ? "persistent, no token yet" : "restoring")
                                      : "cannot persist");
    QVariantMap options{
        {QStringLiteral("session_handle_token"), QStringLiteral("velmo%1").arg(quintptr(self) & 0xffffff)}};
    s->request(Step::CreateSession, s->m_remoteDesktop ? kRemoteDesktop : kScreenCast, "CreateSession", {}, options);
    return s;
}

PortalSession::~PortalSession() {
    for (const auto &s : std::as_const(m_streams))
        s->ended = true;
    if (m_sessionHandle.isEmpty())
        return;
    // What waits still goes (releases of what viewers held among it), then the session
    // closes, which ends the screen cast and the devices.
    for (const QDBusMessage &m : std::as_const(m_queue))
        QDBusConnection::sessionBus().call(m, QDBus::NoBlock);
    QDBusMessage m = QDBusMessage::createMethodCall(kService, m_sessionHandle, kSession, QStringLiteral("Close"));
    QDBusConnection::sessionBus().call(m, QDBus::NoBlock);
}

QString PortalSession::stepName() const {
    switch (m_step) {
    case Step::CreateSession:
        return QStringLiteral("CreateSession");
    case Step::SelectDevices:
        return QStringLiteral("SelectDevices");
    case Step::SelectSources:
        return QStringLiteral("SelectSources");
    case Step::Start:
        return QStringLiteral("Start");
    case Step::Done:
        return QStringLiteral("OpenPipeWireRemote");
    }
    return {};
}

// Every step is a Request: its Response signal comes on an object the portal names after
// our unique bus name and the handle token we give. The signal is listened for before the
// call, so that an answer cannot come before we listen.
void PortalSession::request(Step step, const QString &interface, const QString &method, QVariantList args,
                            QVariantMap options) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_step = step;
    const QString token = QStringLiteral("velmo%1_%2").arg(quintptr(this) & 0xffffff).arg(++m_tokens);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    if (!m_requestPath.isEmpty())
        bus.disconnect(QString(), m_requestPath, kRequest, QStringLiteral("Response"), this,
                       SLOT(response(QDBusMessage)));
    m_requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus.connect(QString(), m_requestPath, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
    options.insert(QStringLiteral("handle_token"), token);
    args.append(options);
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    m.setArguments(args);
    // The dialog may take as long as the person in front of it: only the other steps have a limit.
    if (step == Step::Start)
        m_stepTimer.stop();
    else
        m_stepTimer.start();
    auto *watch = new QDBusPendingCallWatcher(bus.asyncCall(m, kStepTimeoutMs), this);
    // Main thread: the portal took the request (its answer comes as Response) or refused it.
    connect(watch, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher *w) {
        if (w->isError())
            fail(QStringLiteral("the desktop portal refused %1: %2").arg(method, w->error().message()));
        w->deleteLater();
    });
}

// Main thread (a signal from the bus).
void PortalSession::response(const QDBusMessage &signal) {
    if (signal.path() != m_requestPath || !m_problem.isEmpty())
        return;
    const QList<QVariant> args = signal.arguments();
    const quint32 code = args.value(0).toUInt();
    const QVariantMap results = args.size() > 1 ? qdbus_cast<QVariantMap>(args.at(1)) : QVariantMap();
    m_stepTimer.stop();
    if (code != 0) {
        if (m_step == Step::Start)
            fail(code == kCancelled ? QStringLiteral("the desktop's user refused to share the screen")
                                    : QStringLiteral("the desktop did not share the screen (the portal ended the "
                                                     "request, answer %1)")
                                          .arg(code));
        else
            fail(QStringLiteral("the desktop portal ended %1 (answer %2)").arg(stepName()).arg(code));
        return;
    }
    next(results);
}

void PortalSession::next(const QVariantMap &results) {
    switch (m_step) {
    case Step::CreateSession: {
        m_sessionHandle = stringOf(results.value(QStringLiteral("session_handle")));
        if (m_sessionHandle.isEmpty()) {
            fail(QStringLiteral("the desktop portal made a session without a handle"));
            return;
        }
        QDBusConnection::sessionBus().connect(QString(), m_sessionHandle, kSession, QStringLiteral("Closed"), this,
                                              SLOT(closed()));
        if (m_remoteDesktop) {
            QVariantMap options{{QStringLiteral("types"), QVariant::fromValue(kKeyboard | kPointer)}};
            if (m_persist) {
                options.insert(QStringLiteral("persist_mode"), QVariant::fromValue(kPersistUntilRevoked));
                if (!m_givenToken.isEmpty())
                    options.insert(QStringLiteral("restore_token"), m_givenToken);
            }
            request(Step::SelectDevices, kRemoteDesktop, QStringLiteral("SelectDevices"),
                    {QVariant::fromValue(QDBusObjectPath(m_sessionHandle))}, options);
            return;
        }
        [[fallthrough]];
    }
    case Step::SelectDevices: {
        QVariantMap options{{QStringLiteral("types"), QVariant::fromValue(kMonitor)},
                            {QStringLiteral("multiple"), true}};
        // The pointer in the picture where the portal can draw it (ScreenCast 2 and later).
        if (m_versions.screenCast >= 2)
            options.insert(
                QStringLiteral("cursor_mode"),
                QVariant::fromValue(m_versions.cursorModes & kCursorEmbedded ? kCursorEmbedded : kCursorHidden));
        // A remote-desktop session's screen cast persists with the session (above), never on its own.
        if (m_persist && !m_remoteDesktop) {
            options.insert(QStringLiteral("persist_mode"), QVariant::fromValue(kPersistUntilRevoked));
            if (!m_givenToken.isEmpty())
                options.insert(QStringLiteral("restore_token"), m_givenToken);
        }
        request(Step::SelectSources, kScreenCast, QStringLiteral("SelectSources"),
                {QVariant::fromValue(QDBusObjectPath(m_sessionHandle))}, options);
        return;
    }
    case Step::SelectSources:
        // Here the desktop asks its user.
        qCInfo(lcPortal) << "asking the desktop's user to share the screen" << (m_remoteDesktop ? "and input" : "");
        request(Step::Start, m_remoteDesktop ? kRemoteDesktop : kScreenCast, QStringLiteral("Start"),
                {QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QString()}, {});
        return;
    case Step::Start:
        started(results);
        return;
    case Step::Done:
        return;
    }
}

// Start's results: streams a(ua{sv}) (node, then "position" (ii), "size" (ii), …), devices u,
// restore_token s.
void PortalSession::started(const QVariantMap &results) {
    m_step = Step::Done;
    QList<std::shared_ptr<PipeWireStream>> streams;
    const QVariant list = results.value(QStringLiteral("streams"));
    if (list.canConvert<QDBusArgument>()) {
        const QDBusArgument a = list.value<QDBusArgument>();
        a.beginArray();
        int nextX = 0;
        while (!a.atEnd()) {
            quint32 node = 0;
            QVariantMap props;
            a.beginStructure();
            a >> node >> props;
            a.endStructure();
            int x = nextX, y = 0, w = 0, h = 0;
            pairOf(props.value(QStringLiteral("position")), &x, &y);
            if (!pairOf(props.value(QStringLiteral("size")), &w, &h) || w <= 0 || h <= 0) {
                qCWarning(lcPortal) << "stream" << node << "comes without its size: left out";
                continue;
            }
            nextX = std::max(nextX, x + w);
            auto s = std::make_shared<PipeWireStream>();
            s->id = int(streams.size()) + 1;
            s->connector = QStringLiteral("モニタ %1").arg(s->id);
            s->rect = QRect(x, y, w, h);
            s->primary = streams.isEmpty();
            s->node = node;
            streams.append(s);
        }
        a.endArray();
    }
    if (streams.isEmpty()) {
        fail(QStringLiteral("the desktop shared no monitor"));
        return;
    }
    if (m_remoteDesktop) {
        const quint32 devices = results.value(QStringLiteral("devices")).toUInt();
        if ((devices & (kKeyboard | kPointer)) != (kKeyboard | kPointer))
            m_inputProblem = QStringLiteral("the desktop's user did not allow the keyboard and the pointer "
                                            "(granted: %1)")
                                 .arg(devicesText(devices));
    }
    const QString token = results.value(QStringLiteral("restore_token")).toString();
    if (m_persist && !token.isEmpty() && token != m_restoreToken) {
        m_restoreToken = token;
        Q_EMIT tokenChanged(token);
    }
    // The pictures come through a PipeWire connection of their own that shows only the
    // shared streams.
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    m.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap()});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(m, QDBus::Block, kCallTimeoutMs);
    const QDBusUnixFileDescriptor fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
    if (reply.type() != QDBusMessage::ReplyMessage || !fd.isValid()) {
        fail(QStringLiteral("the desktop portal gave no PipeWire connection: %1")
                 .arg(reply.errorMessage().isEmpty() ? QStringLiteral("no descriptor") : reply.errorMessage()));
        return;
    }
    QStringList text;
    for (const auto &s : std::as_const(streams)) {
        s->remote = fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        text << QStringLiteral("node %1 %2x%3+%4+%5")
                    .arg(s->node.load())
                    .arg(s->rect.width())
                    .arg(s->rect.height())
                    .arg(s->rect.x())
                    .arg(s->rect.y());
    }
    m_streams = streams;
    m_ready = true;
    qCInfo(lcPortal) << "the desktop shares" << text.join(QStringLiteral(", "))
                     << (m_remoteDesktop
                             ? QStringLiteral("input: %1")
                                   .arg(m_inputProblem.isEmpty() ? QStringLiteral("keyboard+pointer") : m_inputProblem)
                             : QString());
    Q_EMIT monitorsChanged();
    Q_EMIT streamsReady();
}

// Main thread (a signal from the bus): the desktop ended the session (its user stopped
// sharing, or revoked the permission).
void PortalSession::closed() {
    fail(QStringLiteral("the desktop ended the shared session"));
}

void PortalSession::fail(const QString &why) {
    if (!m_problem.isEmpty())
        return;
    m_problem = why;
    m_stepTimer.stop();
    for (const auto &s : std::as_const(m_streams))
        s->ended = true;
    qCWarning(lcPortal) << why;
    Q_EMIT failed(why);
}

void PortalSession::notify(const char *method, const QVariantList &args) {
    if (!m_problem.isEmpty() || !m_ready || !m_remoteDesktop)
        return;
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, QLatin1String(method));
    m.setArguments(QVariantList{QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap()} + args);
    const QString motion = QStringLiteral("NotifyPointerMotionAbsolute");
    if (!m_queue.isEmpty() && m.member() == motion && m_queue.last().member() == motion) {
        m_queue.last() = m; // only the newest place matters
    } else if (m_queue.size() >= kMaxQueued) {
        if (m_errorsLogged < 5) {
            ++m_errorsLogged;
            qCWarning(lcPortal) << "the desktop portal does not keep up: input dropped";
        }
        return;
    } else {
        m_queue.append(m);
    }
    sendNext();
}

void PortalSession::sendNext() {
    if (m_inFlight || m_queue.isEmpty() || !m_problem.isEmpty())
        return;
    const QDBusMessage m = m_queue.takeFirst();
    m_inFlight = true;
    auto *watch = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(m, kCallTimeoutMs), this);
    // Main thread, when the portal answered: the next call goes. A refused call is logged,
    // a few times only.
    connect(watch, &QDBusPendingCallWatcher::finished, this, [this, method = m.member()](QDBusPendingCallWatcher *w) {
        if (w->isError() && m_errorsLogged < 5) {
            ++m_errorsLogged;
            qCWarning(lcPortal) << method << "refused:" << w->error().message();
        }
        w->deleteLater();
        m_inFlight = false;
        sendNext();
    });
}
