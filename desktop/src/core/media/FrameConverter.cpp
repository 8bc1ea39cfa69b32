#include "media/FrameConverter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {
// QImage::Format_RGB32 (0xffRRGGBB in a 32-bit word) in memory order.
constexpr AVPixelFormat rgb32 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? AV_PIX_FMT_BGRA : AV_PIX_FMT_ARGB;

AVPixelFormat pixelFormat(GstVideoFormat format) {
    switch (format) {
    case GST_VIDEO_FORMAT_I420:
        return AV_PIX_FMT_YUV420P;
    case GST_VIDEO_FORMAT_NV12:
        return AV_PIX_FMT_NV12;
    case GST_VIDEO_FORMAT_Y42B:
        return AV_PIX_FMT_YUV422P;
    case GST_VIDEO_FORMAT_Y444:
        return AV_PIX_FMT_YUV444P;
    default:
        return AV_PIX_FMT_NONE;
    }
}

int colourSpace(GstVideoColorMatrix matrix) {
    switch (matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
        return SWS_CS_ITU709;
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case GST_VIDEO_COLOR_MATRIX_FCC:
        return SWS_CS_FCC;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
        return SWS_CS_BT2020;
    default:
        return SWS_CS_ITU601;
    }
}
} // namespace

FrameConverter::~FrameConverter() {
    sws_freeContext(m_sws);
}

QImage &FrameConverter::freePicture(int width, int height) {
    for (QImage &picture : m_pictures)
        if (picture.width() == width && picture.height() == height && picture.isDetached())
            return picture;
    // Every picture is still held somewhere (or has another size): a new one takes the
    // place of the oldest, whose holders keep their copy.
    QImage &slot = m_pictures[m_next];
    m_next = (m_next + 1) % m_pictures.size();
    slot = QImage(width, height, QImage::Format_RGB32);
    return slot;
}

QImage FrameConverter::convert(const GstVideoFrame &frame) {
    const GstVideoInfo &info = frame.info;
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    const AVPixelFormat from = pixelFormat(format);
    if (from == AV_PIX_FMT_NONE || width <= 0 || height <= 0)
        return {};
    const GstVideoColorMatrix matrix = info.colorimetry.matrix;
    const GstVideoColorRange range = info.colorimetry.range;
    if (!m_sws || format != m_format || width != m_width || height != m_height || matrix != m_matrix ||
        range != m_range) {
        sws_freeContext(m_sws);
        // The same size: libswscale takes its unscaled YUV → RGB path, whatever the filter.
        m_sws = sws_getContext(width, height, from, width, height, rgb32, SWS_POINT, nullptr, nullptr, nullptr);
        if (!m_sws) {
            m_format = GST_VIDEO_FORMAT_UNKNOWN;
            return {};
        }
        const int *coefficients = sws_getCoefficients(colourSpace(matrix));
        const int *rgb = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(m_sws, coefficients, range == GST_VIDEO_COLOR_RANGE_0_255 ? 1 : 0, rgb, 1, 0, 1 << 16,
                                 1 << 16);
        m_format = format;
        m_width = width;
        m_height = height;
        m_matrix = matrix;
        m_range = range;
    }
    const uint8_t *planes[4] = {};
    int strides[4] = {};
    for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&frame) && i < 4; ++i) {
        planes[i] = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
        strides[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i);
    }
    QImage &picture = freePicture(width, height);
    if (picture.isNull())
        return {};
    uint8_t *out[4] = {picture.bits(), nullptr, nullptr, nullptr};
    const int outStrides[4] = {int(picture.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_sws, planes, strides, 0, height, out, outStrides) != height)
        return {};
    return picture;
}
