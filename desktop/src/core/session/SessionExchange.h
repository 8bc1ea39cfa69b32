#pragma once

#include "transfer/ClipFiles.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"
#include "transfer/FileTransfers.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

// What a viewer session exchanges with the host besides picture, sound and input:
// clipboard text ("clip" on ctrl), clipboard pictures as PNG ("clipimg" on ctrl), copied files (their list as
// "clipfiles" on ctrl, their content fetched on "file" when pasted) and files (on "file"), within the
// rights the host grants this viewer ("perm" on ctrl: `clip`, `files`). A host that never sends "perm" is assumed to
// allow both; it then answers or ignores the messages itself.
//
// Main thread; owned by its RemoteSession.
class SessionExchange : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool inputAllowed READ inputAllowed NOTIFY permissionsChanged)
    Q_PROPERTY(bool clipAllowed READ clipAllowed NOTIFY permissionsChanged)
    Q_PROPERTY(bool filesAllowed READ filesAllowed NOTIFY permissionsChanged)
    Q_PROPERTY(bool micAllowed READ micAllowed NOTIFY permissionsChanged)
    Q_PROPERTY(bool live READ live NOTIFY liveChanged)

public:
    struct Link {
        std::function<void(const QJsonObject &)> sendCtrl;
        FileTransfers::Link file;
    };

    explicit SessionExchange(Link link, QObject *parent = nullptr);

    FileTransfers *files() const { return m_files; }
    // Whether the host takes this viewer's mouse and keys (a host that does not say: yes).
    bool inputAllowed() const { return m_inputAllowed; }
    bool clipAllowed() const { return m_clipAllowed; }
    bool filesAllowed() const { return m_filesAllowed; }
    // Whether the host plays this viewer's microphone (`mic`; a host that does not say: no,
    // it would not know what to do with it).
    bool micAllowed() const { return m_micAllowed; }
    // True while the session is connected (authenticated).
    bool live() const { return m_live; }

    enum class ClipResult { Sent, TooLarge, NotAllowed, NotConnected };
    // Puts text on the host's clipboard.
    ClipResult sendClipboard(const QString &text);
    // Puts a PNG picture on the host's clipboard (TooLarge also for bytes that are no PNG).
    ClipResult sendClipboardImage(const QByteArray &png);
    // Announces local files copied here (needs `files`); the host fetches them when a
    // program there pastes them. TooLarge: more than ClipFiles::maxFiles files or
    // ClipFiles::maxTotalBytes; NotAllowed also when none of them is a regular file.
    ClipResult sendClipboardFiles(const QStringList &paths);

    // From the session: a control message ("clip", "perm"); true when it was one of these.
    bool handleCtrl(const QJsonObject &message);
    // From the session: it became connected, or stopped being so (then every transfer ends).
    void setLive(bool live, const QString &why = {});

Q_SIGNALS:
    // Text the host's clipboard took (a copy on the remote desktop).
    void clipboardReceived(const QString &text);
    // A PNG picture the host's clipboard took, byte for byte as it was copied.
    void clipboardImageReceived(const QByteArray &png);
    // Files copied on the host (only while this viewer has `files`): names and sizes, to be
    // fetched with files()->fetch() when pasted.
    void clipboardFilesReceived(const ClipFiles &list);
    void permissionsChanged();
    void liveChanged();

private:
    Link m_link;
    FileTransfers *m_files;
    ClipText m_clipIn;
    ClipImage m_imageIn;
    quint32 m_clipId = 0;
    bool m_inputAllowed = true;
    bool m_clipAllowed = true;
    bool m_filesAllowed = true;
    bool m_micAllowed = false;
    bool m_live = false;
};
