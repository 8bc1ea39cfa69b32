#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class DeviceService;
class HostState;
class InputInjector;

// Connects the device side to the agent's state: the ID and server link go into the
// status, the passcodes, name, sharing and audio come from it, viewers are listed as
// sessions, and the control API's "disconnect" ends them.
class DeviceBinding : public QObject {
    Q_OBJECT
public:
    DeviceBinding(HostState *state, const QString &dataDir, bool testHooks, QObject *parent = nullptr);
    ~DeviceBinding() override;

    // Initialises GStreamer and registers with the state's server (nothing without one).
    void start();
    // Hangs up every viewer ("bye"), as on quit.
    void stop();
    DeviceService *service() const { return m_service; }
    // `--source test`: the test tone instead of the sound server (the picture is the test
    // pattern either way for now).
    void setTestSource(bool on);

private:
    QPointer<HostState> m_state;
    DeviceService *m_service = nullptr;        // child
    std::unique_ptr<InputInjector> m_injector; // outlives the service's sessions
};
