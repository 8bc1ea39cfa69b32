#pragma once

#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"
#include "transfer/FileTransfers.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>

class SessionChannels;

// Clipboard text and files between this desktop and one admitted viewer, within the
// viewer's `clip` and `files` rights: "perm" tells the viewer what it may do (its
// `input` right too, which RemoteInput enforces), "clip"
// parts carry text and "clipimg" parts PNG pictures both ways (ctrl), FileTransfers
// runs the "file" channel. Main thread.
class ViewerExchange : public QObject {
    Q_OBJECT
public:
    explicit ViewerExchange(SessionChannels *channels, QObject *parent = nullptr);
    ~ViewerExchange() override;

    FileTransfers *files() const { return m_files; }

    // The viewer is admitted: it learns its rights and exchanges begin.
    void start(bool input, bool clip, bool files);
    // The host changed the viewer's rights; a withdrawn `files` ends its transfers. The
    // viewer hears of every change at once.
    void setRights(bool input, bool clip, bool files);
    // The session ended: transfers stop, partial files are removed.
    void stop(const QString &why);

    // A "clip" or "clipimg" part from the viewer; true when it was one.
    bool handleCtrl(const QJsonObject &message);

    // What a viewer's clipboard texts may cost, in UTF-16 units: a budget of clipBurst
    // that refills at clipRate a second, each part costing its length and at least
    // clipMinCost (a flood of tiny texts is a flood too). A part beyond the budget is
    // dropped, and with it the text it belongs to: putting text on the desktop's
    // clipboard and passing it to the other viewers is the costly part. One text of the
    // largest size fits the budget at any time.
    static constexpr double clipBurst = 1.25 * 1024 * 1024;
    static constexpr double clipRate = 128 * 1024;
    static constexpr double clipMinCost = 4096;
    // The desktop's clipboard changed: the viewer gets the text unless it came from it.
    void offerClipboard(const QString &text);
    // Pictures have a budget of their own, in Base64 characters: one picture of the
    // largest size at any time, refilled at imageRate a second.
    static constexpr double imageBurst = 1.25 * double((ClipImage::maxBytes + 2) / 3 * 4);
    static constexpr double imageRate = 2 * 1024 * 1024;
    // The desktop's clipboard holds a picture: the viewer gets it unless it came from it.
    void offerClipboardImage(const QByteArray &png);
    // The desktop's clipboard holds files: a viewer with `files` is told their names and
    // sizes ("clipfiles"), and may then fetch them; one without hears nothing. Folders
    // and anything but regular files are left out; a copy of more than ClipFiles::maxFiles
    // files or ClipFiles::maxTotalBytes is not announced at all (logged).
    void offerClipboardFiles(const QStringList &paths);
    // Where files a viewer copied are received when a program here pastes them: a folder
    // per copy under the agent user's cache ($XDG_CACHE_HOME/velmo-remote-host/clipboard),
    // removed when the viewer copies something else, loses `files` or leaves.
    static QString clipFolder();

    // Files with this viewer for the host user to see: the running ones and the last
    // keptEnded that ended, oldest first.
    static constexpr int keptEnded = 5;
    QList<FileTransfers::Transfer> shownTransfers() const;

Q_SIGNALS:
    // A whole text from the viewer, to go on the desktop's clipboard.
    void clipboardFromViewer(const QString &text);
    // shownTransfers() changed: at once when a file starts or ends, at most every
    // progressMs while bytes flow.
    void transfersChanged();
    // A whole PNG picture from the viewer, to go on the desktop's clipboard.
    void clipboardImageFromViewer(const QByteArray &png);
    // The viewer copied files (it has `files`): the offer fetches them on demand and lives
    // until the viewer copies again, loses `files` or leaves.
    void clipboardFilesFromViewer(ClipFilesOffer *offer);

private:
    static constexpr int progressMs = 250;
    void noteTransfer(int key);

    void sendPerm();
    bool takeImagePart(const QJsonObject &message);
    bool takeFiles(const QJsonObject &message);
    void dropFiles();

    SessionChannels *m_channels;
    FileTransfers *m_files;
    ClipText m_clipIn;
    quint32 m_clipId = 0;
    QString m_lastText; // the last text that went either way: never sent back
    ClipImage m_imageIn;
    QByteArray m_lastImage; // likewise for pictures
    static bool spend(double &budget, QElapsedTimer &clock, double burst, double rate, double cost);
    double m_imageBudget = imageBurst;
    QElapsedTimer m_imageClock;
    double m_clipBudget = clipBurst;
    QElapsedTimer m_clipClock; // since the budget was last refilled
    qint64 m_clipDropped = 0;  // parts dropped, for the log
    bool m_started = false;
    bool m_input = true;
    bool m_clip = true;
    bool m_filesRight = true;
    std::unique_ptr<ClipFilesOffer> m_offer;        // the viewer's copied files
    std::map<int, FileTransfers::Transfer> m_shown; // by key: keys grow, so oldest first
    QTimer m_progress;
};
