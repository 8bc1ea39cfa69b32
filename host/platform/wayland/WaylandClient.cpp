#include "platform/wayland/WaylandClient.h"

#include "xdg-output-unstable-v1-client-protocol.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <wayland-client.h>

Q_LOGGING_CATEGORY(lcWayland, "velmo.wayland")

namespace {
constexpr uint32_t kOutputVersion = 4;
constexpr uint32_t kXdgOutputVersion = 3;

// Listeners run on the connection's own thread, inside a dispatch.
void outputGeometry(void *data, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                    int32_t transform) {
    static_cast<WaylandClient::Output *>(data)->transform = transform;
}
void outputMode(void *data, wl_output *, uint32_t flags, int32_t width, int32_t height, int32_t) {
    if (flags & WL_OUTPUT_MODE_CURRENT)
        static_cast<WaylandClient::Output *>(data)->mode = QSize(width, height);
}
void outputScale(void *data, wl_output *, int32_t factor) {
    static_cast<WaylandClient::Output *>(data)->scale = factor;
}
void outputName(void *data, wl_output *, const char *name) {
    static_cast<WaylandClient::Output *>(data)->name = QString::fromUtf8(name);
}
void outputDescription(void *, wl_output *, const char *) {}
void xdgPosition(void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
    static_cast<WaylandClient::Output *>(data)->logical.moveTo(x, y);
}
void xdgSize(void *data, zxdg_output_v1 *, int32_t w, int32_t h) {
    static_cast<WaylandClient::Output *>(data)->logical.setSize(QSize(w, h));
}
void xdgDone(void *, zxdg_output_v1 *) {
    // Deprecated since version 3: wl_output.done closes the change.
}
void xdgName(void *data, zxdg_output_v1 *, const char *name) {
    static_cast<WaylandClient::Output *>(data)->name = QString::fromUtf8(name);
}
void xdgDescription(void *, zxdg_output_v1 *, const char *) {}
} // namespace

QRect WaylandClient::Output::desktopRect() const {
    QSize size = mode;
    // A rotated output's pictures are as the user sees them.
    if (transform % 2 == 1)
        size.transpose();
    if (size.isEmpty())
        size = logical.size();
    return QRect(logical.topLeft(), size);
}

std::unique_ptr<WaylandClient> WaylandClient::connect(QString *problem) {
    // Unset, libwayland takes its default ("wayland-0" in XDG_RUNTIME_DIR).
    QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty())
        name = "wayland-0";
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        *problem = QStringLiteral("cannot connect to the Wayland compositor \"%1\": %2")
                       .arg(QString::fromLocal8Bit(name), QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    std::unique_ptr<WaylandClient> c(new WaylandClient);
    c->m_display = display;
    c->m_registry = wl_display_get_registry(display);
    static const wl_registry_listener listener{&WaylandClient::onGlobal, &WaylandClient::onGlobalRemove};
    wl_registry_add_listener(c->m_registry, &listener, c.get());
    // The globals, then the outputs' details.
    if (!c->roundtrip() || !c->roundtrip()) {
        *problem =
            QStringLiteral("the Wayland compositor \"%1\" broke the connection").arg(QString::fromLocal8Bit(name));
        return nullptr;
    }
    return c;
}

WaylandClient::~WaylandClient() {
    for (const auto &o : m_outputs) {
        if (o->xdg)
            zxdg_output_v1_destroy(o->xdg);
        if (o->output)
            wl_output_destroy(o->output);
    }
    if (m_xdgOutputs)
        zxdg_output_manager_v1_destroy(m_xdgOutputs);
    if (m_registry)
        wl_registry_destroy(m_registry);
    if (m_display)
        wl_display_disconnect(m_display);
}

int WaylandClient::fd() const {
    return wl_display_get_fd(m_display);
}

bool WaylandClient::has(const char *interface) const {
    for (const Global &g : m_globals)
        if (g.interface == QLatin1String(interface))
            return true;
    return false;
}

void *WaylandClient::bind(const wl_interface *iface, uint32_t version) const {
    for (const Global &g : m_globals)
        if (g.interface == QLatin1String(iface->name))
            return wl_registry_bind(m_registry, g.name, iface, std::min(version, g.version));
    return nullptr;
}

const WaylandClient::Output *WaylandClient::output(const QString &name) const {
    for (const auto &o : m_outputs)
        if (o->name == name)
            return o.get();
    return nullptr;
}

