#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <map>

// Receive side of the "file" channel: binary chunks (protocol/FileChunkHeader)
// collected per transfer in arrival order.
// Used by one thread at a time.
//
// Nothing consumes transfers yet, so memory is bounded: at most maxTransfers
// transfers and maxBytes of chunk data; beyond that the transfers started
// longest ago are dropped whole, and a single transfer over the byte bound
// loses its oldest chunks.
class FileChannel {
public:
    struct Transfer {
        QList<QByteArray> chunks;
        qint64 bytes = 0;
        quint64 started = 0;
    };

    explicit FileChannel(std::size_t maxTransfers = 64, qint64 maxBytes = 256ll * 1024 * 1024);

    // Feeds one binary message; returns the transfer id it was filed under, or -1
    // when the message was ignored.
    qint64 onBinary(QByteArrayView message);

    const std::map<quint32, Transfer> &downloads() const { return m_downloads; }
    qint64 bufferedBytes() const { return m_bytes; }
    // Hands a transfer's chunks to a consumer and forgets them.
    QList<QByteArray> take(quint32 id);

private:
    void enforceBounds(quint32 current);

    std::map<quint32, Transfer> m_downloads;
    std::size_t m_maxTransfers;
    qint64 m_maxBytes;
    qint64 m_bytes = 0;
    quint64 m_counter = 0;
};
