#include "platform/wayland/mutter/MutterSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDateTime>
#include <QLoggingCategory>

#include <linux/input-event-codes.h>

Q_LOGGING_CATEGORY(lcMutter, "velmo.platform.mutter")

namespace {
const QString kRdService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString kRdSession = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
const QString kScService = QStringLiteral("org.gnome.Mutter.ScreenCast");
const QString kScSession = QStringLiteral("org.gnome.Mutter.ScreenCast.Session");
const QString kScStream = QStringLiteral("org.gnome.Mutter.ScreenCast.Stream");
const QString kDisplayConfig = QStringLiteral("org.gnome.Mutter.DisplayConfig");
// The pointer drawn into the picture by Mutter (0 hidden, 1 embedded, 2 as metadata).
constexpr quint32 kCursorEmbedded = 1;

// Calls and waits (Mutter answers at once; a hung compositor costs kCallTimeoutMs once).
QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
                  const QVariantList &args = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
    m.setArguments(args);
    m.setAutoStartService(false);
    return QDBusConnection::sessionBus().call(m, QDBus::Block, MutterSession::kCallTimeoutMs);
}

QString errorOf(const QDBusMessage &reply) {
    if (reply.type() == QDBusMessage::ErrorMessage)
        return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    if (reply.arguments().isEmpty())
        return QStringLiteral("no answer");
    return {};
}

QString pathOf(const QDBusMessage &reply) {
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
}

struct ModeSize {
    QString connector;
    QSize size;
};
} // namespace

std::shared_ptr<MutterSession> MutterSession::open(QString *problem) {
    if (!QDBusConnection::sessionBus().isConnected()) {
        *problem = QStringLiteral("no D-Bus session bus to reach Mutter on");
        return nullptr;
    }
    std::shared_ptr<MutterSession> s(new MutterSession);
    if (!readMonitors(&s->m_streams, problem) || !s->start(problem))
        return nullptr;
    MutterSession *self = s.get();
    // A compositor that ends (or crashes) closes nothing: its name leaving the bus says so.
    auto *watcher = new QDBusServiceWatcher(kRdService, QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForUnregistration, self);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, self,
            [self] { self->fail(QStringLiteral("Mutter left the session bus (the desktop ended)")); });
    s->m_streamWait.setSingleShot(true);
    s->m_streamWait.setInterval(kStreamWaitMs);
    connect(&s->m_streamWait, &QTimer::timeout, self, [self] {
        if (!self->ready())
            self->fail(QStringLiteral("Mutter started the session but its screen stream never came (PipeWire or "
                                      "WirePlumber not running?)"));
    });
    s->m_streamWait.start();
    QDBusConnection::sessionBus().connect(kDisplayConfig, QStringLiteral("/org/gnome/Mutter/DisplayConfig"),
                                          kDisplayConfig, QStringLiteral("MonitorsChanged"), self,
                                          SLOT(layoutChanged()));
    return s;
}

MutterSession::~MutterSession() {
    if (m_rdPath.isEmpty())
        return;
    for (const auto &s : std::as_const(m_streams))
        s->ended = true;
    // Stopping the remote-desktop session ends its screen cast and lets go of all it
    // pressed; queued behind the releases sent before.
    QDBusMessage m = QDBusMessage::createMethodCall(kRdService, m_rdPath, kRdSession, QStringLiteral("Stop"));
    QDBusConnection::sessionBus().call(m, QDBus::NoBlock);
}

