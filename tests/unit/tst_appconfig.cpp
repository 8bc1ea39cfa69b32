#include "config/AppConfig.h"
#include "config/JsonSettingsFormat.h"
#include "config/Keychain.h"
#include "support/TestEnv.h"
#include "util/StringUtils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>

namespace {
// Reads the token straight from the Secret Service, independently of Keychain.
std::optional<QString> secretToolLookup() {
    QProcess p;
    p.start("secret-tool", {"lookup", "service", Keychain::service, "account", "adminToken"});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(p.readAllStandardOutput());
}

bool secretServiceAvailable() {
    // The test environment script promises a keyring; there its absence is a failure.
    if (qEnvironmentVariableIsSet("VELMO_IN_DBUS"))
        return true;
    QProcess p;
    p.start("secret-tool", {"search", "service", "probe-velmo"});
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() != 127 &&
           !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}
} // namespace

class TestAppConfig : public QObject {
    Q_OBJECT

    TestEnv env;
    QString file;
    int n = 0;

    // Settings written by "an earlier run", through the same file format.
    void writeRaw(const QVariantMap &values) {
        QSettings s(file, JsonSettingsFormat::format());
        for (auto it = values.begin(); it != values.end(); ++it)
            s.setValue(it.key(), it.value());
        s.sync();
    }

private Q_SLOTS:
    void init() {
        file = env.configDir() + QStringLiteral("/settings-%1.json").arg(++n);
        Keychain::set("adminToken", QString());
    }

    void firstStartDefaults() {
        AppConfig c(file);
        QCOMPARE(c.server(), AppConfig::defaultServer());
        QCOMPARE(c.adminToken(), QString());
        QCOMPARE(c.preset(), QString("balanced"));
        QCOMPARE(c.videoPref(), QString("h264"));
        QCOMPARE(c.showCursor(), false);
        QCOMPARE(c.volume(), 1.0);
        QVERIFY(c.recents().isEmpty());
        QVERIFY(c.favorites().isEmpty());
        QCOMPARE(c.menuBarOnly(), false);
        QCOMPARE(c.quality(), presets().value("balanced"));
    }

    void valuesSurviveARestart() {
        {
            AppConfig c(file);
            c.setPreset("speed");
            c.setVideoPref("jpeg");
            c.setShowCursor(true);
            c.setVolume(0.25);
            c.setMenuBarOnly(true);
            c.toggleFavorite("123456789", "Office");
            c.setAlias("123456789", "My office");
            c.addRecent("987654321", "Laptop");
        }
        AppConfig c(file);
        QCOMPARE(c.preset(), QString("speed"));
        QCOMPARE(c.quality(), (Quality{30, 0.5, 40, 2000}));
        QCOMPARE(c.videoPref(), QString("jpeg"));
        QCOMPARE(c.showCursor(), true);
        QCOMPARE(c.volume(), 0.25);
        QCOMPARE(c.menuBarOnly(), true);
        QCOMPARE(c.favorites(), (QList<DeviceEntry>{{"123456789", "Office", QString("My office")}}));
        QCOMPARE(c.recents(), (QList<DeviceEntry>{{"987654321", "Laptop", std::nullopt}}));
        // The cursor switch is stored under "cursor", not "showCursor".
        QSettings raw(file, JsonSettingsFormat::format());
        QCOMPARE(raw.value("cursor").typeId(), int(QMetaType::Bool));
        QVERIFY(!raw.contains("showCursor"));
    }

    void serverIsStoredWithoutTrailingSlashes() {
        AppConfig c(file);
        QSignalSpy spy(&c, &AppConfig::serverChanged);
        c.setServer("https://rv.example.org///");
        QCOMPARE(spy.count(), 1);
        QCOMPARE(c.server(), QString("https://rv.example.org///"));
        QSettings raw(file, JsonSettingsFormat::format());
        QCOMPARE(raw.value("server").toString(), QString("https://rv.example.org"));
        AppConfig again(file);
        QCOMPARE(again.server(), QString("https://rv.example.org"));
    }

    void wrongTypesReadAsDefaults() {
        writeRaw({{"volume", "loud"},
                  {"cursor", "true"},
                  {"menuBarOnly", 1},
                  {"server", 42},
                  {"preset", true},
                  // one element without "name" spoils the whole list
                  {"recents", QByteArray(R"([{"id":"111111111","name":"a"},{"id":"222222222"}])")},
                  {"favorites", QByteArray("not json")}});
        AppConfig c(file);
        QCOMPARE(c.volume(), 1.0);
        QCOMPARE(c.showCursor(), false);
        QCOMPARE(c.menuBarOnly(), false);
        QCOMPARE(c.server(), AppConfig::defaultServer());
        QCOMPARE(c.preset(), QString("balanced"));
        QVERIFY(c.recents().isEmpty());
        QVERIFY(c.favorites().isEmpty());
        // An undecodable list is overwritten by the next change.
        c.addRecent("333333333", "c");
        QCOMPARE(AppConfig(file).recents().size(), 1);
    }

