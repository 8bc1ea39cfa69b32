// The installed layout, as a user gets it from `cmake --install build --prefix ~/.local`:
// the application finds the agent installed beside it and runs it as its own (no
// resident service is touched), and the uninstaller leaves the installed agent alone.
#include "support/TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
QString readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool isExecutable(const QString &path) {
    const QFileInfo fi(path);
    return fi.isFile() && fi.isExecutable();
}
} // namespace

class TestInstallLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void installIntoHomePrefix() {
        QTemporaryDir tmp;
        const QString home = tmp.path() + "/home";
        const QString prefix = home + "/.local";
        const QString agent = prefix + "/lib/velmo-remote/agent/velmo-remote-host";
        QDir().mkpath(home);
        QDir().mkpath(tmp.path() + "/tmp");

        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start("cmake", {"--install", VELMO_BUILD_DIR, "--prefix", prefix});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());

        // The agent has one place below the prefix, the one the application looks in.
        QVERIFY(isExecutable(prefix + "/bin/velmo-remote"));
        QVERIFY(isExecutable(agent));
        QVERIFY(QFile::exists(prefix + "/share/velmo-remote/uninstall.sh"));
        QStringList underLib;
        for (QDirIterator it(prefix + "/lib", QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            underLib << QDir(prefix + "/lib").relativeFilePath(it.next());
        QCOMPARE(underLib, QStringList{"velmo-remote/agent/velmo-remote-host"});

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        env.insert("TMPDIR", tmp.path() + "/tmp"); // the single-instance socket
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VELMO_SYSTEMCTL", VELMO_SOURCE_DIR "/tests/support/fake-systemctl.sh");
        env.insert("VELMO_SYSTEMCTL_LOG", tmp.path() + "/systemctl.log");
        env.insert("VELMO_SYSTEMCTL_STATE", tmp.path());
        for (const char *var : {"VELMO_RMAGENT", "VELMO_AGENT_BUNDLE_DIR", "VELMO_SYSTEMCTL_RUN"})
            env.remove(var);

        // The installed application runs the agent beside it as its own.
        QProcess app;
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(prefix + "/bin/velmo-remote");
        QVERIFY(app.waitForStarted());
        const QString log = home + "/.local/share/velmo-remote/desktop.log";
        const QString spawned = QStringLiteral("Velmo Remote Host 起動: ") + agent + " --data ";
        QVERIFY2(QTest::qWaitFor([&] { return readAll(log).contains(spawned); }, 20000), qPrintable(readAll(log)));
        QVERIFY(!readAll(log).contains(QStringLiteral("常駐版")));
        QVERIFY2(!readAll(tmp.path() + "/systemctl.log").contains("enable"),
                 qPrintable(readAll(tmp.path() + "/systemctl.log")));
        app.terminate();
        QVERIFY(app.waitForFinished(15000));

        // The uninstaller removes what it set up for the user, not the installed agent.
        QProcess uninstall;
        uninstall.setProcessEnvironment(env);
        uninstall.setProcessChannelMode(QProcess::MergedChannels);
        uninstall.start("/bin/bash", {prefix + "/share/velmo-remote/uninstall.sh", "--purge"});
        QVERIFY(uninstall.waitForFinished(30000));
        const QString out = QString::fromUtf8(uninstall.readAll());
        QVERIFY2(uninstall.exitCode() == 0, qPrintable(out));
        QVERIFY2(isExecutable(agent), qPrintable(out));
        QVERIFY(!out.contains(prefix + "/lib/velmo-remote/agent"));
        QVERIFY2(!QFile::exists(home + "/.local/share/velmo-remote"), qPrintable(out));
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestInstallLayout t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_install_layout.moc"
