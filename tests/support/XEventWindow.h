#pragma once

#include <QList>
#include <QString>

#include <functional>

struct _XDisplay;

// A real X client for the tests of the host's input: an override-redirect window over
// the whole screen of DISPLAY that holds the keyboard focus and records the pointer and
// key events the X server delivers to it, with the keysym its own keyboard mapping
// gives each key (mapping changes are followed as any client follows them).
class XEventWindow {
public:
    enum Kind { KeyDown, KeyUp, ButtonDown, ButtonUp, Motion };
    struct Event {
        Kind kind;
        int x = 0, y = 0;    // root coordinates
        unsigned button = 0; // X button number
        unsigned keycode = 0;
        unsigned long keysym = 0;   // as XLookupString gives it
        QString text;               // the characters the key gives
        unsigned state = 0;         // modifier and button mask before the event
        qint64 atNs = 0;            // CLOCK_MONOTONIC when it was read
        unsigned long serverMs = 0; // the X server's time of a key event
    };

    XEventWindow() = default;
    ~XEventWindow();
    XEventWindow(const XEventWindow &) = delete;
    XEventWindow &operator=(const XEventWindow &) = delete;

    // Opens DISPLAY, maps the window and takes the focus. False (and why) when it cannot.
    bool open(QString *error);
    // Takes the keyboard focus (back) for this window.
    void focus();
    // Paints a rectangle of the window (root coordinates: the window covers the screen)
    // in a colour given as 0xRRGGBB, and waits until the server has done it.
    void fill(int x, int y, int w, int h, unsigned long rgb);
    // Moves the pointer to root coordinates.
    void warp(int x, int y);
    // Reads every event that has arrived, without waiting.
    void pump();
    // Waits on the connection (not the Qt loop) up to `ms` for an event that matches,
    // looking only past the event the previous wait returned.
    const Event *waitFor(const std::function<bool(const Event &)> &match, int ms);
    // Forgets the events received so far.
    void clear() {
        events.clear();
        m_cursor = 0;
    }

    // What the server holds down right now: keycodes (XQueryKeymap) and the pointer's button mask.
    QList<int> keysDown() const;
    unsigned buttonsDown() const;
    // Text of the key events received, in order.
    QString typed() const;

    _XDisplay *display() const { return m_display; }
    int fd() const;

    QList<Event> events;

private:
    _XDisplay *m_display = nullptr;
    unsigned long m_window = 0;
    qsizetype m_cursor = 0; // first event the next wait looks at
};
