#include "clipboard/PendingPaste.h"

#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"

#include <QTimer>

#include <unistd.h>

#include <utility>

PendingPaste::PendingPaste(ClipFilesOffer *offer, const QString &mime, int fd, QObject *parent, Answer answer)
    : QObject(parent), m_offer(offer), m_mime(mime), m_fd(fd), m_answer(std::move(answer)) {}

PendingPaste::~PendingPaste() {
    if (m_fd >= 0)
        close(m_fd);
}

void PendingPaste::start(ClipFilesOffer *offer, const QString &mime, int fd, int waitMs, QObject *parent,
                         Answer answer) {
    auto *paste = new PendingPaste(offer, mime, fd, parent, std::move(answer));
    if (!offer || offer->state() == ClipFilesOffer::State::Ready) {
        paste->finish();
        return;
    }
    // Main thread. Whichever comes first answers: the files, the offer's end, the time limit.
    connect(offer, &ClipFilesOffer::finished, paste, &PendingPaste::finish);
    connect(offer, &QObject::destroyed, paste, &PendingPaste::finish);
    QTimer::singleShot(waitMs, paste, &PendingPaste::finish);
    offer->fetch();
}

void PendingPaste::finish() {
    if (std::exchange(m_answered, true))
        return;
    deleteLater();
    QByteArray bytes;
    QString why;
    if (!m_offer)
        why = QStringLiteral("the copy is gone");
    else if (m_offer->state() == ClipFilesOffer::State::Ready)
        bytes = m_mime == ClipFiles::uriListType ? ClipFiles::uriList(m_offer->paths())
                                                 : ClipFiles::gnomeCopiedFiles(m_offer->paths());
    else
        why = m_offer->error().isEmpty() ? QStringLiteral("the files did not come in time") : m_offer->error();
    m_answer(std::exchange(m_fd, -1), bytes, why);
}
