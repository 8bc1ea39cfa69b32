#include "device/ViewerExchange.h"

#include "device/SessionChannels.h"
#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/PermMessage.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcExchange, "velmo.device.exchange")

namespace {
FileTransfers::Link fileLink(SessionChannels *channels) {
    FileTransfers::Link link;
    link.sendText = [channels](const QByteArray &json) { return channels->sendText("file", json); };
    link.sendBinary = [channels](const QByteArray &bytes) { return channels->sendBinary("file", bytes); };
    link.buffered = [channels] { return channels->buffered("file"); };
    return link;
}
} // namespace

ViewerExchange::ViewerExchange(SessionChannels *channels, QObject *parent)
    : QObject(parent), m_channels(channels), m_files(new FileTransfers(fileLink(channels), this)) {
    // Nothing is accepted before the viewer is admitted.
    m_files->setAllowed(false);
    connect(m_files, &FileTransfers::changed, this, [this](int key) {
        const auto t = m_files->transfer(key);
        if (!t || !t->finished())
            return;
        const char *way = t->direction == FileTransfers::Direction::Incoming ? "from" : "to";
        if (t->status == FileTransfers::Status::Done)
            qCInfo(lcExchange) << "file" << way << "viewer:" << t->name << t->size << "bytes" << t->path;
        else
            qCInfo(lcExchange) << "file" << way << "viewer ended:" << t->name << t->message;
        m_files->forget(key);
    });
}

void ViewerExchange::sendPerm() {
    m_channels->sendText("ctrl", Json::compact(PermMessage{m_clip, m_filesRight, std::nullopt}.toJson()));
}

void ViewerExchange::start(bool clip, bool files) {
    m_started = true;
    m_clip = clip;
    m_filesRight = files;
    m_files->setAllowed(files);
    sendPerm();
}

void ViewerExchange::setRights(bool clip, bool files) {
    if (clip == m_clip && files == m_filesRight)
        return;
    m_clip = clip;
    m_filesRight = files;
    if (!m_started)
        return;
    m_files->setAllowed(files);
    sendPerm();
}

void ViewerExchange::stop(const QString &why) {
    m_started = false;
    m_files->abortAll(why);
    m_files->setAllowed(false);
}

bool ViewerExchange::handleCtrl(const QJsonObject &message) {
    if (!CtrlMessage::is<ClipText>(message))
        return false;
    const std::optional<QString> text = m_clipIn.add(message);
    if (!text || !m_started || !m_clip || *text == m_lastText)
        return true;
    m_lastText = *text;
    Q_EMIT clipboardFromViewer(*text);
    return true;
}

void ViewerExchange::offerClipboard(const QString &text) {
    if (!m_started || !m_clip || text == m_lastText || !ClipText::fits(text))
        return;
    m_lastText = text;
    for (const QJsonObject &part : ClipText::split(text, ++m_clipId))
        m_channels->sendText("ctrl", Json::compact(part));
}
