#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_output;
struct wl_registry;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

// One connection to the Wayland compositor in WAYLAND_DISPLAY: the globals it offers,
// bound on demand, and its outputs with their names and places in the layout (from
// xdg-output where offered). Each part of the wlroots back end has a connection of its
// own, used on one thread only (the main thread, or a feed's capture thread).
class WaylandClient {
public:
    struct Output {
        WaylandClient *client = nullptr;
        uint32_t global = 0;
        wl_output *output = nullptr;
        zxdg_output_v1 *xdg = nullptr;
        QString name;  // "HEADLESS-1", "DP-1"
        QRect logical; // position and size in the layout
        QSize mode;    // the current mode in buffer pixels
        int32_t transform = 0;
        int32_t scale = 1;
        bool announced = false; // wl_output.done arrived
        // The output in the capture's coordinates: placed where the layout puts it, as large
        // as its pictures are (buffer pixels).
        QRect desktopRect() const;
    };

    // Connects to WAYLAND_DISPLAY and learns the globals and outputs (two round trips);
    // null and why in *problem when no compositor answers.
    static std::unique_ptr<WaylandClient> connect(QString *problem);
    ~WaylandClient();
    WaylandClient(const WaylandClient &) = delete;
    WaylandClient &operator=(const WaylandClient &) = delete;

    wl_display *display() const { return m_display; }
    int fd() const;
    // Whether the compositor offers `interface`.
    bool has(const char *interface) const;
    // Binds the global named like `iface` at most at `version`; null when not offered.
    void *bind(const wl_interface *iface, uint32_t version) const;
    // Sends what is queued and handles every event that has arrived, without blocking.
    // False once the connection broke.
    bool dispatchPending();
    // Waits until the compositor has handled what was sent and its answers are handled.
    bool roundtrip();
    // Waits at most `timeoutMs` for events (or `wakeFd`, when not -1), then handles them.
    bool dispatchFor(int timeoutMs, int wakeFd = -1);
    bool broken() const { return m_broken; }

    const std::vector<std::unique_ptr<Output>> &outputs() const { return m_outputs; }
    const Output *output(const QString &name) const;
    // Called (on the connection's thread, while events are handled) when an output
    // appeared, changed or went away.
    void setOutputsChanged(std::function<void()> callback) { m_outputsChanged = std::move(callback); }

    // The globals of the compositor in WAYLAND_DISPLAY (interface names), for choosing a
    // back end; empty without a compositor.
    static QList<QString> probeGlobals();

private:
    WaylandClient() = default;
    struct Global {
        uint32_t name;
        QString interface;
        uint32_t version;
    };
    void addOutput(uint32_t name, uint32_t version);
    void watchOutput(Output *o);

public:
    // An output's details changed (wl_output.done), or one went away.
    void outputChanged();

private:
    static void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version);
    static void onGlobalRemove(void *data, wl_registry *registry, uint32_t name);

    wl_display *m_display = nullptr;
    wl_registry *m_registry = nullptr;
    zxdg_output_manager_v1 *m_xdgOutputs = nullptr;
    std::vector<Global> m_globals;
    std::vector<std::unique_ptr<Output>> m_outputs;
    std::function<void()> m_outputsChanged;
    bool m_broken = false;
};