    void wholeNumberVolumeIsANumber() {
        writeRaw({{"volume", 0}});
        QCOMPARE(AppConfig(file).volume(), 0.0);
    }

    void settingsFileKeepsTypes() {
        writeRaw({{"big", qint64(9007199254740993)}, {"flag", true}, {"bytes", QByteArray("\x00\xff", 2)}});
        QSettings raw(file, JsonSettingsFormat::format());
        QCOMPARE(raw.value("big").toLongLong(), qint64(9007199254740993));
        QCOMPARE(raw.value("flag").typeId(), int(QMetaType::Bool));
        QCOMPARE(raw.value("bytes").toByteArray(), QByteArray("\x00\xff", 2));
    }

    void corruptFileReadsAsDefaults() {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{\"server\": \"http://x\", garbage");
        f.close();
        AppConfig c(file);
        QCOMPARE(c.server(), AppConfig::defaultServer());
    }

    void recentsKeepTwentyNewestWithoutDuplicates() {
        AppConfig c(file);
        for (int i = 0; i < 21; ++i)
            c.addRecent(QString::number(100000000 + i), QStringLiteral("d%1").arg(i));
        QCOMPARE(c.recents().size(), 20);
        QCOMPARE(c.recents().first().id, QString("100000020"));
        QCOMPARE(c.recents().last().id, QString("100000001"));

        c.addRecent("100000005", "renamed");
        QCOMPARE(c.recents().size(), 20);
        QCOMPARE(c.recents().first(), (DeviceEntry{"100000005", "renamed", std::nullopt}));
        const QList<DeviceEntry> recents = c.recents();
        QCOMPARE(
            std::count_if(recents.begin(), recents.end(), [](const DeviceEntry &e) { return e.id == "100000005"; }), 1);
    }

    void favouritesToggleAndAlias() {
        AppConfig c(file);
        c.toggleFavorite("111111111", "Desk");
        c.toggleFavorite("222222222", "Den");
        QCOMPARE(c.favorites().first().alias, std::optional<QString>("Desk"));
        QVERIFY(c.isFavorite("222222222"));
        c.toggleFavorite("222222222", "Den");
        QCOMPARE(c.favorites(), (QList<DeviceEntry>{{"111111111", "Desk", QString("Desk")}}));

        c.addRecent("333333333", "Only recent");
        c.setAlias("333333333", "nope");
        QCOMPARE(c.favorites().size(), 1);
        QVERIFY(!c.recents().first().alias.has_value());

        c.setAlias("111111111", "");
        QCOMPARE(c.favorites().first().alias, std::optional<QString>(""));
        QCOMPARE(c.favorites().first().display(), QString("Desk"));
    }

    void displayAndIdHelpers() {
        QCOMPARE((DeviceEntry{"123456789", "", std::nullopt}).display(), QString("123 456 789"));
        QCOMPARE((DeviceEntry{"123456789", "Name", QString("")}).display(), QString("Name"));
        QCOMPARE((DeviceEntry{"123456789", "Name", QString("Alias")}).display(), QString("Alias"));

        QCOMPARE(formattedId("12345678"), QString("12345678"));
        QCOMPARE(formattedId("1234567890"), QString("1234567890"));
        QCOMPARE(formattedId("abcdefghi"), QString("abc def ghi"));
        // Nine user-perceived characters: an e with a combining accent counts once,
        // and so does an emoji made of a surrogate pair.
        const QString accented = QString("e\u0301") + "2345678" + QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(formattedId(accented), QString("e\u0301") + "23 456 78" + QString::fromUtf8("\xF0\x9F\x98\x80"));

        QCOMPARE(digitsOnly("123-456 789"), QString("123456789"));
        QCOMPARE(digitsOnly("ab1c"), QString("1"));
        QCOMPARE(digitsOnly(QString::fromUtf8("１２３ ４５６")), QString::fromUtf8("１２３４５６"));
        QCOMPARE(digitsOnly(QString::fromUtf8("٣٤")), QString::fromUtf8("٣٤"));
    }

