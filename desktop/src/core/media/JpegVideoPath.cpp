#include "media/JpegVideoPath.h"

#include "media/DecodeClock.h"
#include "util/MainThreadLink.h"

#include <QElapsedTimer>

#include <turbojpeg.h>

JpegVideoPath::JpegVideoPath(std::shared_ptr<MainThreadLink> link, StillSink onStill, ImageSink onImage,
                             std::shared_ptr<DecodeClock> clock)
    : m_link(std::move(link)), m_clock(std::move(clock)), m_onStill(std::move(onStill)), m_onImage(std::move(onImage)) {
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("velmo-remote.decode"));
    m_pool.setExpiryTimeout(5000);
}

JpegVideoPath::~JpegVideoPath() {
    m_pool.waitForDone();
    if (m_tj)
        tjDestroy(static_cast<tjhandle>(m_tj));
}

void JpegVideoPath::waitForDecoder() {
    m_pool.waitForDone();
}

quint64 JpegVideoPath::skipped() const {
    std::lock_guard guard(m_lock);
    return m_skipped;
}

QImage JpegVideoPath::decode(void *tjHandle, QByteArrayView jpeg, QImage recycled) {
    auto *tj = static_cast<tjhandle>(tjHandle);
    if (!tj || jpeg.isEmpty() || jpeg.size() > std::numeric_limits<int>::max())
        return {};
    auto *src = reinterpret_cast<unsigned char *>(const_cast<char *>(jpeg.data()));
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj, src, static_cast<unsigned long>(jpeg.size()), &w, &h, &subsamp, &colorspace) != 0)
        return {};
    if (w <= 0 || h <= 0 || qint64(w) * h > maxPixels)
        return {};
    QImage image = recycled.size() == QSize(w, h) && recycled.format() == QImage::Format_RGB32 && recycled.isDetached()
                       ? std::move(recycled)
                       : QImage(w, h, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    // BGRX in memory is Qt's RGB32 on little-endian machines.
    const int pf = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? TJPF_BGRX : TJPF_XRGB;
    if (tjDecompress2(tj, src, static_cast<unsigned long>(jpeg.size()), image.bits(), w, int(image.bytesPerLine()), h,
                      pf, 0) != 0 &&
        tjGetErrorCode(tj) != TJERR_WARNING)
        return {};
    return image;
}

QImage JpegVideoPath::decodeOnce(QByteArrayView jpeg) {
    tjhandle tj = tjInitDecompress();
    QImage out = decode(tj, jpeg);
    if (tj)
        tjDestroy(tj);
    return out;
}

void JpegVideoPath::push(QByteArrayView message) {
    std::optional<JpegReassembler::Frame> frame = m_reassembler.push(message);
    if (!frame)
        return;
    if (frame->still) {
        if (m_onStill)
            m_link->post([onStill = m_onStill, jpeg = std::move(frame->jpeg)] { onStill(jpeg); });
        return;
    }
    if (m_onArrival)
        m_onArrival(frame->seq);
    std::lock_guard guard(m_lock);
    if (m_waiting)
        ++m_skipped;
    m_waiting = Pending{std::move(frame->jpeg), QSize(frame->w, frame->h)};
    if (!m_decoding) {
        m_decoding = true;
        m_pool.start([this] { decodeLoop(); });
    }
}

// Decoder thread.
void JpegVideoPath::decodeLoop() {
    if (!m_tj)
        m_tj = tjInitDecompress();
    for (;;) {
        Pending next;
        {
            std::lock_guard guard(m_lock);
            if (!m_waiting) {
                m_decoding = false;
                return;
            }
            next = std::move(*m_waiting);
            m_waiting.reset();
        }
        // Reuse an image the main thread and the views have let go of: a fresh
        // 8 MB buffer per 1080p frame costs more than the copy it avoids.
        QImage recycled;
        for (QImage &candidate : m_ring) {
            if (!candidate.isNull() && candidate.isDetached()) {
                recycled = std::move(candidate);
                candidate = QImage();
                break;
            }
        }
        QElapsedTimer took;
        took.start();
        QImage image = decode(m_tj, next.jpeg, std::move(recycled));
        if (image.isNull())
            continue;
        if (m_clock)
            m_clock->add(took.nsecsElapsed());
        m_ring[m_ringNext] = image;
        m_ringNext = (m_ringNext + 1) % 3;
        publish(std::move(image), next.size);
    }
}

// Decoder thread: hands the newest decoded image to the main thread, with at
// most one hand-over in flight.
void JpegVideoPath::publish(QImage image, QSize size) {
    std::lock_guard guard(m_lock);
    if (m_decoded)
        ++m_skipped;
    m_decoded = std::make_pair(std::move(image), size);
    if (m_posted)
        return;
    m_posted = true;
    m_link->post([this] {
        std::optional<std::pair<QImage, QSize>> ready;
        {
            std::lock_guard guard(m_lock);
            ready = std::move(m_decoded);
            m_decoded.reset();
            m_posted = false;
        }
        if (ready && m_onImage)
            m_onImage(ready->first, ready->second);
    });
}
