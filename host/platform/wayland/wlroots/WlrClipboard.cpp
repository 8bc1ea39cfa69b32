#include "platform/wayland/wlroots/WlrClipboard.h"

#include "clipboard/PendingPaste.h"
#include "platform/wayland/WaylandClient.h"
#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QHash>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

Q_LOGGING_CATEGORY(lcWlrClip, "velmo.clipboard.wlroots")

namespace {
constexpr int kReadTimeoutMs = 3000;
constexpr int kWriteTimeoutMs = 3000;
// What a text is offered and asked for as, the best first.
const char *const kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"};

// The mime types each offer announced, until it is used or replaced.
QHash<zwlr_data_control_offer_v1 *, QStringList> g_offers;

void offerMime(void *, zwlr_data_control_offer_v1 *offer, const char *mime) {
    g_offers[offer].append(QString::fromUtf8(mime));
}
const zwlr_data_control_offer_v1_listener kOfferListener{offerMime};

void deviceOffer(void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
    static_cast<WlrClipboard *>(data)->offered(offer);
}
void deviceSelection(void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
    static_cast<WlrClipboard *>(data)->selected(offer);
}
void deviceFinished(void *, zwlr_data_control_device_v1 *) {}
void devicePrimary(void *, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
    // The primary selection is not shared: its offer is dropped at once.
    if (offer) {
        g_offers.remove(offer);
        zwlr_data_control_offer_v1_destroy(offer);
    }
}
const zwlr_data_control_device_v1_listener kDeviceListener{deviceOffer, deviceSelection, deviceFinished, devicePrimary};

void sourceSend(void *data, zwlr_data_control_source_v1 *, const char *mime, int32_t fd) {
    static_cast<WlrClipboard *>(data)->sendTo(mime, fd);
}
void sourceCancelled(void *data, zwlr_data_control_source_v1 *source) {
    static_cast<WlrClipboard *>(data)->sourceCancelled(source);
}
const zwlr_data_control_source_v1_listener kSourceListener{sourceSend, sourceCancelled};

// Writes a text into a reader's pipe without blocking the main thread on a reader that
// does not read; gives up after kWriteTimeoutMs. Deletes itself.
class PipeWriter : public QObject {
public:
    PipeWriter(int fd, QByteArray bytes) : m_fd(fd), m_bytes(std::move(bytes)), m_notifier(fd, QSocketNotifier::Write) {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        connect(&m_notifier, &QSocketNotifier::activated, this, &PipeWriter::write);
        m_timeout.setSingleShot(true);
        connect(&m_timeout, &QTimer::timeout, this, [this] { finish(); });
        m_timeout.start(kWriteTimeoutMs);
        write();
    }
    ~PipeWriter() override { close(m_fd); }

private:
    void write() {
        while (m_done < m_bytes.size()) {
            const ssize_t n = ::write(m_fd, m_bytes.constData() + m_done, size_t(m_bytes.size() - m_done));
            if (n > 0) {
                m_done += n;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return; // the notifier says when there is room
            break;      // the reader went away
        }
        finish();
    }
    void finish() {
        m_notifier.setEnabled(false);
        deleteLater();
    }
    int m_fd;
    QByteArray m_bytes;
    qsizetype m_done = 0;
    QSocketNotifier m_notifier;
    QTimer m_timeout;
};

} // namespace

std::unique_ptr<WlrClipboard> WlrClipboard::open(QString *problem) {
    std::unique_ptr<WlrClipboard> clip(new WlrClipboard);
    clip->m_client = WaylandClient::connect(problem);
    if (!clip->m_client)
        return nullptr;
    clip->m_seat = static_cast<wl_seat *>(clip->m_client->bind(&wl_seat_interface, 1));
    clip->m_manager =
        static_cast<zwlr_data_control_manager_v1 *>(clip->m_client->bind(&zwlr_data_control_manager_v1_interface, 1));
    if (!clip->m_seat || !clip->m_manager) {
        *problem = !clip->m_seat ? QStringLiteral("the compositor has no seat")
                                 : QStringLiteral("the compositor has no wlr-data-control");
        return nullptr;
    }
    clip->m_device = zwlr_data_control_manager_v1_get_data_device(clip->m_manager, clip->m_seat);
    zwlr_data_control_device_v1_add_listener(clip->m_device, &kDeviceListener, clip.get());
    clip->m_readTimeout.setSingleShot(true);
    clip->m_readTimeout.setInterval(kReadTimeoutMs);
    WlrClipboard *self = clip.get();
    QObject::connect(&clip->m_readTimeout, &QTimer::timeout, self, [self] {
        qCInfo(lcWlrClip) << "the clipboard owner did not answer in time";
        self->finishRead(false);
    });
    // The selection in force now arrives as the first event: it is the desktop's, not new.
    clip->m_client->roundtrip();
    clip->m_notifier = new QSocketNotifier(clip->m_client->fd(), QSocketNotifier::Read, self);
    QObject::connect(clip->m_notifier, &QSocketNotifier::activated, self, &WlrClipboard::readEvents);
    qCInfo(lcWlrClip) << "the compositor's clipboard shared with viewers";
    return clip;
}

WlrClipboard::~WlrClipboard() {
    delete m_notifier;
    finishRead(false);
    if (m_offer) {
        g_offers.remove(m_offer);
        zwlr_data_control_offer_v1_destroy(m_offer);
    }
    if (m_source)
        zwlr_data_control_source_v1_destroy(m_source);
    if (m_device)
        zwlr_data_control_device_v1_destroy(m_device);
    if (m_manager)
        zwlr_data_control_manager_v1_destroy(m_manager);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_client)
        m_client->dispatchPending();
}

