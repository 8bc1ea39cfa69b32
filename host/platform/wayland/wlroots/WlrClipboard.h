#pragma once

#include "clipboard/ClipboardBackend.h"

#include <QByteArray>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSocketNotifier;
class WaylandClient;
struct wl_seat;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

// The clipboard of a wlroots desktop through the data-control protocol, which lets a
// client without a window (this agent) read and set the seat's selection. A new
// selection is read as UTF-8 text through a pipe, without blocking (given up after 3 s);
// setText() offers the text as a data source of the agent until another client copies.
// A selection that offers no text but image/png is read as a picture, and setImage()
// offers image/png. Texts over ClipText::maxBytes and pictures over ClipImage::maxBytes
// are not passed on. Copied files go both ways as on X11: a selection offering
// text/uri-list or x-special/gnome-copied-files is read for that first, its local file:
// URLs coming out as copiedFiles(); setFiles() offers those two types and answers a paste
// once the viewer's files are here (the pasting program waits on its pipe), or closes the
// pipe empty when they cannot come (at most filesWaitMs). Main thread.
class WlrClipboard : public ClipboardBackend {
    Q_OBJECT
public:
    // nullptr and *problem without a compositor offering data-control.
    static std::unique_ptr<WlrClipboard> open(QString *problem);
    ~WlrClipboard() override;

    void setText(const QString &text) override;
    void setImage(const QByteArray &png) override;
    void setFiles(ClipFilesOffer *offer) override;

    static constexpr int filesWaitMs = 60000;

    struct Offer;
    // Data-control listeners (main thread, inside a dispatch).
    void offered(zwlr_data_control_offer_v1 *offer);
    void selected(zwlr_data_control_offer_v1 *offer);
    void sendTo(const char *mime, int fd);
    void sourceCancelled(zwlr_data_control_source_v1 *source);

private:
    WlrClipboard() = default;
    void readEvents();
    void startRead(zwlr_data_control_offer_v1 *offer, const QByteArray &mime);
    void finishRead(bool ok);
    enum class Kind { Text, Image, Files };
    void offerOwned(Kind kind);
    void sendFiles(const QByteArray &mime, int fd);

    std::unique_ptr<WaylandClient> m_client;
    QSocketNotifier *m_notifier = nullptr; // child
    wl_seat *m_seat = nullptr;
    zwlr_data_control_manager_v1 *m_manager = nullptr;
    zwlr_data_control_device_v1 *m_device = nullptr;
    zwlr_data_control_offer_v1 *m_offer = nullptr;   // the selection in force, when not ours
    zwlr_data_control_source_v1 *m_source = nullptr; // ours, while it is the selection
    QByteArray m_owned;                              // its text (UTF-8) or PNG
    Kind m_ownedKind = Kind::Text;
    QPointer<ClipFilesOffer> m_ownedFiles; // when m_ownedKind is Files

    // One read at a time; a newer selection replaces the read under way.
    int m_readFd = -1;
    QSocketNotifier *m_reader = nullptr;
    QByteArray m_incoming;
    Kind m_reading = Kind::Text;
    QTimer m_readTimeout;
};