// The monitors and their places, from Mutter's display configuration:
// GetCurrentState → (u serial, a((ssss)a(siiddada{sv})a{sv}) monitors,
//                    a(iiduba(ssss)a{sv}) logical_monitors, a{sv} properties).
bool MutterSession::readMonitors(QList<std::shared_ptr<PipeWireStream>> *out, QString *problem) {
    const QDBusMessage reply = call(kDisplayConfig, QStringLiteral("/org/gnome/Mutter/DisplayConfig"), kDisplayConfig,
                                    QStringLiteral("GetCurrentState"));
    if (const QString e = errorOf(reply); !e.isEmpty() || reply.arguments().size() < 4) {
        *problem = QStringLiteral("Mutter's display configuration cannot be read: %1")
                       .arg(e.isEmpty() ? QStringLiteral("unexpected answer") : e);
        return false;
    }
    QList<ModeSize> sizes;
    {
        const QDBusArgument a = reply.arguments().at(1).value<QDBusArgument>();
        a.beginArray();
        while (!a.atEnd()) {
            ModeSize m;
            QString vendor, product, serial;
            a.beginStructure();
            a.beginStructure();
            a >> m.connector >> vendor >> product >> serial;
            a.endStructure();
            a.beginArray();
            while (!a.atEnd()) {
                QString id;
                int w = 0, h = 0;
                double rate = 0, preferredScale = 0;
                QList<double> scales;
                QVariantMap props;
                a.beginStructure();
                a >> id >> w >> h >> rate >> preferredScale >> scales >> props;
                a.endStructure();
                if (props.value(QStringLiteral("is-current")).toBool())
                    m.size = QSize(w, h);
            }
            a.endArray();
            QVariantMap props;
            a >> props;
            a.endStructure();
            sizes.append(m);
        }
        a.endArray();
    }
    // A monitor's stream has its mode's size (turned with the monitor), also where Mutter
    // lays monitors out in logical pixels with a scale (its stream is then the logical size
    // times the scale); absolute pointer positions are given in the stream's pixels too. So
    // the rectangle is the monitor's place with the stream's size.
    const QDBusArgument a = reply.arguments().at(2).value<QDBusArgument>();
    a.beginArray();
    while (!a.atEnd()) {
        int x = 0, y = 0;
        double scale = 1;
        quint32 transform = 0;
        bool primary = false;
        QStringList connectors;
        a.beginStructure();
        a >> x >> y >> scale >> transform >> primary;
        a.beginArray();
        while (!a.atEnd()) {
            QString connector, vendor, product, serial;
            a.beginStructure();
            a >> connector >> vendor >> product >> serial;
            a.endStructure();
            connectors << connector;
        }
        a.endArray();
        QVariantMap lprops;
        a >> lprops;
        a.endStructure();
        // A mirrored logical monitor shows one picture: its first monitor is recorded.
        for (const ModeSize &m : std::as_const(sizes)) {
            if (connectors.isEmpty() || m.connector != connectors.first() || m.size.isEmpty())
                continue;
            QSize size = m.size;
            if (transform % 2 == 1)
                size.transpose();
            auto s = std::make_shared<PipeWireStream>();
            s->id = int(out->size()) + 1;
            s->connector = m.connector;
            s->rect = QRect(QPoint(x, y), size);
            s->primary = primary;
            out->append(s);
        }
    }
    a.endArray();
    if (out->isEmpty()) {
        *problem = QStringLiteral("Mutter shows no monitor");
        return false;
    }
    return true;
}

