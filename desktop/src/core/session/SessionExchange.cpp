#include "session/SessionExchange.h"

#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/PermMessage.h"

SessionExchange::SessionExchange(Link link, QObject *parent)
    : QObject(parent), m_link(std::move(link)), m_files(new FileTransfers(m_link.file, this)) {}

SessionExchange::ClipResult SessionExchange::sendClipboard(const QString &text) {
    if (!m_live || !m_link.sendCtrl)
        return ClipResult::NotConnected;
    if (!m_clipAllowed)
        return ClipResult::NotAllowed;
    if (!ClipText::fits(text))
        return ClipResult::TooLarge;
    for (const QJsonObject &part : ClipText::split(text, ++m_clipId))
        m_link.sendCtrl(part);
    return ClipResult::Sent;
}

SessionExchange::ClipResult SessionExchange::sendClipboardImage(const QByteArray &png) {
    if (!m_live || !m_link.sendCtrl)
        return ClipResult::NotConnected;
    if (!m_clipAllowed)
        return ClipResult::NotAllowed;
    if (!ClipImage::fits(png))
        return ClipResult::TooLarge;
    for (const QJsonObject &part : ClipImage::split(png, ++m_clipId))
        m_link.sendCtrl(part);
    return ClipResult::Sent;
}

SessionExchange::ClipResult SessionExchange::sendClipboardFiles(const QStringList &paths) {
    if (!m_live || !m_link.sendCtrl)
        return ClipResult::NotConnected;
    if (!m_filesAllowed)
        return ClipResult::NotAllowed;
    ClipFiles list;
    QStringList kept;
    switch (ClipFiles::describe(paths, ++m_clipId, &list, &kept)) {
    case ClipFiles::Outcome::Ok:
        break;
    case ClipFiles::Outcome::NoFiles:
        return ClipResult::NotAllowed;
    case ClipFiles::Outcome::TooMany:
    case ClipFiles::Outcome::TooLarge:
        return ClipResult::TooLarge;
    }
    m_files->share(list.id, kept);
    m_link.sendCtrl(list.toJson());
    return ClipResult::Sent;
}

bool SessionExchange::handleCtrl(const QJsonObject &message) {
    const QString t = CtrlMessage::tagOf(message);
    if (t == ClipFiles::tag) {
        const std::optional<ClipFiles> list = ClipFiles::fromJson(message);
        if (list && m_filesAllowed && m_live)
            Q_EMIT clipboardFilesReceived(*list);
        return true;
    }
    if (t == ClipImage::tag) {
        const std::optional<QByteArray> png = m_imageIn.add(message);
        if (png && m_clipAllowed && m_live)
            Q_EMIT clipboardImageReceived(*png);
        return true;
    }
    if (t == ClipText::tag) {
        const std::optional<QString> text = m_clipIn.add(message);
        if (text && m_clipAllowed && m_live)
            Q_EMIT clipboardReceived(*text);
        return true;
    }
    if (t == PermMessage::tag) {
        const PermMessage perm = PermMessage::fromJson(message);
        const bool i = perm.input.value_or(m_inputAllowed);
        const bool c = perm.clip.value_or(m_clipAllowed);
        const bool f = perm.files.value_or(m_filesAllowed);
        const bool m = perm.mic.value_or(m_micAllowed);
        if (i != m_inputAllowed || c != m_clipAllowed || f != m_filesAllowed || m != m_micAllowed) {
            m_inputAllowed = i;
            m_clipAllowed = c;
            m_filesAllowed = f;
            m_micAllowed = m;
            m_files->setAllowed(f);
            if (!f)
                m_files->share(0, {});
            Q_EMIT permissionsChanged();
        }
        return true;
    }
    return false;
}

void SessionExchange::setLive(bool live, const QString &why) {
    if (live == m_live)
        return;
    m_live = live;
    if (!live) {
        m_files->abortAll(why.isEmpty() ? QStringLiteral("接続が切れました") : why);
        m_files->share(0, {});
    }
    Q_EMIT liveChanged();
}
