#include "viewer/ClipboardSync.h"

#include "session/RemoteSession.h"
#include "session/SessionExchange.h"

#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/FileTransfers.h"
#include "viewer/RemoteFilesMimeData.h"

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMimeData>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>

ClipboardSync::ClipboardSync(RemoteSession *session, QClipboard *clipboard, QObject *parent)
    : QObject(parent), m_session(session), m_clipboard(clipboard) {
    if (m_clipboard)
        connect(m_clipboard, &QClipboard::dataChanged, this, &ClipboardSync::localChanged);
    if (m_session) {
        connect(m_session->exchange(), &SessionExchange::clipboardReceived, this, &ClipboardSync::remoteCopied);
        connect(m_session->exchange(), &SessionExchange::clipboardImageReceived, this,
                &ClipboardSync::remoteCopiedImage);
        connect(m_session->exchange(), &SessionExchange::clipboardFilesReceived, this,
                &ClipboardSync::remoteCopiedFiles);
        connect(m_session->exchange(), &SessionExchange::liveChanged, this, &ClipboardSync::dropRemoteFiles);
        connect(m_session->exchange(), &SessionExchange::permissionsChanged, this, &ClipboardSync::dropRemoteFiles);
    }
}

// The host's files can no longer be fetched (the session ended, `files` was withdrawn):
// they leave the clipboard rather than let a paste wait for nothing.
void ClipboardSync::dropRemoteFiles() {
    SessionExchange *exchange = m_session ? m_session->exchange() : nullptr;
    if (exchange && exchange->live() && exchange->filesAllowed())
        return;
    if (m_save) {
        // The transfers end with the session or the right; the user hears it here.
        m_save.reset();
        Q_EMIT notice(filesNotSaved(exchange && exchange->live() ? QStringLiteral("ファイル転送が許可されていません")
                                                                 : QStringLiteral("接続が切れました")));
    }
    forgetRemoteFiles();
    if (m_deferredOffer) {
        m_deferred.reset();
        m_deferredOffer.reset();
    }
    if (!m_offer || (m_offered && m_offered->waiting()))
        return; // a waiting paste ends with the fetch, which fails now
    if (m_clipboard && ours(m_clipboard->mimeData(QClipboard::Clipboard)))
        m_clipboard->clear(QClipboard::Clipboard);
    m_offer.reset();
}

ClipboardSync::~ClipboardSync() {
    // The host's files leave the clipboard with their folder: a paste would find nothing.
    if (m_clipboard && m_offered && ours(m_clipboard->mimeData(QClipboard::Clipboard)))
        m_clipboard->clear(QClipboard::Clipboard);
}

QString ClipboardSync::downloadsFolder() {
    return FileTransfers::defaultFolder();
}

namespace {
// "a.pdf、b.txt、c.png" or "a.pdf、b.txt、c.png ほか 2 個".
QString nameList(const QStringList &names) {
    constexpr int shown = 3;
    QString out = names.mid(0, shown).join(QStringLiteral("、"));
    if (names.size() > shown)
        out += QStringLiteral(" ほか %1 個").arg(names.size() - shown);
    return out;
}
} // namespace

QString ClipboardSync::filesSaved(const QString &folder, const QStringList &paths) {
    QStringList names;
    for (const QString &p : paths)
        names << QFileInfo(p).fileName();
    return QStringLiteral("ダウンロード(%1)に保存しました: ").arg(QDir::toNativeSeparators(folder)) + nameList(names);
}

QString ClipboardSync::filesOffered(const QStringList &names) {
    return QStringLiteral("相手側でファイルがコピーされました: ") + nameList(names);
}

QStringList ClipboardSync::remoteFiles() const {
    QStringList names;
    if (m_remote)
        for (const ClipFiles::Entry &e : m_remote->files)
            names << e.name;
    return names;
}

bool ClipboardSync::saving() const {
    return m_save != nullptr;
}

void ClipboardSync::forgetRemoteFiles() {
    if (!m_remote)
        return;
    m_remote.reset();
    Q_EMIT remoteFilesChanged();
}