bool MutterSession::start(QString *problem) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage reply = call(kRdService, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), kRdService,
                              QStringLiteral("CreateSession"));
    if (const QString e = errorOf(reply); !e.isEmpty()) {
        *problem = QStringLiteral("Mutter refused a remote-desktop session: %1").arg(e);
        return false;
    }
    m_rdPath = pathOf(reply);
    reply = call(kRdService, m_rdPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                 {kRdSession, QStringLiteral("SessionId")});
    const QString sessionId = reply.arguments().value(0).value<QDBusVariant>().variant().toString();
    if (sessionId.isEmpty()) {
        *problem = QStringLiteral("Mutter's remote-desktop session has no id: %1").arg(errorOf(reply));
        return false;
    }
    bus.connect(kRdService, m_rdPath, kRdSession, QStringLiteral("Closed"), this, SLOT(closed()));
    QVariantMap scProps{{QStringLiteral("remote-desktop-session-id"), sessionId}};
    reply = call(kScService, QStringLiteral("/org/gnome/Mutter/ScreenCast"), kScService,
                 QStringLiteral("CreateSession"), {scProps});
    if (const QString e = errorOf(reply); !e.isEmpty()) {
        *problem = QStringLiteral("Mutter refused a screen-cast session: %1").arg(e);
        return false;
    }
    m_scPath = pathOf(reply);
    const QVariantMap recordProps{{QStringLiteral("cursor-mode"), QVariant::fromValue(kCursorEmbedded)}};
    for (const auto &s : std::as_const(m_streams)) {
        reply = call(kScService, m_scPath, kScSession, QStringLiteral("RecordMonitor"), {s->connector, recordProps});
        if (const QString e = errorOf(reply); !e.isEmpty()) {
            *problem = QStringLiteral("Mutter refused to record monitor %1: %2").arg(s->connector, e);
            return false;
        }
        s->path = pathOf(reply);
        // Before Start: the node is announced once the session runs.
        bus.connect(kScService, s->path, kScStream, QStringLiteral("PipeWireStreamAdded"), this,
                    SLOT(streamAdded(QDBusMessage)));
    }
    // The remote-desktop session starts the screen cast tied to it.
    reply = call(kRdService, m_rdPath, kRdSession, QStringLiteral("Start"));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        *problem = QStringLiteral("Mutter did not start the remote-desktop session: %1").arg(errorOf(reply));
        return false;
    }
    // Mutter makes its virtual pointer and keyboard on their first use, and drops what comes
    // before they are in place: they are made now, long before a viewer's first input. A
    // Shift tap, as harmless as a key can be.
    notify("NotifyPointerMotionRelative", {0.0, 0.0});
    notify("NotifyKeyboardKeycode", {quint32(KEY_LEFTSHIFT), true});
    notify("NotifyKeyboardKeycode", {quint32(KEY_LEFTSHIFT), false});
    m_streamWait.start();
    QStringList text;
    for (const auto &s : std::as_const(m_streams))
        text << QStringLiteral("%1 %2x%3+%4+%5")
                    .arg(s->connector)
                    .arg(s->rect.width())
                    .arg(s->rect.height())
                    .arg(s->rect.x())
                    .arg(s->rect.y());
    qCInfo(lcMutter) << "remote-desktop session" << m_rdPath << "records" << text.join(QStringLiteral(", "));
    return true;
}

// Main thread (a signal from the bus): a monitor was turned, moved or given another mode.
// Its stream follows by itself (Mutter renegotiates its size), the rectangles follow here.
void MutterSession::layoutChanged() {
    QList<std::shared_ptr<PipeWireStream>> now;
    QString problem;
    if (!m_problem.isEmpty())
        return;
    if (!readMonitors(&now, &problem)) {
        qCWarning(lcMutter) << "monitors changed:" << problem;
        return;
    }
    bool sameSet = now.size() == m_streams.size();
    for (const auto &n : std::as_const(now)) {
        bool found = false;
        for (const auto &s : std::as_const(m_streams)) {
            if (s->connector != n->connector)
                continue;
            found = true;
            s->rect = n->rect;
            s->primary = n->primary;
        }
        sameSet = sameSet && found;
    }
    if (!sameSet)
        qCWarning(lcMutter) << "monitors were added or removed: the session keeps recording those it started with";
    Q_EMIT monitorsChanged();
}

bool MutterSession::ready() const {
    for (const auto &s : m_streams)
        if (!s->node)
            return false;
    return m_problem.isEmpty();
}

void MutterSession::streamAdded(const QDBusMessage &signal) {
    const quint32 node = signal.arguments().value(0).toUInt();
    for (const auto &s : std::as_const(m_streams)) {
        if (s->path != signal.path())
            continue;
        s->node = node;
        qCInfo(lcMutter) << "monitor" << s->connector << "streams on PipeWire node" << node;
    }
    if (ready()) {
        m_streamWait.stop();
        Q_EMIT streamsReady();
    }
}

