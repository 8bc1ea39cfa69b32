#pragma once

#include <QMimeData>
#include <QPointer>
#include <QStringList>

class ClipFilesOffer;

// The host's copied files on this desktop's clipboard. It offers text/uri-list and
// x-special/gnome-copied-files (what file managers paste) without holding any content:
// the first time a program asks for either, the files are fetched from the host into
// the offer's folder in the user's cache, and the answer is their file: URLs. The
// toolkit wants the answer from retrieveData() itself, so the fetch runs in a local
// event loop (user input held back) for at most waitMs; a paste that runs out of time
// or fails gets nothing and fetchFailed() tells why, while a fetch still under way
// goes on, so pasting again a moment later finds the files. Main thread.
class RemoteFilesMimeData : public QMimeData {
    Q_OBJECT
public:
    RemoteFilesMimeData(ClipFilesOffer *offer, int waitMs);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;
    // True while a paste waits for the files (the clipboard must not change meanwhile).
    bool waiting() const { return m_waiting; }

Q_SIGNALS:
    void fetchFailed(const QString &why) const;
    // A paste stopped waiting.
    void waitEnded() const;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    QPointer<ClipFilesOffer> m_offer;
    int m_waitMs = 0;
    mutable bool m_waiting = false;
};
