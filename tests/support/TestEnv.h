#pragma once

#include <QTemporaryDir>

// A private HOME and XDG tree for one test executable. Create it before the
// QApplication so that every path helper sees it.
class TestEnv {
public:
    TestEnv();
    QString home() const { return m_dir.path(); }
    QString dataDir() const;
    QString configDir() const;

private:
    QTemporaryDir m_dir;
};
