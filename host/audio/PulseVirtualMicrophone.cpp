#include "audio/PulseVirtualMicrophone.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcVirtualMic, "velmo.audio.mic")

namespace {
// A connection to the sound server on a main loop of its own, run by the calling (worker)
// thread itself; every wait ends by the deadline, so a server that hangs holds nobody long.
class Connection {
public:
    explicit Connection(int timeoutMs)
        : m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {
        m_loop = pa_mainloop_new();
        m_context = m_loop ? pa_context_new(pa_mainloop_get_api(m_loop), "Velmo Remote") : nullptr;
        // The server named by PULSE_SERVER or the user's own; none is ever started for us.
        if (!m_context || pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return;
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                m_ready = true;
                return;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || !iterate())
                return;
        }
    }
    ~Connection() {
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop)
            pa_mainloop_free(m_loop);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool ready() const { return m_ready; }
    pa_context *context() const { return m_context; }

    // Runs the loop until `op` is done; false when it was not (then its callback never runs).
    bool wait(pa_operation *op) {
        if (!op)
            return false;
        bool done = true;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            if (!iterate()) {
                pa_operation_cancel(op);
                done = false;
                break;
            }
        }
        pa_operation_unref(op);
        return done;
    }

private:
    bool iterate() {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        return pa_mainloop_prepare(m_loop, int(left.count())) >= 0 && pa_mainloop_poll(m_loop) >= 0 &&
               pa_mainloop_dispatch(m_loop) >= 0;
    }

    std::chrono::steady_clock::time_point m_deadline;
    pa_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    bool m_ready = false;
};

struct Module {
    quint32 index = PA_INVALID_INDEX;
    QString name;
    QString argument;
};

QList<Module> modules(Connection &c) {
    QList<Module> list;
    auto add = [](pa_context *, const pa_module_info *info, int eol, void *data) {
        if (eol == 0 && info)
            static_cast<QList<Module> *>(data)->append(
                {info->index, QString::fromUtf8(info->name), QString::fromUtf8(info->argument ? info->argument : "")});
    };
    c.wait(pa_context_get_module_info_list(c.context(), add, &list));
    return list;
}

quint32 load(Connection &c, const char *name, const QByteArray &argument) {
    quint32 index = PA_INVALID_INDEX;
    auto loaded = [](pa_context *, uint32_t idx, void *data) { *static_cast<quint32 *>(data) = idx; };
    c.wait(pa_context_load_module(c.context(), name, argument.constData(), loaded, &index));
    return index;
}

void unload(Connection &c, quint32 index) {
    c.wait(pa_context_unload_module(
        c.context(), index, [](pa_context *, int, void *) {}, nullptr));
}

// Ours: a module whose arguments name a device with the prefix.
bool ours(const Module &m) {
    return m.argument.contains(QLatin1String(PulseVirtualMicrophone::prefix));
}

// The remapped source goes before the sink it reads from.
void unloadAll(Connection &c, QList<Module> list) {
    std::stable_sort(list.begin(), list.end(), [](const Module &a, const Module &b) {
        return a.name == QLatin1String("module-remap-source") && b.name != QLatin1String("module-remap-source");
    });
    for (const Module &m : std::as_const(list))
        unload(c, m.index);
}

// Whether the agent with this process id still runs (and so still uses its devices).
bool agentAlive(qint64 pid) {
    if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        return false;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    // The kernel keeps the first 15 bytes of the program name.
    return !comm.open(QIODevice::ReadOnly) || comm.readAll().startsWith("velmo-remote");
}
} // namespace

QString PulseVirtualMicrophone::sinkName(const QString &id) {
    return QLatin1String(prefix) + id;
}

QString PulseVirtualMicrophone::sourceName(const QString &id) {
    return QLatin1String(prefix) + id + QLatin1String("_in");
}

Result<VirtualMicrophone::Device> PulseVirtualMicrophone::create(const QString &id) const {
    using R = Result<Device>;
    static const QRegularExpression plain(QStringLiteral("^[0-9a-z]{1,16}$"));
    if (!plain.match(id).hasMatch())
        return R::failure(Error::make(Error::Kind::Invalid, QStringLiteral("bad device id")));
    Connection c(timeoutMs);
    if (!c.ready())
        return R::failure(Error::make(Error::Kind::Unavailable, QStringLiteral("サウンドサーバーにつながりません")));
    const QByteArray owner = "velmo.pid=" + QByteArray::number(qint64(::getpid()));
    const QString sink = sinkName(id);
    const QString source = sourceName(id);
    const quint32 sinkModule = load(c, "module-null-sink",
                                    "sink_name=" + sink.toUtf8() + " sink_properties=\"device.description='" +
                                        QStringLiteral("Velmo Remote マイク(再生先)").toUtf8() + "' " + owner + "\"");
    if (sinkModule == PA_INVALID_INDEX)
        return R::failure(
            Error::make(Error::Kind::Unavailable, QStringLiteral("仮想マイクを作れません: ") +
                                                      QString::fromUtf8(pa_strerror(pa_context_errno(c.context())))));
    const quint32 sourceModule =
        load(c, "module-remap-source",
             "master=" + sink.toUtf8() + ".monitor source_name=" + source.toUtf8() +
                 " source_properties=\"device.description='" + QStringLiteral("Velmo Remote マイク").toUtf8() +
                 "' device.icon_name=audio-input-microphone " + owner + "\"");
    if (sourceModule == PA_INVALID_INDEX) {
        const QString why = QString::fromUtf8(pa_strerror(pa_context_errno(c.context())));
        unload(c, sinkModule);
        return R::failure(Error::make(Error::Kind::Unavailable, QStringLiteral("仮想マイクを作れません: ") + why));
    }
    qCInfo(lcVirtualMic).noquote() << "virtual microphone" << source << "plays" << sink;
    return R::success({sink, source});
}

void PulseVirtualMicrophone::remove(const QString &id) const {
    Connection c(timeoutMs);
    if (!c.ready())
        return;
    // The sink, its remapped monitor, and nothing of a longer id that starts the same.
    const QRegularExpression named(QRegularExpression::escape(sinkName(id)) + QStringLiteral("(?![0-9a-z])"));
    QList<Module> mine;
    for (const Module &m : modules(c))
        if (ours(m) && named.match(m.argument).hasMatch())
            mine.append(m);
    unloadAll(c, mine);
    if (!mine.isEmpty())
        qCInfo(lcVirtualMic).noquote() << "virtual microphone" << sourceName(id) << "removed";
}

int PulseVirtualMicrophone::removeLeftovers() const {
    Connection c(timeoutMs);
    if (!c.ready())
        return 0;
    static const QRegularExpression ownerPid(QStringLiteral("velmo\\.pid=(\\d+)"));
    QList<Module> left;
    for (const Module &m : modules(c)) {
        if (!ours(m))
            continue;
        const QRegularExpressionMatch owner = ownerPid.match(m.argument);
        const qint64 pid = owner.hasMatch() ? owner.captured(1).toLongLong() : 0;
        if (pid != qint64(::getpid()) && !agentAlive(pid))
            left.append(m);
    }
    unloadAll(c, left);
    if (!left.isEmpty())
        qCInfo(lcVirtualMic) << "removed" << left.size() << "sound server modules left by an earlier agent";
    return int(left.size());
}