    void qualityPresets() {
        QCOMPARE(presets().size(), 3);
        QCOMPARE(presets().value("quality"), (Quality{10, 1.0, 85, 8000}));
        QCOMPARE(presetList().at(0).label, QString("速度優先"));
        QCOMPARE(presetList().at(1).label, QString("標準"));
        QCOMPARE(presetList().at(2).label, QString("画質優先"));
        const QJsonObject d = presets().value("speed").dict();
        QCOMPARE(d.keys(), (QStringList{"fps", "kbps", "q", "scale"}));
        QCOMPARE(d.value("scale").toDouble(), 0.5);
        AppConfig c(file);
        c.setPreset("ultra");
        QCOMPARE(c.quality(), presets().value("balanced"));
    }

    void tokenLivesInTheSecretService() {
        if (!secretServiceAvailable())
            QSKIP("no Secret Service in this environment (run through scripts/with-test-env.sh)");
        {
            AppConfig c(file);
            c.setAdminToken("s3cret token");
        }
        QCOMPARE(secretToolLookup(), std::optional<QString>("s3cret token"));
        QSettings raw(file, JsonSettingsFormat::format());
        QVERIFY(!raw.contains("adminToken"));
        // The keyring is read on a worker: on a loaded machine its answer may come later.
        AppConfig again(file);
        QTRY_COMPARE(again.adminToken(), QString("s3cret token"));

        // An empty token removes the item.
        AppConfig(file).setAdminToken("");
        QCOMPARE(secretToolLookup(), std::nullopt);
        QCOMPARE(AppConfig(file).adminToken(), QString());
    }

    void oldTokenIsMigrated() {
        if (!secretServiceAvailable())
            QSKIP("no Secret Service in this environment (run through scripts/with-test-env.sh)");
        writeRaw({{"adminToken", "legacy"}});
        AppConfig c(file);
        QTRY_COMPARE(c.adminToken(), QString("legacy"));
        QCOMPARE(secretToolLookup(), std::optional<QString>("legacy"));
        QSettings raw(file, JsonSettingsFormat::format());
        QVERIFY(!raw.contains("adminToken"));
    }

    void storedTokenWinsOverOldKey() {
        if (!secretServiceAvailable())
            QSKIP("no Secret Service in this environment (run through scripts/with-test-env.sh)");
        Keychain::set("adminToken", "current");
        writeRaw({{"adminToken", "legacy"}});
        AppConfig c(file);
        QTRY_COMPARE(c.adminToken(), QString("current"));
        QSettings raw(file, JsonSettingsFormat::format());
        QCOMPARE(raw.value("adminToken").toString(), QString("legacy"));
    }

    // A Secret Service that never answers (its activation hangs, as a broken keyring does):
    // the settings are there at once, without the token, instead of after D-Bus's 25 s.
    // The probe runs in a child process on a session bus of its own.
    void keyringThatNeverAnswersDoesNotHoldTheStart() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("needs dbus-daemon");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("services")));
        QFile service(dir.filePath(QStringLiteral("services/org.freedesktop.secrets.service")));
        QVERIFY(service.open(QIODevice::WriteOnly));
        service.write("[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sleep 40\n");
        service.close();
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/bus</listen>"
                                    "<servicedir>%1/services</servicedir><policy context=\"default\">"
                                    "<allow send_destination=\"*\"/><allow own=\"*\"/></policy></busconfig>")
                         .arg(dir.path())
                         .toUtf8());
        config.close();
        QProcess bus;
        bus.start(daemon, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                           QStringLiteral("--print-address")});
        QVERIFY(bus.waitForStarted());
        QByteArray address;
        QTRY_VERIFY_WITH_TIMEOUT((address += bus.readAllStandardOutput()).contains("unix:"), 10000);

        QProcess probe;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=%1/bus").arg(dir.path()));
        env.insert(QStringLiteral("VELMO_APPCONFIG_PROBE"), file);
        probe.setProcessEnvironment(env);
        probe.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer clock;
        clock.start();
        probe.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(probe.waitForStarted());
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += probe.readAll()).contains("constructed"), said.constData(), 20000);
        // Well before the D-Bus call would have given up.
        QVERIFY2(clock.elapsed() < 20000, said.constData());
        QVERIFY2(said.contains("token \"\""), said.constData());
        probe.kill();
        probe.waitForFinished();
        bus.kill();
        bus.waitForFinished();
    }
};

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet("VELMO_APPCONFIG_PROBE")) {
        // The probe of keyringThatNeverAnswersDoesNotHoldTheStart(): the settings as the
        // application makes them at start, then out without waiting for the keyring's worker.
        QCoreApplication app(argc, argv);
        AppConfig config(qEnvironmentVariable("VELMO_APPCONFIG_PROBE"));
        std::printf("constructed, token \"%s\"\n", qPrintable(config.adminToken()));
        std::fflush(stdout);
        std::_Exit(0);
    }
    QCoreApplication app(argc, argv);
    TestAppConfig t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_appconfig.moc"
