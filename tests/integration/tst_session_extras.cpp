// The viewer's recording, automatic reconnect and statistics against the real
// device: velmo-rendezvous and velmo-remote-host as child processes, the app's
// RemoteSession and session window speaking to them on loopback. Recordings are
// checked with gst-discoverer-1.0, as a player would open them.
#include "config/AppConfig.h"
#include "config/Quality.h"
#include "media/PeerConnectionFactory.h"
#include "session/ReconnectPolicy.h"
#include "session/RemoteSession.h"
#include "session/SessionRecorder.h"
#include "session/SessionStatistics.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"
#include "viewer/SessionView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using State = RemoteSession::State;

namespace {
struct Discovered {
    double seconds = 0;
    QString output;
};

// What gst-discoverer-1.0 makes of a file: its duration and the full report.
Discovered discover(const QString &path) {
    QProcess p;
    p.start(QStringLiteral("gst-discoverer-1.0"), {QStringLiteral("-v"), path});
    p.waitForFinished(30000);
    Discovered d;
    d.output = QString::fromUtf8(p.readAllStandardOutput());
    static const QRegularExpression duration(QStringLiteral("Duration: (\\d+):(\\d+):([\\d.]+)"));
    if (const auto m = duration.match(d.output); m.hasMatch())
        d.seconds = m.captured(1).toDouble() * 3600 + m.captured(2).toDouble() * 60 + m.captured(3).toDouble();
    return d;
}

bool setPasscode(DevicePeers &peers, const QString &passcode) {
    return peers.post(QStringLiteral("passcode/fixed"), {{"passcode", passcode}}) == 200 &&
           peers.post(QStringLiteral("passcode/mode"), {{"mode", "both"}}) == 200;
}
} // namespace

class TestSessionExtras : public QObject {
    Q_OBJECT
    ViewerObjects objects;

