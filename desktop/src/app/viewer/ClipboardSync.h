#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "transfer/ClipFiles.h"

#include <memory>
#include <optional>

class ClipFilesOffer;
class QClipboard;
class QMimeData;
class RemoteFilesMimeData;
class RemoteSession;

// Keeps this desktop's clipboard and the remote one in step while the session is
// connected and the host grants `clip`: a local copy of text or of a picture goes to
// the host, what is copied over there lands here. Pictures travel as PNG: a copy that
// offers image/png is sent byte for byte, any other picture is encoded as PNG. What
// came from the other side is not sent back (no echo); a text over 1 MiB or a picture
// over 8 MiB is not sent, and the user is told.
//
// Copied files go both ways while the host grants `files` (without it nothing is
// offered either way, not even their paths as text). Files copied here are announced
// by name and size (folders are left out, and the user is told); the host fetches them
// only when a program there pastes them.
// Files copied on the host are offered here as text/uri-list and
// x-special/gnome-copied-files (RemoteFilesMimeData): a paste fetches them into a
// folder of their own under the user's cache ($XDG_CACHE_HOME/velmo-remote/clipboard),
// waiting at most fetchWaitMs, and gets their file: URLs; a file manager then copies
// them where the paste happens. That folder goes when the host copies something else,
// something else is copied here, or the session window closes.
// A program that does not take pasted files (a text editor, a terminal) gets nothing
// from that offer, so the host's copy can also be saved into the downloads folder
// (saveRemoteFiles(), "ダウンロードに保存" in the session window): fetched straight
// there, a taken name numbered rather than replaced, and a notice names the folder and
// the files. Main thread.
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
    static QString tooManyFiles() {
        return QStringLiteral(
            "コピーしたファイルが多すぎるか大きすぎるため(64 個・合計 2 GiB まで)、相手側に送りませんでした");
    }
    static QString foldersLeftOut() {
        return QStringLiteral("フォルダはクリップボードで送れないため、ファイルだけを相手側に送りました");
    }
    static QString filesNotFetched(const QString &why) {
        return QStringLiteral("コピーされたファイルを受け取れませんでした: ") + why;
    }
    static QString filesNotSaved(const QString &why) {
        return QStringLiteral("コピーされたファイルをダウンロードに保存できませんでした: ") + why;
    }
    // "ダウンロード(/home/u/Downloads)に保存しました: a.pdf、b.txt" (long lists end in "ほか N 個").
    static QString filesSaved(const QString &folder, const QStringList &paths);
    // "相手側でファイルがコピーされました: a.pdf ほか 1 個"
    static QString filesOffered(const QStringList &names);
    static constexpr int fetchWaitMs = 30000;
    // Where files copied on the host are received when pasted here.
    static QString cacheFolder();

    ~ClipboardSync() override;

    // The names of the files the host copied last, while they can be fetched (empty
    // otherwise: nothing copied there, something else copied since, no `files`, no session).
    QStringList remoteFiles() const;
    // True while saveRemoteFiles() fetches.
    bool saving() const;
    // Fetches the host's copied files into `folder` (when empty, the folder the session's
    // received files go to: the downloads folder);
    // savedRemoteFiles() or a notice follows. Ignored while nothing is offered or a save runs.
    void saveRemoteFiles(const QString &folder = {});
    static QString downloadsFolder();

Q_SIGNALS:
    void enabledChanged();
    // Something the user should read (shown as a toast).
    void notice(const QString &text);
    // remoteFiles() or saving() changed.
    void remoteFilesChanged();
    // The host copied files (again): remoteFiles() names them.
    void remoteFilesOffered();
    // A save ended with every file in place (also told as a notice).
    void remoteFilesSaved(const QString &folder, const QStringList &paths);

private:
    void localChanged();
    void remoteCopied(const QString &text);
    void remoteCopiedImage(const QByteArray &png);
    void localImageChanged();
    // True when the clipboard held local files (sent, or refused for a reason).
    bool localFilesChanged(const QMimeData *data);
    void remoteCopiedFiles(const ClipFiles &list);
    void dropRemoteFiles();
    // The host's copy is no longer what its clipboard holds.
    void forgetRemoteFiles();
    void saveEnded();
    // Puts what came from the host on the clipboard (with the offer behind it, for files),
    // once no paste waits for files.
    void put(QMimeData *data, std::unique_ptr<ClipFilesOffer> offer = {});
    void putDeferred();
    bool ours(const QMimeData *data) const;

    std::unique_ptr<ClipFilesOffer> m_offer; // the host's copied files offered here
    std::optional<ClipFiles> m_remote;       // the host's last copy of files, while current
    std::unique_ptr<ClipFilesOffer> m_save;  // a save into the downloads folder under way
    QPointer<RemoteFilesMimeData> m_offered;
    std::unique_ptr<QMimeData> m_deferred;
    std::unique_ptr<ClipFilesOffer> m_deferredOffer;
    QStringList m_lastFiles; // the last local files announced

    QPointer<RemoteSession> m_session;
    QPointer<QClipboard> m_clipboard;
    bool m_enabled = true;
    QString m_last;         // the last text that went either way
    QByteArray m_lastImage; // likewise, the last PNG
};
