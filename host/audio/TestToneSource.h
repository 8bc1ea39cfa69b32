#pragma once

#include "webrtc/AudioSource.h"

// The quiet 440 Hz tone sent with the test picture (`--source test`), whatever the kind.
class TestToneSource : public AudioSource {
public:
    Opened open(const QString &kind) const override;
};
