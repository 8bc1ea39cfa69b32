#pragma once

#include "transfer/ClipFiles.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>

class FileTransfers;

// Files the other end copied (its ClipFiles announcement), fetched when something here
// pastes them. fetch() asks for every file over the "file" channel into a folder of
// their own under `baseFolder` (made at the first fetch, removed with this object);
// finished() follows when all arrived (paths()) or one failed (error(), the rest are
// given up). Fetched files are kept: pasting again answers at once. A failed fetch may
// be tried again.
// Placement::Into fetches them straight into `baseFolder` instead (the user's
// downloads): each file under its own name, or a numbered one when the name is taken
// (nothing there is replaced or removed, by this object or its end). Main thread.
class ClipFilesOffer : public QObject {
    Q_OBJECT
public:
    enum class State { Idle, Fetching, Ready, Failed };
    enum class Placement { OwnFolder, Into };

    ClipFilesOffer(FileTransfers *files, ClipFiles announced, const QString &baseFolder, QObject *parent = nullptr);
    ClipFilesOffer(FileTransfers *files, ClipFiles announced, const QString &baseFolder, Placement placement,
                   QObject *parent = nullptr);
    ~ClipFilesOffer() override;

    const ClipFiles &announced() const { return m_announced; }
    State state() const { return m_state; }
    // The received files, in the order they were announced (when Ready).
    QStringList paths() const { return m_paths; }
    QString error() const { return m_error; }
    // The folder the files are received into (empty before the first fetch).
    QString folder() const;

    void fetch();

    // Folders of offers under `baseFolder` left by a process that ended without removing
    // them (a crash, a kill) and untouched for staleHours; the first fetch of each
    // process removes them, so they cannot pile up.
    static constexpr int staleHours = 24;
    static void removeStale(const QString &baseFolder);

Q_SIGNALS:
    // A fetch ended: state() is Ready or Failed.
    void finished();

private:
    void request(const QString &folder);
    void fail(const QString &why);
    void onFetched(quint32 req, const QString &path);
    void onFailed(quint32 req, const QString &why);

    QPointer<FileTransfers> m_files;
    ClipFiles m_announced;
    QString m_base;
    Placement m_placement = Placement::OwnFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
    State m_state = State::Idle;
    std::map<quint32, int> m_requests; // request → index
    QStringList m_paths;
    QString m_error;
};
