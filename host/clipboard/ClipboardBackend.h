#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class ClipFilesOffer;

// The desktop's clipboard as viewers see it: text copied on the desktop comes out as
// copied(), a copied picture as copiedImage(); setText() and setImage() put a viewer's
// copy on it. A back end that cannot carry pictures keeps the default setImage(), one
// that cannot carry copied files the default setFiles() (and never emits copiedFiles()).
// X11Clipboard fills it for X11 (the CLIPBOARD selection), MutterClipboard for GNOME
// through Mutter's remote-desktop session, WlrClipboard for wlroots compositors.
// Main thread.
class ClipboardBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Makes text the desktop's clipboard (this agent serves it until another client
    // copies something). Does not come back as copied().
    virtual void setText(const QString &text) = 0;
    // Makes a PNG file's bytes (at most ClipImage::maxBytes) the desktop's clipboard,
    // served as image/png. Does not come back as copiedImage().
    virtual void setImage(const QByteArray &png) { (void)png; }
    // Makes a viewer's copied files the desktop's clipboard, offered as text/uri-list and
    // x-special/gnome-copied-files; their content is fetched from the viewer only when a
    // program pastes them. The offer belongs to the viewer's session: once it is gone,
    // pastes are refused. Does not come back as copiedFiles().
    virtual void setFiles(ClipFilesOffer *offer) { (void)offer; }

Q_SIGNALS:
    // Another program put this text on the clipboard (at most ClipText::maxBytes of UTF-8).
    void copied(const QString &text);
    // Another program put a PNG picture on the clipboard (at most ClipImage::maxBytes).
    void copiedImage(const QByteArray &png);
    // Another program put files on the clipboard: the local paths its file: URLs name
    // (unchecked; the sessions keep only regular files).
    void copiedFiles(const QStringList &paths);
};
