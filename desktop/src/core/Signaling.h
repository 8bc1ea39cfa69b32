#pragma once

#include <QObject>

#include <functional>

// WebSocket signaling client of the rendezvous server.
class Signaling : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString myId READ myId NOTIFY myIdChanged)
    Q_PROPERTY(bool online READ online NOTIFY onlineChanged)
public:
    explicit Signaling(QObject *parent = nullptr);
    static Signaling *shared();

    QString myId() const { return m_myId; }
    bool online() const { return m_online; }

    // Ensures a greeted socket; done(true) once greeted, done(false) on failure.
    void connect(QObject *context, std::function<void(bool ok)> done);

Q_SIGNALS:
    void myIdChanged();
    void onlineChanged();

private:
    QString m_myId;
    bool m_online = false;
};
