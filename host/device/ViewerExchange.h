#pragma once

#include "transfer/ClipText.h"
#include "transfer/FileTransfers.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class SessionChannels;

// Clipboard text and files between this desktop and one admitted viewer, within the
// viewer's `clip` and `files` rights: "perm" tells the viewer what it may do, "clip"
// parts carry text both ways (ctrl), FileTransfers runs the "file" channel. Main thread.
class ViewerExchange : public QObject {
    Q_OBJECT
public:
    explicit ViewerExchange(SessionChannels *channels, QObject *parent = nullptr);

    FileTransfers *files() const { return m_files; }

    // The viewer is admitted: it learns its rights and exchanges begin.
    void start(bool clip, bool files);
    // The host changed the viewer's rights; a withdrawn `files` ends its transfers.
    void setRights(bool clip, bool files);
    // The session ended: transfers stop, partial files are removed.
    void stop(const QString &why);

    // A "clip" part from the viewer; true when it was one.
    bool handleCtrl(const QJsonObject &message);
    // The desktop's clipboard changed: the viewer gets the text unless it came from it.
    void offerClipboard(const QString &text);

Q_SIGNALS:
    // A whole text from the viewer, to go on the desktop's clipboard.
    void clipboardFromViewer(const QString &text);

private:
    void sendPerm();

    SessionChannels *m_channels;
    FileTransfers *m_files;
    ClipText m_clipIn;
    quint32 m_clipId = 0;
    QString m_lastText; // the last text that went either way: never sent back
    bool m_started = false;
    bool m_clip = true;
    bool m_filesRight = true;
};
