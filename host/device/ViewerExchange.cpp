#include "device/ViewerExchange.h"

#include "device/SessionChannels.h"
#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/PermMessage.h"
#include "transfer/ClipFilesOffer.h"

#include <QLoggingCategory>
#include <QStandardPaths>

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
    m_progress.setSingleShot(true);
    m_progress.setInterval(progressMs);
    connect(&m_progress, &QTimer::timeout, this, &ViewerExchange::transfersChanged);
    connect(m_files, &FileTransfers::added, this, &ViewerExchange::noteTransfer);
    connect(m_files, &FileTransfers::changed, this, &ViewerExchange::noteTransfer);
}

ViewerExchange::~ViewerExchange() = default;

void ViewerExchange::noteTransfer(int key) {
    const auto t = m_files->transfer(key);
    if (!t)
        return;
    const auto before = m_shown.find(key);
    const bool news = before == m_shown.end() || before->second.status != t->status;
    m_shown[key] = *t;
    if (!t->finished()) {
        // Progress is worth an event now and then, not one per acknowledgement.
        if (news) {
            m_progress.stop();
            Q_EMIT transfersChanged();
        } else if (!m_progress.isActive()) {
            m_progress.start();
        }
        return;
    }
    const char *way = t->direction == FileTransfers::Direction::Incoming ? "from" : "to";
    if (t->status == FileTransfers::Status::Done)
        qCInfo(lcExchange) << "file" << way << "viewer:" << t->name << t->size << "bytes" << t->path;
    else
        qCInfo(lcExchange) << "file" << way << "viewer ended:" << t->name << t->message;
    m_files->forget(key);
    // Only the last few ended ones stay listed.
    int ended = 0;
    for (auto it = m_shown.rbegin(); it != m_shown.rend(); ++it)
        ended += it->second.finished() ? 1 : 0;
    for (auto it = m_shown.begin(); it != m_shown.end() && ended > keptEnded;) {
        if (it->second.finished()) {
            it = m_shown.erase(it);
            --ended;
        } else {
            ++it;
        }
    }
    m_progress.stop();
    Q_EMIT transfersChanged();
}

QList<FileTransfers::Transfer> ViewerExchange::shownTransfers() const {
    QList<FileTransfers::Transfer> out;
    for (const auto &[key, t] : m_shown)
        out.append(t);
    return out;
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
    if (!files)
        dropFiles();
    sendPerm();
}

void ViewerExchange::dropFiles() {
    m_files->share(0, {});
    m_offer.reset(); // its folder goes with it; the desktop's clipboard then refuses pastes
}

QString ViewerExchange::clipFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/velmo-remote-host/clipboard");
}

void ViewerExchange::stop(const QString &why) {
    m_started = false;
    m_files->abortAll(why);
    m_files->setAllowed(false);
    dropFiles();
}

// A budget of `burst` that refills at `rate` a second: takes `cost` from it when it holds that much.
bool ViewerExchange::spend(double &budget, QElapsedTimer &clock, double burst, double rate, double cost) {
    if (!clock.isValid())
        clock.start();
    budget = std::min(burst, budget + rate * double(clock.restart()) / 1000.0);
    if (cost > budget)
        return false;
    budget -= cost;
    return true;
}

bool ViewerExchange::handleCtrl(const QJsonObject &message) {
    if (CtrlMessage::is<ClipImage>(message))
        return takeImagePart(message);
    if (CtrlMessage::is<ClipFiles>(message))
        return takeFiles(message);
    if (!CtrlMessage::is<ClipText>(message))
        return false;
    const double cost = std::max(clipMinCost, double(message.value(QLatin1String("text")).toString().size()));
    if (!spend(m_clipBudget, m_clipClock, clipBurst, clipRate, cost)) {
        // The text this part belongs to is lost: the next part does not follow on.
        if (m_clipDropped++ % 64 == 0)
            qCInfo(lcExchange) << "clipboard texts from the viewer come too fast: dropped" << m_clipDropped
                               << "parts so far";
        return true;
    }
    const std::optional<QString> text = m_clipIn.add(message);
    if (!text || !m_started || !m_clip || *text == m_lastText)
        return true;
    m_lastText = *text;
    m_lastImage.clear();
    Q_EMIT clipboardFromViewer(*text);
    return true;
}

bool ViewerExchange::takeImagePart(const QJsonObject &message) {
    const double cost = std::max(clipMinCost, double(message.value(QLatin1String("png")).toString().size()));
    if (!spend(m_imageBudget, m_imageClock, imageBurst, imageRate, cost)) {
        if (m_clipDropped++ % 64 == 0)
            qCInfo(lcExchange) << "clipboard pictures from the viewer come too fast: dropped" << m_clipDropped
                               << "parts so far";
        return true;
    }
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

bool ViewerExchange::takeFiles(const QJsonObject &message) {
    // A list costs like a small text: a flood of them is a flood of clipboard changes.
    if (!spend(m_clipBudget, m_clipClock, clipBurst, clipRate, clipMinCost))
        return true;
    if (!m_started || !m_filesRight)
        return true;
    std::optional<ClipFiles> list = ClipFiles::fromJson(message);
    if (!list) {
        qCInfo(lcExchange) << "copied files from the viewer not taken: a bad or too large list";
        return true;
    }
    m_lastText.clear();
    m_lastImage.clear();
    m_offer = std::make_unique<ClipFilesOffer>(m_files, std::move(*list), clipFolder());
    qCInfo(lcExchange) << "the viewer copied" << m_offer->announced().files.size() << "files";
    Q_EMIT clipboardFilesFromViewer(m_offer.get());
    return true;
}

void ViewerExchange::offerClipboardFiles(const QStringList &paths) {
    if (!m_started || !m_filesRight)
        return;
    ClipFiles list;
    QStringList kept;
    int skipped = 0;
    switch (ClipFiles::describe(paths, ++m_clipId, &list, &kept, &skipped)) {
    case ClipFiles::Outcome::Ok:
        break;
    case ClipFiles::Outcome::NoFiles:
        qCInfo(lcExchange) << "copied files not offered: no regular file among" << paths.size();
        return;
    case ClipFiles::Outcome::TooMany:
        qCInfo(lcExchange) << "copied files not offered: more than" << ClipFiles::maxFiles;
        return;
    case ClipFiles::Outcome::TooLarge:
        qCInfo(lcExchange) << "copied files not offered: more than" << ClipFiles::maxTotalBytes << "bytes";
        return;
    }
    if (skipped > 0)
        qCInfo(lcExchange) << "copied files: left out" << skipped << "folders or other non-files";
    m_lastText.clear();
    m_lastImage.clear();
    m_files->share(list.id, kept);
    m_channels->sendText("ctrl", Json::compact(list.toJson()));
}
