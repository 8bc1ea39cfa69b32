#pragma once

#include <QLocalServer>
#include <QObject>

// One running instance per user session: a second launch tells the first one
// to reopen, then exits.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString &name, QObject *parent = nullptr);

    // The per-user server name for this product.
    static QString defaultName();
    // True when this process is now the only instance; false after handing over
    // to a running one.
    bool claim();

Q_SIGNALS:
    void reopenRequested();

private:
    QString m_name;
    QLocalServer m_server;
};