    std::unique_ptr<RemoteSession> connected(DevicePeers &peers, const QString &pref) {
        objects.config()->setVideoPref(pref);
        auto s = objects.sessionTo(peers, peers.autoPasscode());
        s->start();
        if (!QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000))
            return nullptr;
        return s;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }

    // Both video paths: a recording that plays, and the overlay's figures from the same live session.
    void recordingAndStatistics_data() {
        QTest::addColumn<QString>("pref");
        QTest::addColumn<QString>("caps");
        QTest::newRow("h264 passed through") << "h264"
                                             << "video/x-h264";
        QTest::newRow("jpeg encoded") << "jpeg"
                                      << "video/x-h264";
    }
    void recordingAndStatistics() {
        QFETCH(QString, pref);
        QFETCH(QString, caps);
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        auto s = connected(peers, pref);
        QVERIFY(s);
        QCOMPARE(s->videoMode(), pref);
        QTRY_VERIFY_WITH_TIMEOUT(s->framesReceived() > 0, 10000);
        // The host applies the viewer's quality preset right after the proof, which may start
        // its encoder anew in another size (that would end a received-H.264 recording at once,
        // see below): the recordings start once the picture size has held for a while.
        QSignalSpy sizes(s.get(), &RemoteSession::frameSizeChanged);
        for (int i = 0; i < 10; ++i) {
            sizes.clear();
            QTest::qWait(1500);
            if (sizes.isEmpty())
                break;
        }
        QVERIFY(sizes.isEmpty());

        SessionStatistics stats(s.get());
        stats.setInterval(300);
        stats.setRunning(true);

        QTemporaryDir dir;
        SessionRecorder recorder(s.get());
        QSignalSpy finished(&recorder, &SessionRecorder::finished);
        const QString path =
            dir.filePath(SessionRecorder::proposedFileName(s->targetId(), QDateTime::currentDateTime()));
        const QSizeF sizeAtStart = s->frameSize();
        const auto started = recorder.start(path);
        QVERIFY2(started.ok(), qPrintable(started.error.message));
        QVERIFY(recorder.recording());
        QVERIFY(!recorder.start(path).ok()); // one recording at a time

        // The figures come from the live connection.
        QTRY_VERIFY_WITH_TIMEOUT(stats.latest().fps > 0 && stats.latest().rttMs && stats.latest().decodeMs &&
                                     stats.latest().relayed.has_value() && stats.latest().kbps > 0,
                                 15000);
        QVERIFY(*stats.latest().rttMs >= 0 && *stats.latest().rttMs < 5000);
        QCOMPARE(*stats.latest().relayed, false); // loopback host candidates
        QCOMPARE(stats.latest().packetsLost.has_value(), pref == QLatin1String("h264"));
        QVERIFY(!stats.bitrateHistory().isEmpty());

        QTest::qWait(2500);
        recorder.stop();
        QVERIFY(!recorder.recording());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QVERIFY2(finished.at(0).at(1).toString().isEmpty(), qPrintable(finished.at(0).at(1).toString()));
        QCOMPARE(finished.at(0).at(0).toString(), path);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QFileInfo(path).fileName()}); // no ".part"

        const Discovered d = discover(path);
        QVERIFY2(d.seconds > 1.0, qPrintable(d.output));
        QVERIFY2(d.output.contains(caps), qPrintable(d.output));
        // The picture size of the stream (the first picture's, for encoded frames); the host may
        // have applied the quality preset's scale while the recording ran.
        const auto hasWidth = [&](QSizeF size) {
            return d.output.contains(QStringLiteral("width=(int)%1,").arg(qint64(size.width()) & ~1));
        };
        QVERIFY2(hasWidth(sizeAtStart) || hasWidth(s->frameSize()), qPrintable(d.output));

        // A folder that cannot be written: an error at once, no recording, no file.
        const QString nowhere = dir.filePath(QStringLiteral("missing/rec.mkv"));
        const auto refused = recorder.start(nowhere);
        QVERIFY(!refused.ok());
        QVERIFY(!recorder.recording());
        QVERIFY(!QFileInfo::exists(nowhere) && !QFileInfo::exists(nowhere + ".part"));

        // The host's encoder starting anew with another picture size (a quality preset with
        // another scale): the received H.264 cannot go on in the same track, so the file is
        // finished there and plays; encoded frames are scaled and the recording goes on.
        const QString changed = dir.filePath(QStringLiteral("changed.mkv"));
        QVERIFY(recorder.start(changed).ok());
        QTest::qWait(1500);
        s->setQuality(presets().value(QStringLiteral("speed")));
        if (pref == QLatin1String("h264")) {
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
            QVERIFY(!recorder.recording());
            QVERIFY2(finished.at(1).at(1).toString().isEmpty(), qPrintable(finished.at(1).at(1).toString()));
            QVERIFY(!finished.at(1).at(2).toString().isEmpty());
        } else {
            QTest::qWait(2000);
            QVERIFY(recorder.recording());
            recorder.stop();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
            QCOMPARE(finished.at(1).at(2).toString(), QString());
        }
        QVERIFY(discover(changed).seconds > 0.5);

        // The session ending finishes a running recording too.
        const QString second = dir.filePath(QStringLiteral("second.mkv"));
        QVERIFY(recorder.start(second).ok());
        QTest::qWait(2000);
        s->close();
        QVERIFY(!recorder.recording());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 10000);
        QVERIFY2(finished.at(2).at(1).toString().isEmpty(), qPrintable(finished.at(2).at(1).toString()));
        QVERIFY(discover(second).seconds > 0.5);
        objects.factory()->waitForRetired();
    }

    // A device that stays away: the tries come with growing waits (shortened here), the
    // countdown to the next one shows, and the run ends when the time a user waits is
    // over, with a text that says so. A run can be cancelled.
    void reconnectGivesUpAfterLastTry() {
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        auto s = connected(peers, QStringLiteral("jpeg"));
        QVERIFY(s);
        ReconnectPolicy policy(s.get());
        const double scale = 0.01; // ten minutes become six seconds
        policy.setTimeScale(scale);
        QSignalSpy stats(s.get(), &RemoteSession::statsChanged);
        QTRY_VERIFY_WITH_TIMEOUT(stats.size() >= 5, 15000);
        QList<qint64> tries; // when each try began
        QStringList texts;
        QElapsedTimer clock;
        clock.start();
        connect(s.get(), &RemoteSession::stateChanged, this, [&] {
            if (s->state() == State::Connecting)
                tries.append(clock.elapsed());
        });
        connect(&policy, &ReconnectPolicy::statusChanged, this, [&] { texts << policy.statusText(); });
        peers.killHost();
        QTRY_COMPARE_WITH_TIMEOUT(policy.statusText(), ReconnectPolicy::exhaustedText(), 60000);
        QCOMPARE(texts.first(), ReconnectPolicy::waitingText(1, 1));
        QVERIFY(texts.contains(ReconnectPolicy::tryingText(1)));
        // More than the five tries of old: waits double up to their cap until the time is over.
        QVERIFY2(tries.size() >= 8, qPrintable(QString::number(tries.size())));
        for (int i = 1; i < tries.size(); ++i)
            QVERIFY2(
                tries[i] - tries[i - 1] >= qint64(ReconnectPolicy::delayMs(i + 1) * scale),
                qPrintable(
                    QStringLiteral("try %1 came %2 ms after the one before").arg(i + 1).arg(tries[i] - tries[i - 1])));
        QVERIFY(tries.last() - tries.first() <= qint64(ReconnectPolicy::giveUpAfterMs * scale) + 3000);
        QCOMPARE(s->state(), State::Failed);
        QCOMPARE(s->failureKind(), RemoteSession::FailureKind::Unreachable); // the server: the device is offline
        const qsizetype made = tries.size();
        QTest::qWait(1500);
        QCOMPARE(tries.size(), made);

        // A new run after a try of the user's; cancelled, it tries no more.
        policy.setTimeScale(1.0);
        s->reconnect();
        QTRY_COMPARE_WITH_TIMEOUT(policy.statusText(), ReconnectPolicy::waitingText(1, 1), 15000);
        QVERIFY(policy.active());
        policy.cancel();
        QVERIFY(!policy.active());
        QCOMPARE(policy.statusText(), ReconnectPolicy::cancelledText());
        const qsizetype afterCancel = tries.size();
        QTest::qWait(2000);
        QCOMPARE(tries.size(), afterCancel);
        s->close();
        objects.factory()->waitForRetired();
    }

    // Closing the window while it records: the file is still finished and plays.
    void closingWindowFinishesRecording() {
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = objects.sessionTo(peers, peers.autoPasscode());
        auto view = std::make_unique<SessionView>(s.get(), objects.config(), nullptr);
        view->show();
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Connected, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!s->image().isNull(), 10000);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("closed.mkv"));
        view->startRecording(path);
        QTRY_VERIFY(view->findChild<QLabel *>("recordingMark")->isVisible());
        QTest::qWait(2000);
        view.reset();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path), 10000);
        QVERIFY(!QFileInfo::exists(path + ".part"));
        QVERIFY(discover(path).seconds > 1.0);
        objects.factory()->waitForRetired();
    }

    // The window reconnects to a restarted device without the passcode being typed
    // again, and stops at once when the device refuses the passcode.
    void reconnectAfterRestartThenRefusal() {
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        const QString passcode = QStringLiteral("kept-in-window-7");
        QVERIFY(setPasscode(peers, passcode));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto session = objects.sessionTo(peers, passcode);
        RemoteSession *s = session.get();
        SessionView view(s, objects.config(), nullptr);
        view.show(); // starts the session
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Connected, 15000);
        QSignalSpy stats(s, &RemoteSession::statsChanged);
        QTRY_VERIFY_WITH_TIMEOUT(stats.size() >= 5, 15000); // arms the silence watch
        ReconnectPolicy *policy = view.reconnectPolicy();
        QVERIFY(policy);

        // The device process dies and comes back with the same data (same device ID).
        peers.killHost();
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Failed, 30000);
        QCOMPARE(s->failureKind(), RemoteSession::FailureKind::Lost);
        QCOMPARE(policy->statusText(), ReconnectPolicy::waitingText(1, 1));
        QTRY_COMPARE(view.findChild<QLabel *>("reconnectText")->text(), ReconnectPolicy::waitingText(1, 1));
        QVERIFY(view.findChild<QPushButton *>("cancelReconnect")->isVisibleTo(&view));
        QVERIFY(peers.startHost());
        QVERIFY(setPasscode(peers, passcode)); // the fixed passcode is not kept by the device
        QVERIFY(peers.waitForDevice());
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Connected, 40000);
        QVERIFY(s->connectionSid() != s->sid());
        QCOMPARE(policy->statusText(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!s->image().isNull(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(s->connectionSid(), true), 5000);

        // Again, but the device now only takes its new automatic passcode: the first try is
        // refused, no further try follows, and the window asks for the new passcode.
        QSignalSpy stats2(s, &RemoteSession::statsChanged);
        QTRY_VERIFY_WITH_TIMEOUT(stats2.size() >= 5, 15000);
        peers.killHost();
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Failed, 30000);
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QSignalSpy states(s, &RemoteSession::stateChanged);
        QTRY_COMPARE_WITH_TIMEOUT(s->failureKind(), RemoteSession::FailureKind::Refused, 40000);
        QCOMPARE(s->failureText(), RemoteSession::authFailText(4));
        QVERIFY(s->passcodeRefused());
        QCOMPARE(policy->statusText(), ReconnectPolicy::passcodeText());
        QCOMPARE(view.findChild<QLabel *>("reconnectText")->text(), ReconnectPolicy::passcodeText());
        auto *field = view.findChild<QLineEdit *>("retryPasscode");
        auto *retry = view.findChild<QPushButton *>("retry");
        QVERIFY(field->isVisibleTo(&view) && retry->isVisibleTo(&view));
        QVERIFY(!retry->isEnabled());
        QVERIFY(!view.findChild<QPushButton *>("cancelReconnect")->isVisibleTo(&view));
        const qsizetype changes = states.size();
        QTest::qWait(3000); // longer than the next wait would have been
        QCOMPARE(states.size(), changes);
        QCOMPARE(s->state(), State::Failed);
        // "再試行" with the device's new passcode gets in again.
        field->setText(peers.autoPasscode());
        QVERIFY(retry->isEnabled());
        retry->click();
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), State::Connected, 30000);
        QVERIFY(!field->isVisibleTo(&view));
        QCOMPARE(policy->statusText(), QString());
        s->close();
        objects.factory()->waitForRetired();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    QApplication app(argc, argv);
    TestSessionExtras t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_extras.moc"
