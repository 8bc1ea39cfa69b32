#include "media/JpegReassembler.h"

#include "protocol/JpegChunkHeader.h"

namespace {
// Rough cost of one stored chunk besides its data (map node and array header).
constexpr qsizetype chunkCost = 96;
} // namespace

JpegReassembler::JpegReassembler(std::size_t maxFrames, qsizetype maxBytes)
    : m_maxFrames(maxFrames ? maxFrames : 1), m_maxBytes(maxBytes) {}

void JpegReassembler::erase(std::map<quint32, Partial>::iterator it) {
    m_bytes -= it->second.bytes;
    m_partial.erase(it);
}

void JpegReassembler::evictFor(quint32 keep) {
    // Abandon the frames started longest ago until the bounds hold again; the
    // frame being fed goes last, and only when it alone breaks the byte bound.
    while (m_partial.size() > m_maxFrames || m_bytes > m_maxBytes) {
        auto victim = m_partial.end();
        for (auto it = m_partial.begin(); it != m_partial.end(); ++it) {
            if (it->first == keep)
                continue;
            if (victim == m_partial.end() || it->second.started < victim->second.started)
                victim = it;
        }
        if (victim == m_partial.end())
            victim = m_partial.find(keep);
        if (victim == m_partial.end())
            return;
        erase(victim);
        ++m_evicted;
    }
}

std::optional<JpegReassembler::Frame> JpegReassembler::push(QByteArrayView message) {
    const std::optional<JpegChunkHeader> header = JpegChunkHeader::decode(message);
    if (!header)
        return std::nullopt;
    const quint32 seq = header->seq;
    const quint16 index = header->index;
    const QByteArrayView data = message.sliced(JpegChunkHeader::size);

    auto it = m_partial.find(seq);
    if (it == m_partial.end()) {
        Partial fresh;
        fresh.count = header->count;
        fresh.w = header->w;
        fresh.h = header->h;
        fresh.flags = header->flags;
        fresh.started = ++m_counter;
        fresh.bytes = chunkCost;
        m_bytes += fresh.bytes;
        it = m_partial.emplace(seq, std::move(fresh)).first;
    }
    Partial &part = it->second;
    if (index >= part.count) {
        evictFor(seq);
        return std::nullopt;
    }
    // A repeated index replaces its slot without counting twice, so a frame
    // never completes with holes.
    auto [slot, fresh] = part.parts.try_emplace(index);
    if (fresh) {
        ++part.got;
        part.bytes += chunkCost;
        m_bytes += chunkCost;
    } else {
        part.bytes -= slot->second.size();
        m_bytes -= slot->second.size();
    }
    slot->second = QByteArray(data.data(), data.size());
    part.bytes += data.size();
    m_bytes += data.size();

    if (part.got < part.count) {
        evictFor(seq);
        return std::nullopt;
    }

    Frame frame;
    frame.seq = seq;
    frame.w = part.w;
    frame.h = part.h;
    frame.still = part.flags & JpegChunkHeader::stillFlag;
    qsizetype total = 0;
    for (const auto &[index, data] : part.parts)
        total += data.size();
    frame.jpeg.reserve(total);
    for (const auto &[index, data] : part.parts) // in index order
        frame.jpeg.append(data);

    // Only newer frames stay under reassembly.
    erase(it);
    while (!m_partial.empty() && m_partial.begin()->first <= seq)
        erase(m_partial.begin());

    if (!frame.still) {
        if (seq < m_lastSeq) {
            ++m_stale;
            return std::nullopt;
        }
        m_lastSeq = seq;
    }
    return frame;
}