void ClipboardSync::saveRemoteFiles(const QString &folder) {
    if (!m_remote || m_save || !m_session)
        return;
    FileTransfers *files = m_session->exchange()->files();
    // Where the session's received files go (the downloads folder unless set otherwise).
    const QString into = !folder.isEmpty() ? folder : files ? files->folder() : downloadsFolder();
    m_save = std::make_unique<ClipFilesOffer>(files, *m_remote, into, ClipFilesOffer::Placement::Into);
    ClipFilesOffer *save = m_save.get();
    connect(save, &ClipFilesOffer::finished, this, &ClipboardSync::saveEnded);
    Q_EMIT remoteFilesChanged();
    save->fetch(); // may end at once (no connection): saveEnded has run then
}

// finished() of the save: it is let go after its signal returned.
void ClipboardSync::saveEnded() {
    if (!m_save || sender() != m_save.get())
        return;
    ClipFilesOffer *save = m_save.release();
    save->deleteLater();
    if (save->state() == ClipFilesOffer::State::Ready) {
        Q_EMIT notice(filesSaved(save->folder(), save->paths()));
        Q_EMIT remoteFilesSaved(save->folder(), save->paths());
    } else {
        Q_EMIT notice(filesNotSaved(save->error()));
    }
    Q_EMIT remoteFilesChanged();
}

QString ClipboardSync::cacheFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/velmo-remote/clipboard");
}

bool ClipboardSync::ours(const QMimeData *data) const {
    return data && m_offered && data == m_offered.data();
}

void ClipboardSync::put(QMimeData *data, std::unique_ptr<ClipFilesOffer> offer) {
    // A paste waiting for the host's files runs a local event loop inside the toolkit's
    // clipboard code: replacing its data then would pull it from under that code.
    m_deferred.reset(data);
    m_deferredOffer = std::move(offer);
    if (!(m_offered && m_offered->waiting()))
        putDeferred();
}

// Also queued after a paste stopped waiting, once the toolkit is done with the data.
void ClipboardSync::putDeferred() {
    if (!m_deferred || !m_clipboard || (m_offered && m_offered->waiting()))
        return;
    if (m_deferredOffer) {
        m_offered = qobject_cast<RemoteFilesMimeData *>(m_deferred.get());
        m_offer = std::move(m_deferredOffer);
    }
    m_clipboard->setMimeData(m_deferred.release(), QClipboard::Clipboard);
}

void ClipboardSync::setEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Q_EMIT enabledChanged();
}

void ClipboardSync::localChanged() {
    if (!m_enabled || !m_session || !m_clipboard)
        return;
    const QMimeData *data = m_clipboard->mimeData(QClipboard::Clipboard);
    if (ours(data))
        return;          // the host's files, offered here
    forgetRemoteFiles(); // this copy replaces them over there
    // Something else was copied here: the host's files offered before are let go, and
    // so is what waited to replace them.
    m_offer.reset();
    m_deferred.reset();
    m_deferredOffer.reset();
    if (data && localFilesChanged(data))
        return;
    if (data && !data->hasText() && (data->hasFormat(ClipImage::mimeType) || data->hasImage())) {
        localImageChanged();
        return;
    }
    const QString text = m_clipboard->text(QClipboard::Clipboard);
    // Our own setText of a remote copy comes back here: not an echo to send.
    if (text.isEmpty() || text == m_last)
        return;
    switch (m_session->exchange()->sendClipboard(text)) {
    case SessionExchange::ClipResult::Sent:
        m_last = text;
        m_lastImage.clear();
        break;
    case SessionExchange::ClipResult::TooLarge:
        m_last = text; // told once per text
        Q_EMIT notice(tooLargeText());
        break;
    case SessionExchange::ClipResult::NotAllowed:
    case SessionExchange::ClipResult::NotConnected:
        break;
    }
}

