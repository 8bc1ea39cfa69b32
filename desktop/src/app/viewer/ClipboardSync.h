#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QClipboard;
class RemoteSession;

// Keeps this desktop's clipboard and the remote one in step while the session is
// connected and the host grants `clip`: a local copy of text or of a picture goes to
// the host, what is copied over there lands here. Pictures travel as PNG: a copy that
// offers image/png is sent byte for byte, any other picture is encoded as PNG. What
// came from the other side is not sent back (no echo); a text over 1 MiB or a picture
// over 8 MiB is not sent, and the user is told. Main thread.
class ClipboardSync : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)

public:
    ClipboardSync(RemoteSession *session, QClipboard *clipboard, QObject *parent = nullptr);

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    static QString tooLargeText() {
        return QStringLiteral("クリップボードの文字が 1 MiB を超えるため、相手側に送りませんでした");
    }
    static QString tooLargeImage() {
        return QStringLiteral("クリップボードの画像が 8 MiB を超えるため、相手側に送りませんでした");
    }

Q_SIGNALS:
    void enabledChanged();
    // Something the user should read (shown as a toast).
    void notice(const QString &text);

private:
    void localChanged();
    void remoteCopied(const QString &text);
    void remoteCopiedImage(const QByteArray &png);
    void localImageChanged();

    QPointer<RemoteSession> m_session;
    QPointer<QClipboard> m_clipboard;
    bool m_enabled = true;
    QString m_last;         // the last text that went either way
    QByteArray m_lastImage; // likewise, the last PNG
};
