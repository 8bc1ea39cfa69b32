#include "session/SessionExchange.h"

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

bool SessionExchange::handleCtrl(const QJsonObject &message) {
    const QString t = message.value(QLatin1String("t")).toString();
    if (t == QLatin1String("clip")) {
        const std::optional<QString> text = m_clipIn.add(message);
        if (text && m_clipAllowed && m_live)
            Q_EMIT clipboardReceived(*text);
        return true;
    }
    if (t == QLatin1String("perm")) {
        // A missing or mistyped right keeps its value.
        const QJsonValue input = message.value(QLatin1String("input"));
        const QJsonValue clip = message.value(QLatin1String("clip"));
        const QJsonValue files = message.value(QLatin1String("files"));
        const bool i = input.isBool() ? input.toBool() : m_inputAllowed;
        const bool c = clip.isBool() ? clip.toBool() : m_clipAllowed;
        const bool f = files.isBool() ? files.toBool() : m_filesAllowed;
        if (i != m_inputAllowed || c != m_clipAllowed || f != m_filesAllowed) {
            m_inputAllowed = i;
            m_clipAllowed = c;
            m_filesAllowed = f;
            m_files->setAllowed(f);
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
    if (!live)
        m_files->abortAll(why.isEmpty() ? QStringLiteral("接続が切れました") : why);
    Q_EMIT liveChanged();
}
