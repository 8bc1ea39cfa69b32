#pragma once

#include "input/InputInjector.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QSocketNotifier;
struct _XDisplay;

// Input on an X11 desktop through the XTEST extension, on a connection of its own to
// the display in DISPLAY. Keys are X keycodes (evdev + 8, as every X server with evdev
// keycodes numbers them); a character that no key of the layout gives is typed
// through a spare keycode bound to its keysym for the moment (XChangeKeyboardMapping),
// and the spare keycodes are emptied again once typing pauses. Every request is
// flushed at once. Main thread only; the connection's events (keyboard mapping and
// RandR changes) are read when its socket becomes readable.
class XTestInjector : public QObject, public InputInjector {
    Q_OBJECT
public:
    // Opens the display; nothing, and the reason in *problem, without a display or XTEST.
    static std::unique_ptr<XTestInjector> open(QString *problem);
    ~XTestInjector() override;

    QList<QRect> monitors() const override;
    void movePointer(QPoint desktop) override;
    bool button(int button, bool down) override;
    bool key(quint32 evdev, bool down) override;
    bool typeCharacter(char32_t ch) override;

    // How long a spare keycode keeps its temporary keysym after the last use: clients
    // read the keyboard mapping when they handle the key event, which may be a while later.
    static constexpr int restoreAfterMs = 1500;

private:
    explicit XTestInjector(_XDisplay *display);
    void readEvents();
    void readKeymap();
    void readMonitors() const;
    // keysym at `index` of keycode `kc` in the cached core mapping.
    unsigned long symAt(int kc, int index) const;
    void tap(int kc);
    int spareFor(unsigned long keysym);
    void restoreSpares();
    void flush();

    _XDisplay *m_display;                  // owned
    QSocketNotifier *m_notifier = nullptr; // child
    int m_minKeycode = 8;
    int m_maxKeycode = 255;
    int m_buttons = 3;
    int m_randrEvent = -1;
    // The core keyboard mapping, read again after every MappingNotify.
    std::vector<unsigned long> m_keymap;
    int m_symsPerCode = 0;
    bool m_keymapStale = true;
    int m_shiftCode = 0;
    struct Spare {
        int keycode = 0;
        unsigned long keysym = 0; // 0: free
        qint64 usedAt = 0;
    };
    std::vector<Spare> m_spares;
    qint64 m_uses = 0;
    QTimer m_restore;
    mutable QList<QRect> m_monitors;
    mutable bool m_monitorsStale = true;
    // RandR sends no event when monitors are defined with --setmonitor: read again now and then.
    mutable QElapsedTimer m_monitorsAge;
};
