#include "viewer/ClipboardSync.h"

#include "session/RemoteSession.h"
#include "session/SessionExchange.h"

#include "transfer/ClipImage.h"

#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QMimeData>

ClipboardSync::ClipboardSync(RemoteSession *session, QClipboard *clipboard, QObject *parent)
    : QObject(parent), m_session(session), m_clipboard(clipboard) {
    if (m_clipboard)
        connect(m_clipboard, &QClipboard::dataChanged, this, &ClipboardSync::localChanged);
    if (m_session)
        if (m_session) {
            connect(m_session->exchange(), &SessionExchange::clipboardReceived, this, &ClipboardSync::remoteCopied);
            connect(m_session->exchange(), &SessionExchange::clipboardImageReceived, this,
                    &ClipboardSync::remoteCopiedImage);
        }
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
    if (!m_enabled || !m_clipboard)
        return;
    m_lastImage = png;
    m_last.clear();
    // The PNG's own bytes are what a local paste of image/png gets: no decoding and
    // encoding again.
    auto *data = new QMimeData;
    data->setData(ClipImage::mimeType, png);
    m_clipboard->setMimeData(data, QClipboard::Clipboard);
}

void ClipboardSync::remoteCopied(const QString &text) {
    if (!m_enabled || !m_clipboard)
        return;
    m_last = text;
    m_lastImage.clear();
    if (text != m_clipboard->text(QClipboard::Clipboard))
        m_clipboard->setText(text, QClipboard::Clipboard);
}
