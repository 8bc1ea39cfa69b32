#pragma once

#include "protocol/FileChunkHeader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class IncomingFile;
class QFile;

// Files in both directions over one session's "file" channel. The sender announces a
// file ("file_start"), the receiver accepts it into its folder or rejects it, the
// bytes follow as chunks (protocol/FileChunkHeader, `extra` = offset mod 2^32) that the
// receiver acknowledges every ackEvery bytes, and "file_end" / "file_done" close it.
// At most `window` unacknowledged bytes are on their way and the channel's own buffer
// is kept under channelHigh, so neither end holds more than a few MiB of a file in
// memory, whatever its size. host/DEVICE.md lists the messages.
//
// Lives on its owner's thread (the main thread); the link's functions are called there.
class FileTransfers : public QObject {
    Q_OBJECT
public:
    struct Link {
        std::function<bool(const QByteArray &json)> sendText;
        std::function<bool(const QByteArray &bytes)> sendBinary;
        std::function<quint64()> buffered; // bytes still waiting in the channel
    };

    enum class Direction { Outgoing, Incoming };
    enum class Status { Waiting, Running, Done, Failed, Cancelled };

    struct Transfer {
        int key = 0;
        Direction direction = Direction::Outgoing;
        QString name; // as shown: the file's own name, or the name it is saved under
        QString path; // the file sent, or the file received once it is complete
        qint64 size = 0;
        qint64 done = 0; // bytes the receiving end has written
        Status status = Status::Waiting;
        QString message; // why it failed or was cancelled
        bool finished() const {
            return status == Status::Done || status == Status::Failed || status == Status::Cancelled;
        }
    };

    static constexpr qsizetype chunkBytes = 64 * 1024 - FileChunkHeader::size;
    static constexpr qint64 window = 4 * 1024 * 1024;
    static constexpr qint64 ackEvery = 1024 * 1024;
    static constexpr quint64 channelHigh = 1024 * 1024;
    static constexpr int maxIncoming = 8;
    static constexpr int maxOutgoing = 32;
    static constexpr int acceptTimeoutMs = 15000;
    // A running transfer that makes no progress for this long is given up (a sender
    // that stopped sending, a receiver that stopped acknowledging).
    static constexpr int defaultStallMs = 60000;
    static constexpr int keptFinished = 50;

    explicit FileTransfers(Link link, QObject *parent = nullptr);
    ~FileTransfers() override;

    // The user's download folder (XDG_DOWNLOAD_DIR, else ~/Downloads).
    static QString defaultFolder();
    void setFolder(const QString &folder) { m_folder = folder; }
    QString folder() const { return m_folder; }

    // Whether the other end may exchange files with this one; switching it off ends
    // every running transfer and refuses new ones.
    void setAllowed(bool allowed);
    bool allowed() const { return m_allowed; }
    void setStallTimeoutMs(int ms) { m_stallMs = ms; }

    // Starts sending a file, offered under `name` (default: its own file name); returns
    // its key. A file that cannot be sent shows as a failed transfer.
    int send(const QString &path, const QString &name = {});
    // Cancels a running transfer of either direction (the other end is told).
    void cancel(int key);
    // The connection is gone: every transfer ends with `why`, partial files are removed,
    // nothing more is sent.
    void abortAll(const QString &why);
    // Forgets a finished transfer.
    void forget(int key);

    // Copied files, fetched when pasted. The files of this end's clipboard announcement
    // `clip` (ClipFiles), which the other end may ask for by index with "file_get"; each
    // one asked for is sent like any file, its "file_start" naming the request. Replaces
    // the previous list (its files can no longer be asked for); an empty list shares none.
    void share(quint32 clip, const QStringList &paths);
    // Asks the other end for file `index` of its announcement `clip`, to be received into
    // `folder` and refused when larger than `maxSize`. Returns the request's number, whose
    // outcome comes as fetched() or fetchFailed(); 0 when files are not allowed or too
    // many requests wait. At most maxFetching run at once, the others wait their turn.
    quint32 fetch(quint32 clip, int index, const QString &folder, qint64 maxSize);
    // Gives up a request (a file being received for it is cancelled); no signal follows.
    void cancelFetch(quint32 req);
    static constexpr int maxFetching = 4;
    static constexpr int maxQueuedFetches = 256;

    // Messages from the other end on "file".
    void handleText(const QJsonObject &message);
    // True when the chunk belonged to a transfer being received.
    bool handleBinary(QByteArrayView message);

    QList<Transfer> transfers() const;
    std::optional<Transfer> transfer(int key) const;

Q_SIGNALS:
    void added(int key);
    // Progress or status of a transfer changed.
    void changed(int key);
    // A fetch() ended: the file is complete at `path`, or it failed for `why` (Japanese).
    void fetched(quint32 req, const QString &path);
    void fetchFailed(quint32 req, const QString &why);

private:
    struct Out {
        int key = 0;
        std::unique_ptr<QFile> file;
        qint64 size = 0;
        qint64 sent = 0;
        qint64 acked = 0;
        bool accepted = false;
        bool endSent = false;
        QElapsedTimer since; // since the offer, then since the last acknowledgement
    };
    struct In {
        int key = 0;
        std::unique_ptr<IncomingFile> file;
        qint64 acked = 0;
        quint32 req = 0;     // the fetch it answers, if any
        QElapsedTimer since; // since the last chunk
    };

    struct Fetch {
        quint32 clip = 0;
        int index = 0;
        QString folder;
        qint64 maxSize = 0;
        bool asked = false;
        quint32 inId = 0;    // the sender's id once its file started
        QElapsedTimer since; // since it was asked for
    };

    int sendFile(const QString &path, const QString &name, quint32 req);
    void handleGet(const QJsonObject &message);
    void askFetches();
    void endFetch(quint32 req, const QString &path, const QString &why);
    int addTransfer(Transfer t);
    void finish(int key, Status status, const QString &message = {});
    void sendJson(const QJsonObject &message);
    void failOut(quint32 id, const QString &message, bool tellPeer);
    void failIn(quint32 id, const QString &message, bool tellPeer);
    void schedulePump(int delayMs = 0);
    void pump();
    void checkTimeouts();
    void prune();

    Link m_link;
    QString m_folder;
    bool m_allowed = true;
    int m_stallMs = defaultStallMs;
    int m_nextKey = 0;
    quint32 m_nextId = 0;
    std::map<int, Transfer> m_list;
    std::map<quint32, Out> m_out;       // by the id this end gave
    std::map<quint32, In> m_in;         // by the id the other end gave
    std::map<quint32, Fetch> m_fetches; // by request number: waiting, asked, or being received
    quint32 m_nextReq = 0;
    quint32 m_sharedClip = 0;
    QStringList m_shared;
    QTimer m_pumpTimer;
    QTimer m_watch;
};
