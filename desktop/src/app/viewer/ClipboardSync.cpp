#include "viewer/ClipboardSync.h"

#include "session/RemoteSession.h"
#include "session/SessionExchange.h"

#include <QClipboard>

ClipboardSync::ClipboardSync(RemoteSession *session, QClipboard *clipboard, QObject *parent)
    : QObject(parent), m_session(session), m_clipboard(clipboard) {
    if (m_clipboard)
        connect(m_clipboard, &QClipboard::dataChanged, this, &ClipboardSync::localChanged);
    if (m_session)
        connect(m_session->exchange(), &SessionExchange::clipboardReceived, this, &ClipboardSync::remoteCopied);
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
    const QString text = m_clipboard->text(QClipboard::Clipboard);
    // Our own setText of a remote copy comes back here: not an echo to send.
    if (text.isEmpty() || text == m_last)
        return;
    switch (m_session->exchange()->sendClipboard(text)) {
    case SessionExchange::ClipResult::Sent:
        m_last = text;
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

void ClipboardSync::remoteCopied(const QString &text) {
    if (!m_enabled || !m_clipboard)
        return;
    m_last = text;
    if (text != m_clipboard->text(QClipboard::Clipboard))
        m_clipboard->setText(text, QClipboard::Clipboard);
}
