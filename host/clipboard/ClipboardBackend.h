#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The desktop's clipboard as viewers see it: text copied on the desktop comes out as
// copied(), a copied picture as copiedImage(); setText() and setImage() put a viewer's
// copy on it. A back end that cannot carry pictures keeps the default setImage(). X11Clipboard fills it for X11 (the
// CLIPBOARD selection); a Wayland back end (the data-control protocol) would fill the
// same interface. Main thread.
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

Q_SIGNALS:
    // Another program put this text on the clipboard (at most ClipText::maxBytes of UTF-8).
    void copied(const QString &text);
    // Another program put a PNG picture on the clipboard (at most ClipImage::maxBytes).
    void copiedImage(const QByteArray &png);
};
