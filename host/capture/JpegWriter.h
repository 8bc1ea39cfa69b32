#pragma once

#include <QByteArray>

#include <gst/video/video.h>

// JPEG (4:2:0, full range as JFIF wants) from an I420 picture whose samples are already
// full range. The DC quantisation steps are rounded down to powers of two, so a flat
// black area decodes as exactly 0 and a flat white one as 255 at every quality (with
// the usual steps, e.g. 10 at quality 70, black came back as 1). Thread-safe.
class JpegWriter {
public:
    static QByteArray encode(const GstVideoFrame &frame, int quality);
};
