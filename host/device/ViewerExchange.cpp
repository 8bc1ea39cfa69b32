#include "device/ViewerExchange.h"

#include "device/SessionChannels.h"
#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/PermMessage.h"

#include <QLoggingCategory>

#include <algorithm>

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
    m_channels->sendText("ctrl", Json::compact(PermMessage{m_clip, m_filesRight, m_input}.toJson()));
}

void ViewerExchange::start(bool input, bool clip, bool files) {
    m_started = true;
    m_input = input;
    m_clip = clip;
    m_filesRight = files;
    m_files->setAllowed(files);
    sendPerm();
}

void ViewerExchange::setRights(bool input, bool clip, bool files) {
    if (input == m_input && clip == m_clip && files == m_filesRight)
        return;
    m_input = input;
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
    if (CtrlMessage::is<ClipImage>(message))
        return takeImagePart(message);
    if (!CtrlMessage::is<ClipText>(message))
        return false;
    if (!m_clipClock.isValid())
        m_clipClock.start();
    m_clipBudget = std::min(clipBurst, m_clipBudget + clipRate * double(m_clipClock.restart()) / 1000.0);
    const double cost = std::max(clipMinCost, double(message.value(QLatin1String("text")).toString().size()));
    if (cost > m_clipBudget) {
        // The text this part belongs to is lost: the next part does not follow on.
        if (m_clipDropped++ % 64 == 0)
            qCInfo(lcExchange) << "clipboard texts from the viewer come too fast: dropped" << m_clipDropped
                               << "parts so far";
        return true;
    }
    m_clipBudget -= cost;
    const std::optional<QString> text = m_clipIn.add(message);
    if (!text || !m_started || !m_clip || *text == m_lastText)
        return true;
    m_lastText = *text;
    m_lastImage.clear();
    Q_EMIT clipboardFromViewer(*text);
    return true;
}

bool ViewerExchange::takeImagePart(const QJsonObject &message) {
    if (!m_imageClock.isValid())
        m_imageClock.start();
    m_imageBudget = std::min(imageBurst, m_imageBudget + imageRate * double(m_imageClock.restart()) / 1000.0);
    const double cost = std::max(clipMinCost, double(message.value(QLatin1String("png")).toString().size()));
    if (cost > m_imageBudget) {
        if (m_clipDropped++ % 64 == 0)
            qCInfo(lcExchange) << "clipboard pictures from the viewer come too fast: dropped" << m_clipDropped
                               << "parts so far";
        return true;
    }
    m_imageBudget -= cost;
    const std::optional<QByteArray> png = m_imageIn.add(message);
    if (!png || !m_started || !m_clip || *png == m_lastImage)
        return true;
    m_lastImage = *png;
    m_lastText.clear();
    Q_EMIT clipboardImageFromViewer(*png);
    return true;
}

void ViewerExchange::offerClipboardImage(const QByteArray &png) {
    if (!m_started || !m_clip || png == m_lastImage)
        return;
    if (!ClipImage::fits(png)) {
        qCInfo(lcExchange) << "clipboard picture of" << png.size() << "bytes not sent: over" << ClipImage::maxBytes;
        return;
    }
    m_lastImage = png;
    m_lastText.clear();
    for (const QJsonObject &part : ClipImage::split(png, ++m_clipId))
        m_channels->sendText("ctrl", Json::compact(part));
}

void ViewerExchange::offerClipboard(const QString &text) {
    if (!m_started || !m_clip || text == m_lastText || !ClipText::fits(text))
        return;
    m_lastText = text;
    m_lastImage.clear();
    for (const QJsonObject &part : ClipText::split(text, ++m_clipId))
        m_channels->sendText("ctrl", Json::compact(part));
}
