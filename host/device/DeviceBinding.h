#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

struct DesktopSession;

class ClipboardBackend;
class DesktopBackend;
class DeviceService;
class EncoderPool;
class HostState;
class PasscodeRotation;
class InputInjector;
class ScreenCapture;

// Connects the device side to the agent's state: the ID and server link go into the
// status, the passcodes, name, sharing and audio come from it, viewers are listed as
// sessions, and the control API's "disconnect" ends them.
class DeviceBinding : public QObject {
    Q_OBJECT
public:
    // `source`: "screen" shares the desktop of `session` (through the back end that fits
    // it) and records the sound server, "test" sends the test pattern and the test tone.
    DeviceBinding(HostState *state, const QString &dataDir, bool testHooks, const QString &source,
                  const DesktopSession &session, QObject *parent = nullptr);
    ~DeviceBinding() override;

    // Initialises GStreamer and registers with the state's server (nothing without one).
    void start();
    // Hangs up every viewer ("bye"), as on quit.
    void stop();
    DeviceService *service() const { return m_service; }

private:
    void setUpScreen(const QString &choiceProblem);
    void publishMonitors();
    void showNotice(const QString &notice);

    QPointer<HostState> m_state;
    std::unique_ptr<DesktopBackend> m_backend;     // null with the test pattern or without a usable desktop
    DeviceService *m_service = nullptr;            // child
    PasscodeRotation *m_rotation = nullptr;        // child
    std::unique_ptr<InputInjector> m_injector;     // outlives the service's sessions
    std::unique_ptr<ClipboardBackend> m_clipboard; // likewise
    ScreenCapture *m_capture = nullptr;            // child; null with the test pattern
    bool m_noticeOnly = false;                     // the screen was asked for and cannot be shared
    std::unique_ptr<EncoderPool> m_encoders;
};
