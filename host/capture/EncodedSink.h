#pragma once

#include <QByteArray>
#include <QSize>

#include <gst/gst.h>

// A viewer's end of a shared encoder. Called on the encoder's streaming thread.
class EncodedSink {
public:
    virtual ~EncodedSink() = default;
    // One H.264 access unit (byte-stream); borrowed.
    virtual void h264(GstBuffer *au) = 0;
    // One JPEG picture of `size`.
    virtual void jpeg(const QByteArray &data, QSize size) = 0;
};
