#include "support/TestEnv.h"

#include <QDir>

TestEnv::TestEnv() {
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (m_dir.path() + "/.local/share").toUtf8());
    qputenv("XDG_CACHE_HOME", (m_dir.path() + "/.cache").toUtf8());
    QDir().mkpath(m_dir.path() + "/.config");
    QDir().mkpath(m_dir.path() + "/.local/share");
}

QString TestEnv::dataDir() const {
    return m_dir.path() + "/.local/share/velmo-remote";
}

QString TestEnv::configDir() const {
    return m_dir.path() + "/.config/velmo-remote";
}
