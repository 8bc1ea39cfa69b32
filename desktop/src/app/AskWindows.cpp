#include "AskWindows.h"

AskWindows::AskWindows(QObject *parent) : QObject(parent) {}

AskWindows *AskWindows::shared() {
    static AskWindows *const instance = new AskWindows;
    return instance;
}

void AskWindows::start() { m_running = true; }

void AskWindows::closeAll() {}
