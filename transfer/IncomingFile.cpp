#include "transfer/IncomingFile.h"

#include "transfer/SafeFileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStorageInfo>

#include <algorithm>

namespace {
// Running receptions' unwritten bytes by file system (root path). Main thread only.
QHash<QString, qint64> &owedBytes() {
    static QHash<QString, qint64> owed;
    return owed;
}
} // namespace

qint64 IncomingFile::owedOn(const QString &folder) {
    const QStorageInfo storage(folder);
    return storage.isValid() ? owedBytes().value(storage.rootPath()) : 0;
}

void IncomingFile::release() {
    if (m_owed <= 0)
        return;
    auto it = owedBytes().find(m_device);
    if (it != owedBytes().end() && (*it -= m_owed) <= 0)
        owedBytes().erase(it);
    m_owed = 0;
}

std::unique_ptr<IncomingFile> IncomingFile::create(const QString &folder, const QString &proposedName, qint64 size,
                                                   QString *error) {
    auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return nullptr;
    };
    if (size < 0)
        return fail(QStringLiteral("ファイルの大きさが不正です"));
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("保存先のフォルダを作れません"));
    QStorageInfo storage(folder);
    const QString device = storage.isValid() ? storage.rootPath() : QString();
    // Files on their way count as if they had arrived: parallel transfers cannot together
    // take more than the free space.
    if (storage.isValid() && storage.bytesAvailable() >= 0 &&
        storage.bytesAvailable() - spareBytes - owedBytes().value(device) < size)
        return fail(QStringLiteral("保存先の空き容量が足りません"));
    std::unique_ptr<IncomingFile> in(new IncomingFile);
    in->m_folder = folder;
    in->m_name = SafeFileName::clean(proposedName);
    in->m_size = size;
    in->m_file = std::make_unique<QTemporaryFile>(QDir(folder).filePath(QStringLiteral(".velmo-XXXXXX.part")));
    in->m_file->setAutoRemove(true);
    if (!in->m_file->open())
        return fail(QStringLiteral("保存先に書き込めません"));
    if (!device.isEmpty() && size > 0) {
        in->m_device = device;
        in->m_owed = size;
        owedBytes()[device] += size;
    }
    return in;
}

IncomingFile::~IncomingFile() {
    release(); // QTemporaryFile removes an uncommitted file
}

bool IncomingFile::write(QByteArrayView bytes) {
    if (!m_file || bytes.isEmpty())
        return m_file != nullptr;
    if (m_file->write(bytes.data(), bytes.size()) != bytes.size())
        return false;
    m_written += bytes.size();
    // Written bytes show in the free space now; they are owed no longer.
    const qint64 paid = std::min<qint64>(m_owed, bytes.size());
    if (paid > 0) {
        m_owed -= paid;
        if (auto it = owedBytes().find(m_device); it != owedBytes().end() && (*it -= paid) <= 0)
            owedBytes().erase(it);
    }
    return true;
}

bool IncomingFile::commit(QString *error) {
    release();
    if (!m_file || !m_file->flush()) {
        if (error)
            *error = QStringLiteral("保存先に書き込めません");
        m_file.reset();
        return false;
    }
    const QDir dir(m_folder);
    // rename() never replaces an existing file: a name taken meanwhile moves on to the next number.
    for (int n = 0; n < 1000; ++n) {
        const QString target = dir.filePath(SafeFileName::numbered(m_name, n));
        if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
            continue;
        if (m_file->rename(target)) {
            m_file->setAutoRemove(false);
            m_finalPath = target;
            m_file.reset();
            return true;
        }
    }
    if (error)
        *error = QStringLiteral("同じ名前のファイルが多すぎて保存できません");
    m_file.reset();
    return false;
}
