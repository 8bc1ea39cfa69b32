#pragma once

#include "capture/VideoEncoder.h"

#include <QList>
#include <QString>

#include <memory>

class CaptureFeed;

// The encoders in use, so that viewers of one display at one quality share one. Also
// picks the H.264 encoder once: VA-API when the machine has a working one, else x264.
// Main thread.
class EncoderPool {
public:
    EncoderPool();

    std::shared_ptr<VideoEncoder> encoder(const std::shared_ptr<CaptureFeed> &feed, const VideoEncoder::Key &key);
    QString h264Encoder() const { return m_h264; }

    // Tries each hardware encoder in turn on a few frames; "x264enc" when none works.
    static QString probeH264Encoder();
    // Test hooks: every frame of the encoders made from now on costs this much more
    // (a machine too slow for the rate a viewer asks for).
    void setExtraFrameCostUs(int us) { m_extraCostUs = us; }

private:
    QString m_h264;
    int m_extraCostUs = 0;
    QList<std::weak_ptr<VideoEncoder>> m_encoders;
};
