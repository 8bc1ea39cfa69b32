#include "ProfileWindows.h"

ProfileWindows::ProfileWindows(QObject *parent) : QObject(parent) {}

ProfileWindows *ProfileWindows::shared() {
    static ProfileWindows *const instance = new ProfileWindows;
    return instance;
}

void ProfileWindows::start() { m_running = true; }

void ProfileWindows::closeAll() {}
