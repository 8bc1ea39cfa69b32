#include "media/JpegReassembler.h"
#include "session/FileChannel.h"

#include <cstddef>
#include <cstdint>

// Binary messages of the "video" and "file" channels: the input is cut into
// messages by a length byte each. Nothing may crash, and the bounds of frames
// under reassembly and buffered transfers must hold after every message.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    JpegReassembler video(4, 256 * 1024);
    FileChannel files(4, 256 * 1024);
    size_t at = 0;
    while (at < size) {
        const size_t len = data[at++];
        const size_t n = len < size - at ? len : size - at;
        const QByteArrayView message(reinterpret_cast<const char *>(data + at), qsizetype(n));
        at += n;
        const quint32 before = video.lastSeq();
        const auto frame = video.push(message);
        if (frame && !frame->still && frame->seq < before)
            __builtin_trap(); // a stale frame got through
        files.onBinary(message);
        if (video.partial().size() > 4 || video.bufferedBytes() > 256 * 1024 || video.bufferedBytes() < 0)
            __builtin_trap();
        if (files.downloads().size() > 4 || files.bufferedBytes() > 256 * 1024 || files.bufferedBytes() < 0)
            __builtin_trap();
    }
    return 0;
}
