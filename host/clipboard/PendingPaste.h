#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class ClipFilesOffer;

// A paste of a viewer's copied files, answered once they are here: the pasting program
// waits on its pipe meanwhile. start() calls `answer` with the pipe and the files' URLs
// in `mime` (text/uri-list or x-special/gnome-copied-files) — at once when the files are
// here already, else when the fetch ends — or with empty bytes and the reason when they
// cannot come: the fetch failed, the offer went (the viewer left or lost `files`), or
// `waitMs` passed. `answer` owns the pipe from then on. If `parent` goes first, the pipe
// is closed unanswered, so the program waiting on it is never left hanging. Main thread.
class PendingPaste : public QObject {
public:
    using Answer = std::function<void(int fd, const QByteArray &bytes, const QString &why)>;
    static void start(ClipFilesOffer *offer, const QString &mime, int fd, int waitMs, QObject *parent, Answer answer);
    ~PendingPaste() override;

private:
    PendingPaste(ClipFilesOffer *offer, const QString &mime, int fd, QObject *parent, Answer answer);
    void finish();

    QPointer<ClipFilesOffer> m_offer;
    QString m_mime;
    int m_fd;
    Answer m_answer;
    bool m_answered = false;
};
