#include "session/FileChannel.h"

#include "protocol/FileChunkHeader.h"

FileChannel::FileChannel(std::size_t maxTransfers, qint64 maxBytes)
    : m_maxTransfers(maxTransfers ? maxTransfers : 1), m_maxBytes(maxBytes) {}

qint64 FileChannel::onBinary(QByteArrayView message) {
    const std::optional<FileChunkHeader> header = FileChunkHeader::decode(message);
    if (!header)
        return -1;
    const quint32 id = header->id;
    const QByteArrayView data = message.sliced(FileChunkHeader::size);
    auto [it, inserted] = m_downloads.try_emplace(id);
    if (inserted)
        it->second.started = ++m_counter;
    it->second.chunks.append(QByteArray(data.data(), data.size()));
    it->second.bytes += data.size();
    m_bytes += data.size();
    enforceBounds(id);
    return id;
}

void FileChannel::enforceBounds(quint32 current) {
    while (m_downloads.size() > m_maxTransfers || (m_bytes > m_maxBytes && m_downloads.size() > 1)) {
        auto victim = m_downloads.end();
        for (auto it = m_downloads.begin(); it != m_downloads.end(); ++it) {
            if (it->first == current)
                continue;
            if (victim == m_downloads.end() || it->second.started < victim->second.started)
                victim = it;
        }
        if (victim == m_downloads.end())
            break;
        m_bytes -= victim->second.bytes;
        m_downloads.erase(victim);
    }
    if (m_bytes > m_maxBytes) {
        Transfer &t = m_downloads[current];
        while (m_bytes > m_maxBytes && !t.chunks.isEmpty()) {
            const qint64 n = t.chunks.takeFirst().size();
            t.bytes -= n;
            m_bytes -= n;
        }
    }
}

QList<QByteArray> FileChannel::take(quint32 id) {
    auto it = m_downloads.find(id);
    if (it == m_downloads.end())
        return {};
    QList<QByteArray> out = std::move(it->second.chunks);
    m_bytes -= it->second.bytes;
    m_downloads.erase(it);
    return out;
}
