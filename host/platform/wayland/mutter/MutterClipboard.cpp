#include "platform/wayland/mutter/MutterClipboard.h"

#include "clipboard/PendingPaste.h"
#include "platform/wayland/mutter/MutterSession.h"
#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <functional>

Q_LOGGING_CATEGORY(lcMutterClip, "velmo.clipboard.mutter")

namespace {
const char *const kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"};
// How long a pasting program has to take our bytes, and a copying one to hand over its own.
constexpr int kTransferTimeoutMs = 3000;

QString pngType() {
    return QString::fromLatin1(ClipImage::mimeType.data(), ClipImage::mimeType.size());
}
bool isFilesType(const QString &mime) {
    return mime == ClipFiles::uriListType || mime == ClipFiles::gnomeType;
}

QStringList mimeTypesOf(const QVariantMap &options) {
    // Mutter sends the list inside a structure of its own ("(as)"); a plain "as" is taken too.
    const QVariant v = options.value(QStringLiteral("mime-types"));
    if (v.canConvert<QDBusArgument>()) {
        const QDBusArgument a = v.value<QDBusArgument>();
        QStringList list;
        if (a.currentType() == QDBusArgument::StructureType) {
            a.beginStructure();
            a >> list;
            a.endStructure();
        } else {
            a >> list;
        }
        return list;
    }
    return v.toStringList();
}

// Writes bytes into a pipe without blocking the main thread, closes it and reports whether
// all went, then deletes itself.
class PipeWriter : public QObject {
public:
    PipeWriter(int fd, QByteArray bytes, std::function<void(bool)> done)
        : m_fd(fd), m_bytes(std::move(bytes)), m_done(std::move(done)), m_notifier(fd, QSocketNotifier::Write) {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        connect(&m_notifier, &QSocketNotifier::activated, this, &PipeWriter::write);
        m_timeout.setSingleShot(true);
        connect(&m_timeout, &QTimer::timeout, this, [this] { finish(false); });
        m_timeout.start(kTransferTimeoutMs);
    }
    ~PipeWriter() override { close(m_fd); }

private:
    void write() {
        while (m_sent < m_bytes.size()) {
            const ssize_t n = ::write(m_fd, m_bytes.constData() + m_sent, size_t(m_bytes.size() - m_sent));
            if (n > 0) {
                m_sent += n;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            finish(false);
            return;
        }
        finish(true);
    }
    void finish(bool ok) {
        m_notifier.setEnabled(false);
        m_timeout.stop();
        if (m_done)
            std::exchange(m_done, nullptr)(ok);
        deleteLater();
    }
    int m_fd;
    QByteArray m_bytes;
    qsizetype m_sent = 0;
    std::function<void(bool)> m_done;
    QSocketNotifier m_notifier;
    QTimer m_timeout;
};

} // namespace

std::unique_ptr<MutterClipboard> MutterClipboard::open(std::shared_ptr<MutterSession> session, QString *problem) {
    std::unique_ptr<MutterClipboard> c(new MutterClipboard(std::move(session)));
    c->listen();
    const QDBusMessage reply = c->m_session->callNow("EnableClipboard", {QVariantMap{}});
    if (reply.type() == QDBusMessage::ErrorMessage) {
        *problem = QStringLiteral("Mutter does not share its clipboard: %1").arg(reply.errorMessage());
        return nullptr;
    }
    // A new session (Mutter made one after a monitor change) has the clipboard off again;
    // what the viewer put on it is offered anew.
    MutterClipboard *self = c.get();
    connect(c->m_session.get(), &MutterSession::restarted, self, [self] {
        self->listen();
        self->m_session->notify("EnableClipboard", {QVariantMap{}});
        if (self->m_owner && (!self->m_owned.isEmpty() || self->m_ownedFiles))
            self->offerTypes();
    });
    return c;
}

// Follows the signals of the session in force.
void MutterClipboard::listen() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!m_path.isEmpty()) {
        bus.disconnect(QString(), m_path, MutterSession::interface(), QStringLiteral("SelectionOwnerChanged"), this,
                       SLOT(ownerChanged(QDBusMessage)));
        bus.disconnect(QString(), m_path, MutterSession::interface(), QStringLiteral("SelectionTransfer"), this,
                       SLOT(transfer(QDBusMessage)));
    }
    m_path = m_session->path();
    bus.connect(QString(), m_path, MutterSession::interface(), QStringLiteral("SelectionOwnerChanged"), this,
                SLOT(ownerChanged(QDBusMessage)));
    bus.connect(QString(), m_path, MutterSession::interface(), QStringLiteral("SelectionTransfer"), this,
                SLOT(transfer(QDBusMessage)));
}

