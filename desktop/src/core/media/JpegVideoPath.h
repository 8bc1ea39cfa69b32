#pragma once

#include "media/JpegReassembler.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class DecodeClock;
class MainThreadLink;

// The JPEG half of the video path: chunks are reassembled on the caller's
// (data-channel) thread, stale frames are dropped before decoding, frames are
// decoded with TurboJPEG on one serial worker ("velmo-remote.decode") and the
// results published on the main thread in completion order.
//
// When decoding or the main thread falls behind, only the newest waiting frame
// is kept: at most one frame waits for the decoder and one for the main thread.
class JpegVideoPath {
public:
    // Both run on the link's (main) thread.
    using StillSink = std::function<void(const QByteArray &jpeg)>;
    using ImageSink = std::function<void(const QImage &image, QSize headerSize)>;

    // The largest picture decoded (8K with room); bigger headers are refused
    // rather than allocated.
    static constexpr qint64 maxPixels = 8192ll * 4608;

    JpegVideoPath(std::shared_ptr<MainThreadLink> link, StillSink onStill, ImageSink onImage,
                  std::shared_ptr<DecodeClock> clock = {});
    ~JpegVideoPath();

    // Called on the data-channel thread with the sequence number of every picture
    // that arrived whole (not stills): the host sends the next ones when the previous
    // have arrived. Set before the first push.
    using ArrivalSink = std::function<void(quint32 seq)>;
    void setArrivalSink(ArrivalSink sink) { m_onArrival = std::move(sink); }

    // Data-channel thread: one binary message of "video".
    void push(QByteArrayView message);

    // Decodes one JPEG file into an RGB32 image; a null image when it fails.
    // A recycled image of the right size, held by nobody else, is decoded into
    // instead of allocating a new one.
    static QImage decode(void *tjHandle, QByteArrayView jpeg, QImage recycled = {});
    // The same with a decoder of its own (tests, tools).
    static QImage decodeOnce(QByteArrayView jpeg);

    const JpegReassembler &reassembler() const { return m_reassembler; }
    // Frames skipped because a newer one was waiting (decoder or main thread behind).
    quint64 skipped() const;
    // Blocks until the decoder is idle (tests, benchmarks).
    void waitForDecoder();

private:
    struct Pending {
        QByteArray jpeg;
        QSize size;
    };
    void decodeLoop();
    void publish(QImage image, QSize size);

    std::shared_ptr<MainThreadLink> m_link;
    std::shared_ptr<DecodeClock> m_clock;
    StillSink m_onStill;
    ImageSink m_onImage;
    ArrivalSink m_onArrival;
    JpegReassembler m_reassembler; // data-channel thread only
    QThreadPool m_pool;
    void *m_tj = nullptr; // decoder thread only
    QImage m_ring[3];     // decoder thread only: the last images handed out, for reuse
    int m_ringNext = 0;

    mutable std::mutex m_lock; // guards the hand-over slots below
    std::optional<Pending> m_waiting;
    bool m_decoding = false;
    std::optional<std::pair<QImage, QSize>> m_decoded;
    bool m_posted = false;
    quint64 m_skipped = 0;
};
