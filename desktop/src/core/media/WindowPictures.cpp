#include "media/WindowPictures.h"

#include "util/MainThreadLink.h"

#include <QCoreApplication>

WindowPictures::~WindowPictures() {
    // Only reached once every link is detached (clear() on the main thread) or when nothing
    // was ever added; a path still here just goes.
    for (auto &[win, entry] : m_paths)
        entry.link->detach();
}

void WindowPictures::add(int win, JpegVideoPath::ImageSink onImage, JpegVideoPath::ArrivalSink onArrival) {
    Entry entry;
    entry.link = std::make_shared<MainThreadLink>(m_target);
    entry.path = std::make_shared<JpegVideoPath>(
        entry.link, [](const QByteArray &) {}, std::move(onImage));
    entry.path->setArrivalSink(std::move(onArrival));
    Entry old;
    {
        std::lock_guard lock(m_lock);
        old = std::exchange(m_paths[win], std::move(entry));
    }
    if (old.path)
        retire(std::move(old));
}

void WindowPictures::remove(int win) {
    Entry old;
    {
        std::lock_guard lock(m_lock);
        const auto it = m_paths.find(win);
        if (it == m_paths.end())
            return;
        old = std::move(it->second);
        m_paths.erase(it);
    }
    retire(std::move(old));
}

void WindowPictures::clear() {
    std::map<int, Entry> all;
    {
        std::lock_guard lock(m_lock);
        all.swap(m_paths);
    }
    for (auto &[win, entry] : all)
        retire(std::move(entry));
}

// Main thread. Nothing new reaches the main thread once the link is detached; what it
// posted before is queued ahead of the last reference, which goes after it.
void WindowPictures::retire(Entry entry) {
    entry.link->detach();
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [path = std::move(entry.path)] {}, Qt::QueuedConnection);
}

bool WindowPictures::has(int win) const {
    std::lock_guard lock(m_lock);
    return m_paths.contains(win);
}

void WindowPictures::push(QByteArrayView message) {
    if (message.size() < 2)
        return;
    std::shared_ptr<JpegVideoPath> path;
    {
        std::lock_guard lock(m_lock);
        const auto it = m_paths.find(quint8(message.at(0)));
        if (it == m_paths.end())
            return;
        path = it->second.path;
    }
    path->push(message.sliced(1));
}