void WaylandClient::onGlobal(void *data, wl_registry *, uint32_t name, const char *interface, uint32_t version) {
    auto *self = static_cast<WaylandClient *>(data);
    self->m_globals.push_back({name, QString::fromUtf8(interface), version});
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        self->addOutput(name, version);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !self->m_xdgOutputs) {
        self->m_xdgOutputs = static_cast<zxdg_output_manager_v1 *>(wl_registry_bind(
            self->m_registry, name, &zxdg_output_manager_v1_interface, std::min(version, kXdgOutputVersion)));
        for (const auto &o : self->m_outputs)
            self->watchOutput(o.get());
    }
}

void WaylandClient::onGlobalRemove(void *data, wl_registry *, uint32_t name) {
    auto *self = static_cast<WaylandClient *>(data);
    std::erase_if(self->m_globals, [name](const Global &g) { return g.name == name; });
    for (auto it = self->m_outputs.begin(); it != self->m_outputs.end(); ++it) {
        if ((*it)->global != name)
            continue;
        if ((*it)->xdg)
            zxdg_output_v1_destroy((*it)->xdg);
        wl_output_destroy((*it)->output);
        self->m_outputs.erase(it);
        self->outputChanged();
        return;
    }
}

void WaylandClient::addOutput(uint32_t name, uint32_t version) {
    auto o = std::make_unique<Output>();
    o->global = name;
    o->client = this;
    o->output = static_cast<wl_output *>(
        wl_registry_bind(m_registry, name, &wl_output_interface, std::min(version, kOutputVersion)));
    static const wl_output_listener listener{outputGeometry,
                                             outputMode,
                                             [](void *data, wl_output *) {
                                                 auto *out = static_cast<Output *>(data);
                                                 out->announced = true;
                                                 // Without xdg-output the layout place is unknown: the size follows the
                                                 // mode.
                                                 if (!out->xdg)
                                                     out->logical.setSize(out->mode / std::max(1, out->scale));
                                                 out->client->outputChanged();
                                             },
                                             outputScale,
                                             outputName,
                                             outputDescription};
    wl_output_add_listener(o->output, &listener, o.get());
    Output *raw = o.get();
    m_outputs.push_back(std::move(o));
    if (m_xdgOutputs)
        watchOutput(raw);
}

void WaylandClient::watchOutput(Output *o) {
    if (o->xdg || !m_xdgOutputs)
        return;
    o->xdg = zxdg_output_manager_v1_get_xdg_output(m_xdgOutputs, o->output);
    static const zxdg_output_v1_listener listener{xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};
    zxdg_output_v1_add_listener(o->xdg, &listener, o);
}

void WaylandClient::outputChanged() {
    if (m_outputsChanged)
        m_outputsChanged();
}

bool WaylandClient::dispatchPending() {
    if (m_broken)
        return false;
    // Read what the socket holds without waiting, then handle it.
    while (wl_display_prepare_read(m_display) != 0)
        wl_display_dispatch_pending(m_display);
    wl_display_flush(m_display);
    pollfd fd{wl_display_get_fd(m_display), POLLIN, 0};
    if (::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN)) {
        if (wl_display_read_events(m_display) < 0)
            m_broken = true;
    } else {
        wl_display_cancel_read(m_display);
    }
    if (wl_display_dispatch_pending(m_display) < 0 || wl_display_get_error(m_display) != 0)
        m_broken = true;
    return !m_broken;
}

bool WaylandClient::roundtrip() {
    if (m_broken || wl_display_roundtrip(m_display) < 0)
        m_broken = true;
    return !m_broken;
}

bool WaylandClient::dispatchFor(int timeoutMs, int wakeFd) {
    if (m_broken)
        return false;
    while (wl_display_prepare_read(m_display) != 0)
        wl_display_dispatch_pending(m_display);
    wl_display_flush(m_display);
    pollfd fds[2] = {{wl_display_get_fd(m_display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (wl_display_read_events(m_display) < 0)
            m_broken = true;
    } else {
        wl_display_cancel_read(m_display);
    }
    if (wl_display_dispatch_pending(m_display) < 0 || wl_display_get_error(m_display) != 0)
        m_broken = true;
    return !m_broken;
}

QList<QString> WaylandClient::probeGlobals() {
    QString problem;
    const auto client = connect(&problem);
    QList<QString> names;
    if (!client) {
        qCInfo(lcWayland) << problem;
        return names;
    }
    for (const Global &g : client->m_globals)
        names << g.interface;
    return names;
}
