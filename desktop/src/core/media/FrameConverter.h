#pragma once

#include <QImage>

#include <gst/video/video.h>

#include <array>

struct SwsContext;

// Turns the H.264 decoder's YUV frames into the RGB32 pictures the screen paints, with
// libswscale's SIMD converters (a 1080p frame in about a millisecond, a third of what
// videoconvert takes on the same machine), in the colour matrix and range the stream
// says. The pictures are reused: one is written again only once nothing else holds it
// (the painter, a snapshot), so a steady stream allocates nothing.
// Decoder streaming thread only.
class FrameConverter {
public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter &) = delete;
    FrameConverter &operator=(const FrameConverter &) = delete;

    // The picture of a mapped frame, or a null image for a format it does not take
    // (anything but I420, NV12, Y42B and Y444) or a size it cannot convert.
    QImage convert(const GstVideoFrame &frame);

private:
    QImage &freePicture(int width, int height);

    SwsContext *m_sws = nullptr;
    // What m_sws was made for.
    GstVideoFormat m_format = GST_VIDEO_FORMAT_UNKNOWN;
    int m_width = 0;
    int m_height = 0;
    GstVideoColorMatrix m_matrix = GST_VIDEO_COLOR_MATRIX_UNKNOWN;
    GstVideoColorRange m_range = GST_VIDEO_COLOR_RANGE_UNKNOWN;
    std::array<QImage, 3> m_pictures;
    size_t m_next = 0;
};
