#include "viewer/RemoteFilesMimeData.h"

#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"

#include <QEventLoop>
#include <QTimer>

RemoteFilesMimeData::RemoteFilesMimeData(ClipFilesOffer *offer, int waitMs) : m_offer(offer), m_waitMs(waitMs) {}

QStringList RemoteFilesMimeData::formats() const {
    return {QString(ClipFiles::uriListType), QString(ClipFiles::gnomeType)};
}

bool RemoteFilesMimeData::hasFormat(const QString &mimeType) const {
    return mimeType == ClipFiles::uriListType || mimeType == ClipFiles::gnomeType;
}

QVariant RemoteFilesMimeData::retrieveData(const QString &mimeType, QMetaType type) const {
    (void)type; // bytes; QMimeData turns them into URLs for urls()
    if (!hasFormat(mimeType) || !m_offer || m_waiting)
        return {};
    if (m_offer->state() != ClipFilesOffer::State::Ready) {
        m_offer->fetch();
        if (m_offer->state() == ClipFilesOffer::State::Fetching) {
            QEventLoop loop;
            QTimer limit;
            limit.setSingleShot(true);
            QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
            QObject::connect(m_offer, &ClipFilesOffer::finished, &loop, &QEventLoop::quit);
            QObject::connect(m_offer, &QObject::destroyed, &loop, &QEventLoop::quit);
            limit.start(m_waitMs);
            m_waiting = true;
            loop.exec(QEventLoop::ExcludeUserInputEvents);
            m_waiting = false;
            Q_EMIT waitEnded();
        }
        if (!m_offer) {
            Q_EMIT fetchFailed(QStringLiteral("接続が切れました"));
            return {};
        }
        if (m_offer->state() == ClipFilesOffer::State::Failed) {
            Q_EMIT fetchFailed(m_offer->error());
            return {};
        }
        if (m_offer->state() != ClipFilesOffer::State::Ready) {
            Q_EMIT fetchFailed(QStringLiteral("時間内に届きませんでした(受け取りは続けています)"));
            return {};
        }
    }
    const QStringList paths = m_offer->paths();
    return mimeType == ClipFiles::uriListType ? ClipFiles::uriList(paths) : ClipFiles::gnomeCopiedFiles(paths);
}