MutterClipboard::MutterClipboard(std::shared_ptr<MutterSession> session) : m_session(std::move(session)) {
    m_readTimeout.setSingleShot(true);
    m_readTimeout.setInterval(kTransferTimeoutMs);
    connect(&m_readTimeout, &QTimer::timeout, this, [this] {
        qCInfo(lcMutterClip) << "the copying program did not hand over the clipboard in time";
        finishRead(false);
    });
}

MutterClipboard::~MutterClipboard() {
    finishRead(false);
    if (m_session->problem().isEmpty())
        m_session->notify("DisableClipboard", {});
}

// Main thread (a signal from the bus).
void MutterClipboard::ownerChanged(const QDBusMessage &signal) {
    const QVariantMap options = qdbus_cast<QVariantMap>(signal.arguments().value(0));
    // Our own selection coming back is not news.
    m_owner = options.value(QStringLiteral("session-is-owner")).toBool();
    if (m_owner)
        return;
    m_owned.clear();
    m_ownedFiles = nullptr;
    const QStringList types = mimeTypesOf(options);
    // Files first: a file manager offers their paths as text as well.
    for (const QLatin1StringView type : {ClipFiles::uriListType, ClipFiles::gnomeType}) {
        if (types.contains(type)) {
            startRead(type, Kind::Files);
            return;
        }
    }
    for (const char *type : kTextTypes) {
        if (types.contains(QLatin1String(type))) {
            startRead(QLatin1String(type), Kind::Text);
            return;
        }
    }
    // Text wins when both are offered (a spreadsheet's cells come with a picture of them).
    if (types.contains(pngType()))
        startRead(pngType(), Kind::Image);
}

void MutterClipboard::startRead(const QString &mime, Kind kind) {
    finishRead(false);
    const quint64 serial = ++m_readSerial;
    m_reading = kind;
    auto *watch = new QDBusPendingCallWatcher(m_session->callLater("SelectionRead", {mime}), this);
    // Main thread, once Mutter handed out the pipe.
    connect(watch, &QDBusPendingCallWatcher::finished, this, [this, serial](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (serial != m_readSerial)
            return; // a newer owner came meanwhile
        if (reply.isError()) {
            qCInfo(lcMutterClip) << "the clipboard cannot be read:" << reply.error().message();
            return;
        }
        const int fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_readFd = fd;
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
                        qCInfo(lcMutterClip)
                            << "a copied" << (image ? "picture" : "text") << "over" << limit << "bytes is not shared";
                        finishRead(false);
                        return;
                    }
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    return;
                finishRead(true); // the end (or the owner gave up)
                return;
            }
        });
        m_readTimeout.start();
    });
}

void MutterClipboard::finishRead(bool ok) {
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
            qCInfo(lcMutterClip) << "a copied picture that is not a PNG is not shared";
        break;
    case Kind::Files:
        if (const QStringList paths = ClipFiles::localPaths(bytes); !paths.isEmpty())
            Q_EMIT copiedFiles(paths);
        break;
    }
}

void MutterClipboard::setText(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= ClipText::maxBytes)
        offer(bytes, Kind::Text);
}

void MutterClipboard::setImage(const QByteArray &png) {
    if (ClipImage::fits(png))
        offer(png, Kind::Image);
}