// Main thread, when the connection's socket has data.
void WlrClipboard::readEvents() {
    if (!m_client->dispatchPending()) {
        qCWarning(lcWlrClip) << "the Wayland compositor went away: clipboard sharing stops";
        m_notifier->setEnabled(false);
    }
}

void WlrClipboard::offered(zwlr_data_control_offer_v1 *offer) {
    g_offers.insert(offer, {});
    zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, this);
}

void WlrClipboard::selected(zwlr_data_control_offer_v1 *offer) {
    if (m_offer && m_offer != offer) {
        g_offers.remove(m_offer);
        zwlr_data_control_offer_v1_destroy(m_offer);
    }
    m_offer = offer;
    qCDebug(lcWlrClip) << "selection" << (offer != nullptr) << "ours" << (m_source != nullptr) << g_offers.value(offer);
    // Our own text coming back as the selection (its source is still ours) is not news;
    // neither is the selection found at start (the roundtrip in open()).
    if (!offer || m_source || !m_notifier)
        return;
    const QStringList types = g_offers.value(offer);
    // Files first: a file manager offers their paths as text as well.
    for (const QLatin1StringView type : {ClipFiles::uriListType, ClipFiles::gnomeType}) {
        if (types.contains(type)) {
            m_reading = Kind::Files;
            startRead(offer, QByteArray(type.data(), type.size()));
            return;
        }
    }
    for (const char *type : kTextTypes) {
        if (types.contains(QLatin1String(type))) {
            m_reading = Kind::Text;
            startRead(offer, QByteArray(type));
            return;
        }
    }
    // Text wins when both are offered (a spreadsheet's cells come with a picture of them).
    if (types.contains(ClipImage::mimeType)) {
        m_reading = Kind::Image;
        startRead(offer, QByteArray(ClipImage::mimeType.data(), ClipImage::mimeType.size()));
    }
}

// m_reading says what the bytes are.
void WlrClipboard::startRead(zwlr_data_control_offer_v1 *offer, const QByteArray &mime) {
    const Kind kind = m_reading;
    finishRead(false);
    m_reading = kind;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    zwlr_data_control_offer_v1_receive(offer, mime.constData(), fds[1]);
    m_client->dispatchPending();
    close(fds[1]);
    m_readFd = fds[0];
    m_incoming.clear();
    m_reader = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_reader, &QSocketNotifier::activated, this, [this] {
        char chunk[65536];
        for (;;) {
            const ssize_t n = read(m_readFd, chunk, sizeof chunk);
            if (n > 0) {
                m_incoming.append(chunk, n);
                const bool image = m_reading == Kind::Image;
                const qsizetype limit = image ? ClipImage::maxBytes : ClipText::maxBytes;
                if (m_incoming.size() > limit) {
                    qCInfo(lcWlrClip) << "a copied" << (image ? "picture" : "text") << "over" << limit
                                      << "bytes is not shared";
                    finishRead(false);
                    return;
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            finishRead(true); // end of the text (or the owner gave up)
            return;
        }
    });
    m_readTimeout.start();
}

void WlrClipboard::finishRead(bool ok) {
    m_readTimeout.stop();
    if (m_reader) {
        m_reader->setEnabled(false);
        m_reader->deleteLater();
        m_reader = nullptr;
    }
    if (m_readFd >= 0) {
        close(m_readFd);
        m_readFd = -1;
    }
    const QByteArray bytes = std::exchange(m_incoming, {});
    if (!ok || bytes.isEmpty())
        return;
    switch (m_reading) {
    case Kind::Text:
        Q_EMIT copied(QString::fromUtf8(bytes));
        break;
    case Kind::Image:
        if (ClipImage::fits(bytes))
            Q_EMIT copiedImage(bytes);
        else
            qCInfo(lcWlrClip) << "a copied picture that is not a PNG is not shared";
        break;
    case Kind::Files:
        if (const QStringList paths = ClipFiles::localPaths(bytes); !paths.isEmpty())
            Q_EMIT copiedFiles(paths);
        break;
    }
}

void WlrClipboard::setText(const QString &text) {
    if (m_client->broken())
        return;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > ClipText::maxBytes)
        return;
    m_owned = bytes;
    offerOwned(Kind::Text);
}

