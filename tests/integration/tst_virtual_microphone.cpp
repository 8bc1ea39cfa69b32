// The agent's virtual microphone on a real sound server (the test environment's
// PulseAudio): what programs see, that a session's removal touches nothing else, and which
// leftovers a starting agent takes away.
#include "audio/PulseVirtualMicrophone.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <unistd.h>

namespace {
QString pactl(const QStringList &args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// Ours among the server's sinks or sources (sinks' monitors left out).
QStringList names(const char *what) {
    QStringList out;
    for (const QString &line : pactl({"list", "short", what}).split(u'\n')) {
        const QString name = line.section(u'\t', 1, 1);
        if (name.startsWith(QLatin1String("velmo_mic_")) && !name.endsWith(QLatin1String(".monitor")))
            out << name;
    }
    out.sort();
    return out;
}

// A process id nobody uses any more.
qint64 deadPid() {
    QProcess p;
    p.start(QStringLiteral("true"), {});
    p.waitForFinished(5000);
    return p.processId() > 0 ? p.processId() : 999999;
}
} // namespace

class TestVirtualMicrophone : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("needs the private sound server of the test environment");
    }
    // Whatever a failed case left goes before the next one.
    void cleanup() {
        for (const QString &line : pactl({"list", "short", "modules"}).split(u'\n'))
            if (line.contains(QLatin1String("velmo_mic_")))
                pactl({"unload-module", line.section(u'\t', 0, 0)});
    }

    void createAndRemove() {
        const PulseVirtualMicrophone mics;
        const auto made = mics.create(QStringLiteral("abcd1234"));
        QVERIFY2(made.ok(), qPrintable(made.error.message));
        QCOMPARE(made.value->sink, QStringLiteral("velmo_mic_abcd1234"));
        QCOMPARE(made.value->source, QStringLiteral("velmo_mic_abcd1234_in"));
        // Programs see a microphone by its description; the monitor is not what they are offered.
        QVERIFY(names("sources").contains(QStringLiteral("velmo_mic_abcd1234_in")));
        QVERIFY(names("sinks").contains(QStringLiteral("velmo_mic_abcd1234")));
        QVERIFY(pactl({"list", "sources"}).contains(QStringLiteral("Description: Velmo Remote マイク\n")));
        QVERIFY(pactl({"list", "short", "modules"}).contains(QStringLiteral("velmo.pid=%1").arg(::getpid())));

        // A longer id that starts the same is another session's: removing one leaves the other.
        QVERIFY(mics.create(QStringLiteral("abcd12345")).ok());
        mics.remove(QStringLiteral("abcd1234"));
        QCOMPARE(names("sources"), QStringList{QStringLiteral("velmo_mic_abcd12345_in")});
        mics.remove(QStringLiteral("abcd12345"));
        QVERIFY(names("sources").isEmpty());
        QVERIFY(names("sinks").isEmpty());
        mics.remove(QStringLiteral("abcd12345")); // gone already: nothing happens

        // Names that are not plain are refused before the server hears them.
        const auto bad = mics.create(QStringLiteral("x sink_name=other"));
        QVERIFY(!bad.ok());
        QCOMPARE(bad.error.kind, Error::Kind::Invalid);
        QVERIFY(names("sinks").isEmpty());
    }

    void leftovers() {
        const PulseVirtualMicrophone mics;
        QVERIFY(mics.create(QStringLiteral("1111aaaa")).ok()); // this process's: still in use
        const qint64 dead = deadPid();
        QVERIFY(!pactl({"load-module", "module-null-sink", "sink_name=velmo_mic_2222bbbb",
                        QStringLiteral("sink_properties=velmo.pid=%1").arg(dead)})
                     .isEmpty());
        QVERIFY(!pactl({"load-module", "module-null-sink", "sink_name=velmo_mic_3333cccc"}).isEmpty());
        QVERIFY(!pactl({"load-module", "module-null-sink", "sink_name=someone_else"}).isEmpty());
        QCOMPARE(mics.removeLeftovers(), 2);
        QCOMPARE(names("sinks"), QStringList{QStringLiteral("velmo_mic_1111aaaa")});
        QVERIFY(pactl({"list", "short", "sinks"}).contains(QStringLiteral("someone_else")));
        QCOMPARE(mics.removeLeftovers(), 0);
        mics.remove(QStringLiteral("1111aaaa"));
        QVERIFY(names("sinks").isEmpty());
    }

    void withoutServer() {
        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock");
        const PulseVirtualMicrophone mics;
        const auto made = mics.create(QStringLiteral("abcd1234"));
        qputenv("PULSE_SERVER", server);
        QVERIFY(!made.ok());
        QCOMPARE(made.error.kind, Error::Kind::Unavailable);
        QVERIFY(names("sinks").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestVirtualMicrophone)
#include "tst_virtual_microphone.moc"