// Main thread (a signal from the bus). Mutter 43 ends the session whenever the monitor
// configuration changes (a turn, another mode, a monitor more or less): a new one is made,
// with the streams of the monitors that are still there kept under their ids (the feeds
// reading them move to the new PipeWire nodes). A session that keeps ending is given up.
void MutterSession::closed() {
    if (!m_problem.isEmpty())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_restarts.append(now);
    while (!m_restarts.isEmpty() && now - m_restarts.first() > kRestartWindowMs)
        m_restarts.removeFirst();
    if (m_restarts.size() > kMaxRestarts) {
        fail(QStringLiteral("Mutter closed the remote-desktop session"));
        return;
    }
    qCInfo(lcMutter) << "Mutter closed the remote-desktop session: a new one follows";
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kRdService, m_rdPath, kRdSession, QStringLiteral("Closed"), this, SLOT(closed()));
    for (const auto &s : std::as_const(m_streams)) {
        bus.disconnect(kScService, s->path, kScStream, QStringLiteral("PipeWireStreamAdded"), this,
                       SLOT(streamAdded(QDBusMessage)));
        s->node = 0;
    }
    m_rdPath.clear();
    // The new layout settles first (the monitors are made anew right after).
    QTimer::singleShot(kRestartDelayMs, this, &MutterSession::restart);
}

void MutterSession::restart() {
    if (!m_problem.isEmpty())
        return;
    QList<std::shared_ptr<PipeWireStream>> now;
    QString problem;
    if (!readMonitors(&now, &problem)) {
        fail(problem);
        return;
    }
    int lastId = 0;
    for (const auto &s : std::as_const(m_streams))
        lastId = std::max(lastId, s->id);
    QList<std::shared_ptr<PipeWireStream>> next;
    for (const auto &n : std::as_const(now)) {
        std::shared_ptr<PipeWireStream> kept;
        for (const auto &s : std::as_const(m_streams))
            if (s->connector == n->connector)
                kept = s;
        if (kept) {
            kept->rect = n->rect;
            kept->primary = n->primary;
            next.append(kept);
        } else {
            n->id = ++lastId;
            next.append(n);
        }
    }
    for (const auto &s : std::as_const(m_streams))
        if (!next.contains(s))
            s->ended = true;
    m_streams = next;
    if (!start(&problem)) {
        fail(problem);
        return;
    }
    Q_EMIT monitorsChanged();
    Q_EMIT restarted();
}

void MutterSession::fail(const QString &why) {
    if (!m_problem.isEmpty())
        return;
    m_problem = why;
    m_streamWait.stop();
    for (const auto &s : std::as_const(m_streams))
        s->ended = true;
    qCWarning(lcMutter) << why;
    Q_EMIT failed(why);
}

QString MutterSession::interface() {
    return kRdSession;
}

QDBusPendingCall MutterSession::callLater(const char *method, const QVariantList &args) {
    QDBusMessage m = QDBusMessage::createMethodCall(kRdService, m_rdPath, kRdSession, QLatin1String(method));
    m.setArguments(args);
    return QDBusConnection::sessionBus().asyncCall(m);
}

QDBusMessage MutterSession::callNow(const char *method, const QVariantList &args) {
    return call(kRdService, m_rdPath, kRdSession, QLatin1String(method), args);
}

void MutterSession::notify(const char *method, const QVariantList &args) {
    if (!m_problem.isEmpty() || m_rdPath.isEmpty())
        return;
    auto *watch = new QDBusPendingCallWatcher(callLater(method, args), this);
    // Main thread, when Mutter answered. A refused call is logged, a few times only.
    connect(watch, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher *w) {
        if (w->isError() && m_errorsLogged < 5) {
            ++m_errorsLogged;
            qCWarning(lcMutter) << method << "refused:" << w->error().message();
        }
        w->deleteLater();
    });
}
