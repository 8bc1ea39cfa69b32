#pragma once

#include <QtGlobal>

class SessionChannels;

// The malformed traffic some test hooks ask for (see DeviceHooks).
class HookTraffic {
public:
    // bad_chunks: before every tenth frame, a short message, a foreign kind, a frame of
    // zero chunks, an out-of-range index, a frame that never completes, and text on "video".
    static void badChunks(SessionChannels &channels, quint32 &seq);
    // file: two interleaved transfers with their events and some messages that are not chunks.
    static void files(SessionChannels &channels);
};
