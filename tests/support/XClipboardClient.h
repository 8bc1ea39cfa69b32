#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

class QSocketNotifier;
struct _XDisplay;

// A plain X client on the display in DISPLAY that uses the CLIPBOARD selection the way
// editors do: it copies (owns the selection and answers UTF8_STRING / TARGETS
// requests, or image/png for a picture, in one property) and pastes (asks the current
// owner for UTF8_STRING or image/png and waits for the answer while the Qt event loop
// runs). Files too, in the formats file managers use.
class XClipboardClient : public QObject {
    Q_OBJECT
public:
    // On the display named (default: DISPLAY).
    explicit XClipboardClient(const QByteArray &display = {});
    ~XClipboardClient() override;

    bool ok() const { return m_display != nullptr; }
    // Takes the selection with this text.
    void copy(const QString &text);
    // Takes the selection with a PNG file's bytes, offered as image/png only. With
    // incrChunk > 0 the bytes are handed over through INCR in pieces of that size, as
    // toolkits do with large copies.
    void copyImage(const QByteArray &png, int incrChunk = 0);
    // Takes the selection with files, as a file manager does: text/uri-list,
    // x-special/gnome-copied-files ("copy" and the URLs) and their paths as UTF8_STRING.
    void copyFiles(const QStringList &paths);
    // The clipboard in any format (e.g. "text/uri-list"), or nullopt when refused or unanswered.
    std::optional<QByteArray> pasteAs(const char *target, int timeoutMs = 3000);
    // The clipboard's text, or nullopt when there is none or no answer within timeoutMs.
    std::optional<QString> paste(int timeoutMs = 3000);
    // The clipboard's image/png bytes, or nullopt when refused or unanswered.
    std::optional<QByteArray> pasteImage(int timeoutMs = 3000);
    // Whether this client still owns the selection.
    bool owns() const;
    // Requests for the text this client has answered.
    int served() const { return m_served; }

private:
    void readEvents();
    std::optional<QByteArray> request(unsigned long target, int timeoutMs);

    _XDisplay *m_display = nullptr;
    unsigned long m_window = 0;
    unsigned long m_clipboard = 0, m_utf8 = 0, m_targets = 0, m_property = 0, m_png = 0;
    unsigned long m_requestTarget = 0;
    int m_requests = 0;
    unsigned long m_ownedTarget = 0;
    unsigned long m_incr = 0, m_uriList = 0, m_gnomeFiles = 0;
    int m_incrChunk = 0;
    // The INCR hand-over under way: to which window and property, and how far.
    unsigned long m_incrWindow = 0, m_incrProperty = 0;
    qsizetype m_incrSent = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_owned;
    std::map<unsigned long, QByteArray> m_more; // further targets offered with m_owned
    int m_served = 0;
    bool m_waiting = false;
    std::optional<QByteArray> m_pasted;
};
