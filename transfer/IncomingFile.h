#pragma once

#include <QByteArrayView>
#include <QString>
#include <QTemporaryFile>

#include <memory>

// One file being received into a folder. The bytes go to a temporary file in that
// same folder — unnamed (O_TMPFILE) where the file system allows, else a hidden
// ".velmo-XXXXXX.part" — which becomes the file only when it is complete: commit()
// links or renames it to the first free name of "name", "name (1)", …, never replacing
// a file. Destroying it before a successful commit removes the temporary file, so a
// failed or cancelled transfer leaves nothing behind.
//
// Free space is judged with every file still being received in this process (of any
// session) counted as if it were complete: the bytes each has yet to write are held
// back from the space that new files may take, on the same file system. Main thread.
class IncomingFile {
public:
    // Bytes of free space kept beyond the file itself.
    static constexpr qint64 spareBytes = 1024 * 1024;
    // Bytes the files being received on the file system of `folder` have yet to write.
    static qint64 owedOn(const QString &folder);

    // The file in `folder` (created when missing) for a sender's proposed name and
    // size; nullptr and *error (Japanese, for the user) when it cannot be received.
    static std::unique_ptr<IncomingFile> create(const QString &folder, const QString &proposedName, qint64 size,
                                                QString *error);

    ~IncomingFile();
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;

    QString name() const { return m_name; }
    qint64 size() const { return m_size; }
    qint64 written() const { return m_written; }

    // Appends bytes; false when the disk refuses them.
    bool write(QByteArrayView bytes);
    // Finishes the file under a free name; false (and the temporary file removed)
    // when that fails. finalPath() names the file afterwards.
    bool commit(QString *error);
    QString finalPath() const { return m_finalPath; }

private:
    IncomingFile() = default;

    QString m_folder;
    QString m_name;
    qint64 m_size = 0;
    qint64 m_written = 0;
    QString m_finalPath;
    std::unique_ptr<QTemporaryFile> m_file;
    QString m_device;  // the file system (its root path) the bytes go to
    qint64 m_owed = 0; // counted in owedOn() until written or given up
    void release();
};
