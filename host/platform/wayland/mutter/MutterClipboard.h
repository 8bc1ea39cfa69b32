#pragma once

#include "clipboard/ClipboardBackend.h"

#include <QByteArray>
#include <QTimer>

#include <memory>

class MutterSession;
class QDBusMessage;
class QSocketNotifier;

// The clipboard of a Mutter desktop through the agent's remote-desktop session: Mutter
// tells of every new clipboard owner with its mime types (SelectionOwnerChanged); a text
// (or, without text, an image/png) is read through a pipe Mutter hands out (SelectionRead),
// without blocking and given up after 3 s. setText()/setImage() make the session the owner
// (SetSelection); Mutter asks for the bytes when a program pastes (SelectionTransfer) and
// the agent writes them into the pipe of SelectionWrite. Texts over ClipText::maxBytes and
// pictures over ClipImage::maxBytes are not passed on. Main thread.
class MutterClipboard : public ClipboardBackend {
    Q_OBJECT
public:
    // nullptr and *problem when Mutter does not let the session have the clipboard.
    static std::unique_ptr<MutterClipboard> open(std::shared_ptr<MutterSession> session, QString *problem);
    ~MutterClipboard() override;

    void setText(const QString &text) override;
    void setImage(const QByteArray &png) override;

private Q_SLOTS:
    void ownerChanged(const QDBusMessage &signal);
    void transfer(const QDBusMessage &signal);

private:
    explicit MutterClipboard(std::shared_ptr<MutterSession> session);
    void listen();
    void offer(const QByteArray &bytes, bool image);
    void startRead(const QString &mime);
    void finishRead(bool ok);

    std::shared_ptr<MutterSession> m_session;
    QString m_path;     // the session whose signals are followed
    QByteArray m_owned; // ours while the session owns the clipboard: UTF-8 text or a PNG
    bool m_ownedImage = false;
    bool m_owner = false;

    // One read at a time; a newer owner replaces the read under way.
    int m_readFd = -1;
    quint64 m_readSerial = 0; // which read an answer of SelectionRead belongs to
    QSocketNotifier *m_reader = nullptr;
    QByteArray m_incoming;
    bool m_readingImage = false;
    QTimer m_readTimeout;
};
