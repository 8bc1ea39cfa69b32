#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class PeerConnection;

// WebRTC start-up shared by all sessions: GStreamer, the DTLS certificate
// (generated once per process, 100-300 ms) and the decoder plug-ins are made
// ready on a worker at start-up rather than at the first connect. Also retires
// finished peer connections off the main thread. Lives on the main thread; the
// application makes one and hands it to its sessions.
class PeerConnectionFactory : public QObject {
    Q_OBJECT
public:
    explicit PeerConnectionFactory(QObject *parent = nullptr);
    // Waits for the warm-up worker and, for a while, for retired connections.
    ~PeerConnectionFactory() override;

    // Starts the warm-up once (main thread); later calls do nothing.
    void warmUp();
    // done(error) on the main thread once the warm-up finished ("" on success);
    // not at all when context died first. Starts the warm-up when needed.
    void whenReady(QObject *context, std::function<void(QString error)> done);
    bool isReady() const { return m_ready; }

    // The audio sink element chosen at warm-up: VELMO_AUDIO_SINK when set, else
    // autoaudiosink when it can open, else fakesink (no sound server: keeps the
    // receive thread running).
    QString audioSink() const;

    // Takes a finished connection: its channels are closed, then the pipeline is
    // stopped and freed on a worker thread.
    void retire(std::shared_ptr<PeerConnection> pc);
    // Blocks until every retired connection is gone or timeoutMs passed (tests, quit).
    bool waitForRetired(int timeoutMs = 3000);

private:
    void finishWarmUp(const QString &error);

    bool m_started = false;
    bool m_ready = false;
    QString m_error;
    std::vector<std::function<void(QString)>> m_waiting;
    mutable std::mutex m_lock; // guards m_audioSink (written by the warm-up worker)
    QString m_audioSink;
    std::thread m_warmUp;
    // Shared with the retiring workers, which may outlive a wait that timed out.
    std::shared_ptr<std::atomic<int>> m_retiring = std::make_shared<std::atomic<int>>(0);
};
