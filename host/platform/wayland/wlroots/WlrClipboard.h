#pragma once

#include "clipboard/ClipboardBackend.h"

#include <QByteArray>
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
// are not passed on. Main thread.
class WlrClipboard : public ClipboardBackend {
    Q_OBJECT
public:
    // nullptr and *problem without a compositor offering data-control.
    static std::unique_ptr<WlrClipboard> open(QString *problem);
    ~WlrClipboard() override;

    void setText(const QString &text) override;
    void setImage(const QByteArray &png) override;

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
    void offerOwned(bool image);

    std::unique_ptr<WaylandClient> m_client;
    QSocketNotifier *m_notifier = nullptr; // child
    wl_seat *m_seat = nullptr;
    zwlr_data_control_manager_v1 *m_manager = nullptr;
    zwlr_data_control_device_v1 *m_device = nullptr;
    zwlr_data_control_offer_v1 *m_offer = nullptr;   // the selection in force, when not ours
    zwlr_data_control_source_v1 *m_source = nullptr; // ours, while it is the selection
    QByteArray m_owned;                              // its text (UTF-8) or PNG
    bool m_ownedImage = false;

    // One read at a time; a newer selection replaces the read under way.
    int m_readFd = -1;
    QSocketNotifier *m_reader = nullptr;
    QByteArray m_incoming;
    bool m_readingImage = false;
    QTimer m_readTimeout;
};
