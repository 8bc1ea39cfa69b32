#pragma once

#include "clipboard/ClipboardBackend.h"

#include <QByteArray>
#include <QPointer>
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
// pictures over ClipImage::maxBytes are not passed on. Copied files go both ways as on X11:
// an owner offering text/uri-list or x-special/gnome-copied-files is read for that first,
// its local file: URLs coming out as copiedFiles(); setFiles() offers those two types, and
// a paste takes the pipe at once (Mutter gives up on transfers left unanswered for 15 s)
// and gets the URLs once the viewer's files are here, or an empty, closed pipe when they
// cannot come (at most filesWaitMs). Main thread.
class MutterClipboard : public ClipboardBackend {
    Q_OBJECT
public:
    // nullptr and *problem when Mutter does not let the session have the clipboard.
    static std::unique_ptr<MutterClipboard> open(std::shared_ptr<MutterSession> session, QString *problem);
    ~MutterClipboard() override;

    void setText(const QString &text) override;
    void setImage(const QByteArray &png) override;
    void setFiles(ClipFilesOffer *offer) override;

    static constexpr int filesWaitMs = 60000;

private Q_SLOTS:
    void ownerChanged(const QDBusMessage &signal);
    void transfer(const QDBusMessage &signal);

private:
    explicit MutterClipboard(std::shared_ptr<MutterSession> session);
    void listen();
    enum class Kind { Text, Image, Files };
    void offer(const QByteArray &bytes, Kind kind);
    void offerTypes();
    void startRead(const QString &mime, Kind kind);
    void finishRead(bool ok);
    void writeFiles(quint32 serial, int fd, const QString &mime);

    std::shared_ptr<MutterSession> m_session;
    QString m_path;     // the session whose signals are followed
    QByteArray m_owned; // ours while the session owns the clipboard: UTF-8 text or a PNG
    Kind m_ownedKind = Kind::Text;
    QPointer<ClipFilesOffer> m_ownedFiles; // when m_ownedKind is Files
    bool m_owner = false;

    // One read at a time; a newer owner replaces the read under way.
    int m_readFd = -1;
    quint64 m_readSerial = 0; // which read an answer of SelectionRead belongs to
    QSocketNotifier *m_reader = nullptr;
    QByteArray m_incoming;
    Kind m_reading = Kind::Text;
    QTimer m_readTimeout;
};