void MutterClipboard::setFiles(ClipFilesOffer *offer) {
    if (!offer || !m_session->problem().isEmpty())
        return;
    if (m_ownedFiles)
        disconnect(m_ownedFiles, nullptr, this, nullptr);
    m_ownedFiles = offer;
    // The viewer that copied them left or lost `files`: nothing can be fetched any more, so
    // the desktop's clipboard stops offering them (a paste waiting for them gets its empty
    // pipe through the offer's own end, see writeFiles()).
    connect(offer, &QObject::destroyed, this, [this] {
        if (m_ownedKind != Kind::Files || m_ownedFiles || !m_owner)
            return;
        m_owner = false;
        m_session->notify("SetSelection", {QVariantMap{}});
    });
    this->offer({}, Kind::Files);
}

void MutterClipboard::offer(const QByteArray &bytes, Kind kind) {
    if (!m_session->problem().isEmpty())
        return;
    ++m_readSerial; // a read under way is of a selection that is over
    finishRead(false);
    m_owned = bytes;
    m_ownedKind = kind;
    if (kind != Kind::Files && m_ownedFiles) {
        disconnect(m_ownedFiles, nullptr, this, nullptr);
        m_ownedFiles = nullptr;
    }
    m_owner = true;
    offerTypes();
}

void MutterClipboard::offerTypes() {
    QStringList types;
    switch (m_ownedKind) {
    case Kind::Image:
        types << pngType();
        break;
    case Kind::Files:
        types << ClipFiles::uriListType << ClipFiles::gnomeType;
        break;
    case Kind::Text:
        for (const char *type : kTextTypes)
            types << QLatin1String(type);
        break;
    }
    m_session->notify("SetSelection", {QVariantMap{{QStringLiteral("mime-types"), types}}});
}

// Main thread (a signal from the bus): a program pastes what the session owns.
void MutterClipboard::transfer(const QDBusMessage &signal) {
    const QString mime = signal.arguments().value(0).toString();
    const quint32 serial = signal.arguments().value(1).toUInt();
    // Every text type offered is the same UTF-8 text; a picture is offered as image/png only.
    bool fits = false;
    switch (m_ownedKind) {
    case Kind::Text:
        fits = !m_owned.isEmpty() && mime != pngType() && !isFilesType(mime);
        break;
    case Kind::Image:
        fits = !m_owned.isEmpty() && mime == pngType();
        break;
    case Kind::Files:
        fits = m_ownedFiles && isFilesType(mime);
        break;
    }
    if (!fits) {
        m_session->notify("SelectionWriteDone", {serial, false});
        return;
    }
    auto *watch = new QDBusPendingCallWatcher(m_session->callLater("SelectionWrite", {serial}), this);
    const bool files = m_ownedKind == Kind::Files;
    connect(watch, &QDBusPendingCallWatcher::finished, this,
            [this, serial, mime, files, bytes = m_owned](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                const int fd = reply.isError() ? -1 : fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                if (fd < 0) {
                    m_session->notify("SelectionWriteDone", {serial, false});
                    return;
                }
                if (files) {
                    writeFiles(serial, fd, mime);
                    return;
                }
                QPointer<MutterClipboard> self(this);
                new PipeWriter(fd, bytes, [self, serial](bool ok) {
                    if (self)
                        self->m_session->notify("SelectionWriteDone", {serial, ok});
                });
            });
}

// A paste of the viewer's files holds the pipe Mutter gave (the pasting program waits on
// it) until the files are here; then their URLs go in, or nothing when they cannot come.
void MutterClipboard::writeFiles(quint32 serial, int fd, const QString &mime) {
    // Main thread; the pending paste is a child of this object, so `this` outlives the call.
    PendingPaste::start(m_ownedFiles, mime, fd, filesWaitMs, this,
                        [this, serial](int out, const QByteArray &bytes, const QString &why) {
                            if (bytes.isEmpty()) {
                                qCInfo(lcMutterClip) << "the viewer's files cannot be pasted:" << why;
                                close(out);
                                m_session->notify("SelectionWriteDone", {serial, false});
                                return;
                            }
                            QPointer<MutterClipboard> self(this);
                            new PipeWriter(out, bytes, [self, serial](bool ok) {
                                if (self)
                                    self->m_session->notify("SelectionWriteDone", {serial, ok});
                            });
                        });
}
