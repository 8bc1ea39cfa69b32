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
class IncomingFile {
public:
    // Bytes of free space kept beyond the file itself.
    static constexpr qint64 spareBytes = 1024 * 1024;

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
};
