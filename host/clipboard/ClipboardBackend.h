#pragma once

#include <QObject>
#include <QString>

// The desktop's clipboard as viewers see it: text copied on the desktop comes out as
// copied(); setText() puts a viewer's text on it. X11Clipboard fills it for X11 (the
// CLIPBOARD selection); a Wayland back end (the data-control protocol) would fill the
// same interface. Main thread.
class ClipboardBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Makes text the desktop's clipboard (this agent serves it until another client
    // copies something). Does not come back as copied().
    virtual void setText(const QString &text) = 0;

Q_SIGNALS:
    // Another program put this text on the clipboard (at most ClipText::maxBytes of UTF-8).
    void copied(const QString &text);
};
