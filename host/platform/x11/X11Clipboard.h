#pragma once

#include "clipboard/ClipboardBackend.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>

class ClipFilesOffer;

class QSocketNotifier;
struct _XDisplay;

// The CLIPBOARD selection of the X display in DISPLAY, on the agent's own connection
// and an unmapped window. XFixes reports every new owner; the text is then asked for
// as UTF8_STRING (STRING when the owner has no UTF-8), large texts arriving through
// the INCR protocol. setText() takes ownership and answers other clients' requests
// for TARGETS, UTF8_STRING, TEXT and STRING. Pictures go both ways as image/png (the
// owner's TARGETS are asked first; text wins when both are offered); setImage() serves
// TARGETS and image/png. Texts over ClipText::maxBytes and pictures over
// ClipImage::maxBytes are not passed on; a copy too large for one X request is not
// served (no INCR when owning). Copied files go both ways too: an owner that offers
// text/uri-list or x-special/gnome-copied-files is asked for that first (a file manager
// also offers the paths as text), and its local file: URLs come out as copiedFiles();
// setFiles() serves TARGETS, text/uri-list and x-special/gnome-copied-files, holding a
// request back (no SelectionNotify yet) while the viewer's files are fetched, at most
// filesWaitMs; it is refused when the fetch fails, the time is up or the offer is gone.
class X11Clipboard : public ClipboardBackend {
    Q_OBJECT
public:
    // nullptr and *problem when there is no display or it lacks XFixes.
    static std::unique_ptr<X11Clipboard> open(QString *problem);
    ~X11Clipboard() override;

    void setText(const QString &text) override;
    void setImage(const QByteArray &png) override;
    void setFiles(ClipFilesOffer *offer) override;

    static constexpr int filesWaitMs = 60000;
    static constexpr int maxWaitingRequests = 16;

private:
    X11Clipboard(_XDisplay *display, int xfixesEvent);
    void readEvents();
    void handle(void *event);
    void requestText(unsigned long time, unsigned long target);
    void onSelectionNotify(void *event);
    void onPropertyNotify(void *event);
    void serve(void *event);
    struct Request {
        unsigned long requestor = 0, selection = 0, target = 0, property = 0, time = 0;
    };
    void answer(const Request &request, bool withFiles);
    void answerWaiting();
    void take();
    void finishRead(bool ok);
    void chooseTarget();
    qsizetype readLimit() const;

    _XDisplay *m_display = nullptr;
    unsigned long m_window = 0;
    int m_xfixesEvent = 0;
    unsigned long m_clipboard = 0, m_utf8 = 0, m_targets = 0, m_text = 0, m_incr = 0, m_property = 0;
    unsigned long m_png = 0, m_uriList = 0, m_gnomeFiles = 0;
    QSocketNotifier *m_notifier = nullptr;
    std::atomic<bool> m_lost{false};

    // While this agent owns the selection.
    bool m_owner = false;
    QByteArray m_owned; // UTF-8, or PNG when m_ownedImage
    bool m_ownedImage = false;
    QPointer<ClipFilesOffer> m_ownedFiles; // while the clipboard holds a viewer's files
    bool m_ownsFiles = false;
    QList<Request> m_waiting; // requests for the files, held back while they are fetched
    QTimer m_filesWait;
    unsigned long m_ownedSince = 0;

    // One read at a time; a copy during a read is read after it.
    bool m_reading = false;
    bool m_incrReading = false;
    bool m_readAgain = false;
    unsigned long m_againTime = 0;
    unsigned long m_readTarget = 0;
    unsigned long m_readTime = 0;
    bool m_offersText = false; // the owner being read also offers text
    QByteArray m_incoming;
    QTimer m_readTimeout;
};