void ClipboardSync::localImageChanged() {
    const QMimeData *data = m_clipboard->mimeData(QClipboard::Clipboard);
    QByteArray png = data->data(ClipImage::mimeType);
    if (!ClipImage::isPng(png)) {
        // Another kind of picture (or a PNG the owner would not hand over): sent as PNG.
        const QImage image = qvariant_cast<QImage>(data->imageData());
        png.clear();
        QBuffer buffer(&png);
        if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
            return;
    }
    // Our own setMimeData of a remote picture comes back here: not an echo to send.
    if (png == m_lastImage)
        return;
    switch (m_session->exchange()->sendClipboardImage(png)) {
    case SessionExchange::ClipResult::Sent:
        m_lastImage = png;
        m_last.clear();
        break;
    case SessionExchange::ClipResult::TooLarge:
        m_lastImage = png; // told once per picture
        Q_EMIT notice(tooLargeImage());
        break;
    case SessionExchange::ClipResult::NotAllowed:
    case SessionExchange::ClipResult::NotConnected:
        break;
    }
}

void ClipboardSync::remoteCopiedImage(const QByteArray &png) {
    forgetRemoteFiles();
    if (!m_enabled || !m_clipboard)
        return;
    m_lastImage = png;
    m_last.clear();
    // The PNG's own bytes are what a local paste of image/png gets: no decoding and
    // encoding again.
    auto *data = new QMimeData;
    data->setData(ClipImage::mimeType, png);
    put(data);
}

void ClipboardSync::remoteCopied(const QString &text) {
    forgetRemoteFiles();
    if (!m_enabled || !m_clipboard)
        return;
    m_last = text;
    m_lastImage.clear();
    // (Asking our own file offer for its text would fetch the files.)
    if (ours(m_clipboard->mimeData(QClipboard::Clipboard)) || text != m_clipboard->text(QClipboard::Clipboard)) {
        auto *data = new QMimeData;
        data->setText(text);
        put(data);
    }
}

bool ClipboardSync::localFilesChanged(const QMimeData *data) {
    if (!data->hasUrls())
        return false;
    QStringList paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    if (paths.isEmpty())
        return false; // links of the web: their text goes as text
    if (paths == m_lastFiles)
        return true;
    const bool folders =
        std::any_of(paths.cbegin(), paths.cend(), [](const QString &p) { return QFileInfo(p).isDir(); });
    switch (m_session->exchange()->sendClipboardFiles(paths)) {
    case SessionExchange::ClipResult::Sent:
        m_lastFiles = paths;
        m_last.clear();
        m_lastImage.clear();
        if (folders)
            Q_EMIT notice(foldersLeftOut());
        break;
    case SessionExchange::ClipResult::TooLarge:
        m_lastFiles = paths; // told once per copy
        Q_EMIT notice(tooManyFiles());
        break;
    case SessionExchange::ClipResult::NotAllowed:
        // Only folders (or nothing that is a file) on a session that may have files.
        if (folders && m_session->exchange()->filesAllowed()) {
            m_lastFiles = paths;
            Q_EMIT notice(foldersLeftOut());
        }
        break;
    case SessionExchange::ClipResult::NotConnected:
        break;
    }
    return true;
}

void ClipboardSync::remoteCopiedFiles(const ClipFiles &list) {
    if (!m_enabled || !m_clipboard || !m_session)
        return;
    m_last.clear();
    m_lastImage.clear();
    m_lastFiles.clear();
    auto offer = std::make_unique<ClipFilesOffer>(m_session->exchange()->files(), list, cacheFolder());
    auto *data = new RemoteFilesMimeData(offer.get(), fetchWaitMs);
    connect(data, &RemoteFilesMimeData::fetchFailed, this,
            [this](const QString &why) { Q_EMIT notice(filesNotFetched(why)); });
    connect(data, &RemoteFilesMimeData::waitEnded, this, &ClipboardSync::putDeferred, Qt::QueuedConnection);
    put(data, std::move(offer));
    m_remote = list;
    Q_EMIT remoteFilesChanged();
    Q_EMIT remoteFilesOffered();
}
