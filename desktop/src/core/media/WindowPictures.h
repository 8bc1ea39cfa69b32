#pragma once

#include "media/JpegVideoPath.h"

#include <QByteArrayView>
#include <QObject>

#include <map>
#include <memory>
#include <mutex>

class MainThreadLink;

// The JPEG pictures of a session's display windows, all on the "windows" channel: each
// message is one byte naming the window, then a chunk as on "video". Every window has its
// own reassembly and decoder (JpegVideoPath), so one window's frames never hold back or
// replace another's. Windows are added and removed on the main thread; push() runs on the
// data-channel thread and drops messages of windows it does not know.
//
// A removed window's decoded pictures still on their way to the main thread are dropped:
// its line to the main thread is cut, and the decoder itself goes only after the work
// already posted has run.
class WindowPictures {
public:
    // `target`: the main-thread object the pictures are handed to (the session).
    explicit WindowPictures(QObject *target) : m_target(target) {}
    ~WindowPictures();
    WindowPictures(const WindowPictures &) = delete;
    WindowPictures &operator=(const WindowPictures &) = delete;

    // Main thread. Replaces a window of that number (its frame numbers start again).
    void add(int win, JpegVideoPath::ImageSink onImage, JpegVideoPath::ArrivalSink onArrival);
    void remove(int win);
    // Main thread: every window goes (the session ends or connects again).
    void clear();
    bool has(int win) const;

    // Data-channel thread: one binary message of "windows".
    void push(QByteArrayView message);

private:
    struct Entry {
        std::shared_ptr<MainThreadLink> link;
        std::shared_ptr<JpegVideoPath> path;
    };
    static void retire(Entry entry);

    QObject *m_target;
    mutable std::mutex m_lock; // guards m_paths
    std::map<int, Entry> m_paths;
};
