#include "protocol/FileChunkHeader.h"
#include "session/FileChannel.h"

#include <cstddef>
#include <cstdint>

// Binary messages of the "file" channel under tight bounds chosen by the first
// two bytes; the rest is cut into messages by a length byte each, and a zero
// length takes the oldest transfer instead. The books must balance after every
// step: the buffered total is the sum of the transfers, each transfer's count is
// the sum of its chunks, an accepted chunk is kept whole as the newest of its
// transfer, and taking a transfer gives back exactly what it held.
namespace {

void checkBooks(const FileChannel &files, std::size_t maxTransfers, qint64 maxBytes) {
    qint64 sum = 0;
    for (const auto &[id, t] : files.downloads()) {
        qint64 bytes = 0;
        for (const QByteArray &c : t.chunks)
            bytes += c.size();
        if (bytes != t.bytes)
            __builtin_trap();
        sum += bytes;
    }
    if (sum != files.bufferedBytes() || files.downloads().size() > maxTransfers || sum > maxBytes)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const std::size_t maxTransfers = data[0] % 8 + 1;
    const qint64 maxBytes = data[1] * 4;
    FileChannel files(maxTransfers, maxBytes);
    size_t at = 2;
    while (at < size) {
        const size_t len = data[at++];
        if (len == 0 && !files.downloads().empty()) {
            const auto oldest = files.downloads().begin();
            const quint32 id = oldest->first;
            const QList<QByteArray> held = oldest->second.chunks;
            const qint64 before = files.bufferedBytes();
            const qint64 bytes = oldest->second.bytes;
            if (files.take(id) != held || files.bufferedBytes() != before - bytes || files.downloads().count(id))
                __builtin_trap();
            continue;
        }
        const size_t n = len < size - at ? len : size - at;
        const QByteArrayView message(reinterpret_cast<const char *>(data + at), qsizetype(n));
        at += n;
        const qint64 id = files.onBinary(message);
        if (id >= 0) {
            const QByteArrayView payload = message.sliced(FileChunkHeader::size);
            const auto it = files.downloads().find(quint32(id));
            if (it == files.downloads().end())
                __builtin_trap(); // the current transfer is never the one dropped
            if (payload.size() <= maxBytes && (it->second.chunks.isEmpty() || it->second.chunks.last() != payload))
                __builtin_trap();
        } else if (n >= size_t(FileChunkHeader::size) && data[at - n] == FileChunkHeader::kind) {
            __builtin_trap(); // a well-formed chunk was refused
        }
        checkBooks(files, maxTransfers, maxBytes);
    }
    return 0;
}
