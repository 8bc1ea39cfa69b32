#include "NoticeBar.h"

NoticeBar::NoticeBar(QObject *parent) : QObject(parent) {}

NoticeBar *NoticeBar::shared() {
    static NoticeBar *const instance = new NoticeBar;
    return instance;
}

void NoticeBar::start() { m_running = true; }

void NoticeBar::stop() { m_running = false; }
