#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <map>
#include <optional>

// Reassembles the JPEG frames of the "video" channel from their chunks
// (protocol/JpegChunkHeader) and drops stale
// frames before anyone decodes them. Used by one thread at a time.
//
// Memory is bounded: at most maxFrames frames under reassembly and maxBytes
// of buffered chunk data (bookkeeping included); beyond that the frames
// started longest ago are abandoned first.
class JpegReassembler {
public:
    struct Frame {
        quint32 seq = 0;
        int w = 0;
        int h = 0;
        bool still = false;
        QByteArray jpeg;
    };

    // One frame under reassembly. Slots are kept sparse (index → data): a frame
    // announcing 65535 chunks costs nothing until its chunks arrive.
    struct Partial {
        std::map<quint16, QByteArray> parts;
        int count = 0;
        int got = 0;
        int w = 0;
        int h = 0;
        quint8 flags = 0;
        quint64 started = 0; // arrival order, for eviction
        qsizetype bytes = 0; // data held plus per-chunk bookkeeping
    };

    explicit JpegReassembler(std::size_t maxFrames = 8, qsizetype maxBytes = 64 * 1024 * 1024);

    // Feeds one binary message. Returns the frame it completed when that frame is
    // to be shown (a still, or seq >= lastSeq); nullopt otherwise.
    std::optional<Frame> push(QByteArrayView message);

    quint32 lastSeq() const { return m_lastSeq; }
    const std::map<quint32, Partial> &partial() const { return m_partial; }
    qsizetype bufferedBytes() const { return m_bytes; }
    // Frames completed but dropped as stale, and frames abandoned to the bounds.
    quint64 staleDropped() const { return m_stale; }
    quint64 evicted() const { return m_evicted; }

private:
    void evictFor(quint32 keep);
    void erase(std::map<quint32, Partial>::iterator it);

    std::map<quint32, Partial> m_partial;
    quint32 m_lastSeq = 0;
    std::size_t m_maxFrames;
    qsizetype m_maxBytes;
    qsizetype m_bytes = 0;
    quint64 m_counter = 0;
    quint64 m_stale = 0;
    quint64 m_evicted = 0;
};
