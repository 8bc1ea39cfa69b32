#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSize>
#include <QStringList>

#include <functional>

// A real Wayland client for the tests of the host on Wayland: the wl_event_window program
// (a full-screen window painting known colours) as a child process on WAYLAND_DISPLAY,
// with every pointer and key event the compositor delivers to it recorded here.
class WaylandEventWindow {
public:
    WaylandEventWindow() = default;
    ~WaylandEventWindow();
    WaylandEventWindow(const WaylandEventWindow &) = delete;
    WaylandEventWindow &operator=(const WaylandEventWindow &) = delete;

    // Starts the window and waits until it has painted; false (and why) when it cannot.
    bool start(QString *error);
    // The window's size once painted.
    QSize size() const { return m_size; }
    // The middle square's colour.
    void paint(const QColor &c);
    // Puts a text on the clipboard, asks for the clipboard's text (answered as an "paste" event).
    void copy(const QString &text);
    void askPaste();
    // The same for a PNG's bytes as image/png (answered as a "pasteimg" event, Base64).
    void copyImage(const QByteArray &png);
    void askPasteImage();
    // The same for files as text/uri-list (answered as a "pastefiles" event, the list as it came).
    void copyFiles(const QStringList &paths);
    void askPasteFiles();
    // Waits (with the Qt loop running) up to `ms` for an event that matches, looking only
    // past the event the previous wait returned.
    const QJsonObject *waitFor(const std::function<bool(const QJsonObject &)> &match, int ms = 5000);
    void clear();
    // Buttons and keys (native scan codes) the window saw go down and not up again.
    QList<int> buttonsHeld() const;
    QList<int> keysHeld() const;
    // Text of the key presses received, in order.
    QString typed() const;

    QList<QJsonObject> events;

private:
    void read();
    QProcess m_proc;
    QByteArray m_pending;
    QSize m_size;
    qsizetype m_cursor = 0;
};
