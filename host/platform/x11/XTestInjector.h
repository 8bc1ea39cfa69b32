#pragma once

#include "input/InputInjector.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <deque>
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
//
// Clients look a key up in the keyboard mapping when they handle its event, and they
// fetch the mapping anew only then (after a MappingNotify): a spare keycode bound again
// before the focused client has handled the key typed on it gives that key the new
// character. So a spare that has been typed on is not bound again until the events
// have settled: a round trip (the server has applied the bindings and delivered the
// keys) and then `settleMs` for the clients to read them. Until then everything that
// comes (keys, buttons, pointer, characters) waits in order behind the character that
// needs a spare; typing of long texts goes on from the event loop, never blocking it.
//
// Some clients translate a key as soon as they read it off the connection, before
// they handle the MappingNotify read with it (Tk with an input method does): a key
// typed right behind its binding gets the spare's previous character there. So the
// spares for the characters that wait are bound together, and the keys typed on them
// only `bindGapMs` after a round trip, once such clients have handled the change alone.
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
    // How long the clients get to handle the keys typed on spares before one is bound
    // again (after the round trip that has delivered them). Measured on Xvfb on a loaded
    // machine: an Xlib client (XLookupString) got a long Japanese text garbled with no
    // wait, lost characters with 150 ms, and got it exactly with 400 ms.
    static constexpr int settleMs = 400;
    // Between binding spares and typing on them. Measured with a Tk entry on Xvfb: a key
    // typed right after the round trip lost one character in a hundred, 5 ms and more
    // lost none; this leaves room for a loaded machine, once per batch of bindings.
    static constexpr int bindGapMs = 60;
    // Spare keycodes used at most: every empty keycode of the layout up to this many.
    static constexpr int maxSpares = 32;
    // Input held while the spares settle. Beyond this, presses, pointer motion and
    // characters are dropped (releases never are: no key stays down); of characters at most
    // one "text" message's worth waits, so that a flood of text cannot hold everybody's
    // input back for minutes.
    static constexpr int maxQueued = 20000;
    static constexpr int maxQueuedChars = 1000;

private:
    explicit XTestInjector(_XDisplay *display);
    void readEvents();
    void readKeymap();
    void readMonitors() const;
    // keysym at `index` of keycode `kc` in the cached core mapping.
    unsigned long symAt(int kc, int index) const;
    void tap(int kc);
    enum class Typed { Done, Bound, Settle, Failed };
    Typed typeNow(char32_t ch);
    // The layout's key for `sym` (0: none); *shifted when it is on the second level.
    int layoutKey(unsigned long sym, bool *shifted) const;
    // The least recently used spare not typed on since the last settle, or none.
    struct Spare;
    Spare *freeSpare();
    void bind(Spare &slot, unsigned long sym);
    // Binds spares for characters that wait behind the one just bound, while free ones last.
    void bindAhead();
    void wait(bool settle);
    void restoreSpares();
    void flush();

    // Input waiting behind a character that needs a settled spare.
    struct Pending {
        enum Kind { Motion, Button, Key, Char } kind;
        int value = 0; // button, keycode or character
        bool down = false;
        QPoint at;
    };
    bool busy() const { return m_settling || m_gapping || !m_queue.empty(); }
    bool enqueue(const Pending &p);
    void settled();
    void drain();

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
        // Typed on since the last settle: not to be bound again before the next.
        bool typed = false;
    };
    std::vector<Spare> m_spares;
    qint64 m_uses = 0;
    QTimer m_restore;
    std::deque<Pending> m_queue;
    int m_queuedChars = 0;
    bool m_settling = false;
    QTimer m_settle;
    bool m_gapping = false;
    QTimer m_gap;
    mutable QList<QRect> m_monitors;
    mutable bool m_monitorsStale = true;
    // RandR sends no event when monitors are defined with --setmonitor: read again now and then.
    mutable QElapsedTimer m_monitorsAge;
};