void WlrClipboard::setImage(const QByteArray &png) {
    if (m_client->broken() || !ClipImage::fits(png))
        return;
    m_owned = png;
    offerOwned(Kind::Image);
}

void WlrClipboard::setFiles(ClipFilesOffer *offer) {
    if (m_client->broken() || !offer)
        return;
    m_owned.clear();
    if (m_ownedFiles)
        disconnect(m_ownedFiles, nullptr, this, nullptr);
    m_ownedFiles = offer;
    // The viewer that copied them left or lost `files`: nothing can be fetched any more, so
    // the selection is given up (pastes waiting for them end through their own watch).
    connect(offer, &QObject::destroyed, this, [this] {
        if (m_ownedKind != Kind::Files || m_ownedFiles || !m_source || m_client->broken())
            return;
        zwlr_data_control_source_v1_destroy(std::exchange(m_source, nullptr));
        zwlr_data_control_device_v1_set_selection(m_device, nullptr);
        m_client->dispatchPending();
    });
    offerOwned(Kind::Files);
}

void WlrClipboard::offerOwned(Kind kind) {
    if (m_source)
        zwlr_data_control_source_v1_destroy(m_source);
    finishRead(false);
    m_ownedKind = kind;
    if (kind != Kind::Files && m_ownedFiles) {
        disconnect(m_ownedFiles, nullptr, this, nullptr);
        m_ownedFiles = nullptr;
    }
    m_source = zwlr_data_control_manager_v1_create_data_source(m_manager);
    zwlr_data_control_source_v1_add_listener(m_source, &kSourceListener, this);
    switch (kind) {
    case Kind::Image:
        zwlr_data_control_source_v1_offer(m_source, QByteArray(ClipImage::mimeType.data(), ClipImage::mimeType.size()));
        break;
    case Kind::Files:
        zwlr_data_control_source_v1_offer(m_source, ClipFiles::uriListType.data());
        zwlr_data_control_source_v1_offer(m_source, ClipFiles::gnomeType.data());
        break;
    case Kind::Text:
        for (const char *type : kTextTypes)
            zwlr_data_control_source_v1_offer(m_source, type);
        break;
    }
    zwlr_data_control_device_v1_set_selection(m_device, m_source);
    m_client->dispatchPending();
}

void WlrClipboard::sendTo(const char *mime, int fd) {
    const QLatin1StringView type(mime);
    const bool filesType = type == ClipFiles::uriListType || type == ClipFiles::gnomeType;
    if (m_ownedKind == Kind::Files) {
        if (filesType)
            sendFiles(QByteArray(mime), fd);
        else
            close(fd);
        return;
    }
    // Every text type offered is the same UTF-8 text; a picture is offered as image/png only.
    if ((m_ownedKind == Kind::Image) != (type == ClipImage::mimeType) || filesType) {
        close(fd);
        return;
    }
    new PipeWriter(fd, m_owned);
}

// A paste of the viewer's files: the pasting program waits on the pipe until the files
// are here, then gets their URLs, or an empty, closed pipe when they cannot come.
void WlrClipboard::sendFiles(const QByteArray &mime, int fd) {
    PendingPaste::start(m_ownedFiles, QString::fromLatin1(mime), fd, filesWaitMs, this,
                        [](int out, const QByteArray &bytes, const QString &why) {
                            if (bytes.isEmpty()) {
                                qCInfo(lcWlrClip) << "the viewer's files cannot be pasted:" << why;
                                close(out);
                                return;
                            }
                            new PipeWriter(out, bytes);
                        });
}

void WlrClipboard::sourceCancelled(zwlr_data_control_source_v1 *source) {
    // Another client copied: the selection is not ours any more.
    zwlr_data_control_source_v1_destroy(source);
    if (source == m_source) {
        m_source = nullptr;
        m_owned.clear();
        if (m_ownedFiles)
            disconnect(m_ownedFiles, nullptr, this, nullptr);
        m_ownedFiles = nullptr;
    }
}
