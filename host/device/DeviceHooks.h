#pragma once

#include <QString>

// Misbehaviour a test can ask of the device (only with --test-hooks), given as a
// comma-separated list in VELMO_DEVICE_HOOKS:
//   wrong_fp    the challenge carries a host fingerprint that is not ours
//   bad_chunks  malformed video messages are sent between the real frames
//   file        after authentication, two interleaved file transfers and their events
//   short_lock  the lockout after repeated wrong passcodes lasts 3 s instead of 5 minutes
//   input_log   every message received on "input" is appended to device-input.jsonl
//               in the data directory
//   close_side  after authentication the "video", "input" and "file" channels are
//               closed from this side; only "ctrl" stays
//   fixed_rate  H.264 at the viewer's kbps whatever the link does, and JPEG frames not
//               paced by the viewer's acknowledgements (the benchmark's baseline)
struct DeviceHooks {
    bool wrongFingerprint = false;
    bool badChunks = false;
    bool fileTransfer = false;
    bool inputLog = false;
    bool shortLock = false;
    bool closeSide = false;
    bool fixedRate = false;

    static DeviceHooks parse(const QString &list);
    bool any() const {
        return wrongFingerprint || badChunks || fileTransfer || inputLog || shortLock || closeSide || fixedRate;
    }
};
