// The clipboard between two real X displays: the agent shares the CLIPBOARD of one
// Xvfb, the viewer (Qt's xcb platform) runs on a second one, and plain X clients copy
// and paste on each. Pictures and copied files arrive byte for byte; files are fetched
// only when a program on the other display pastes them.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/NoisePicture.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/XClipboardClient.h"
#include "viewer/ClipboardSync.h"

#include <QBuffer>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <memory>

namespace {
QByteArray randomBytes(qsizetype n) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
    return b;
}

QByteArray writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return bytes;
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
// The local paths of a text/uri-list.
QStringList pathsOf(const QByteArray &uris) {
    QStringList out;
    for (const QByteArray &line : uris.split('\n'))
        if (!line.trimmed().isEmpty())
            out.append(QUrl::fromEncoded(line.trimmed()).toLocalFile());
    return out;
}

// An X client that owns the viewer display's clipboard from a thread of its own: the
// viewer's toolkit waits for an owner's answer without running the event loop, so an
// owner on the main thread could never answer it.
class OwnerThread {
public:
    explicit OwnerThread(const QByteArray &display) {
        m_anchor.moveToThread(&m_thread);
        m_thread.start();
        run([this, display] { m_client = new XClipboardClient(display); });
    }
    ~OwnerThread() {
        run([this] { delete m_client; });
        m_thread.quit();
        m_thread.wait();
    }
    bool ok() const { return m_client && m_client->ok(); }
    void copyFiles(const QStringList &paths) {
        run([&] { m_client->copyFiles(paths); });
    }
    void copyImage(const QByteArray &png) {
        run([&] { m_client->copyImage(png); });
    }
    bool owns() {
        bool mine = false;
        run([&] { mine = m_client->owns(); });
        return mine;
    }

private:
    template <typename F> void run(F f) { QMetaObject::invokeMethod(&m_anchor, f, Qt::BlockingQueuedConnection); }
    QThread m_thread;
    QObject m_anchor;
    XClipboardClient *m_client = nullptr;
};
} // namespace

class TestClipboardDisplays : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "the viewer needs its own X display");
        QCOMPARE(objects.waitForWebRtc(), QString());
    }

    void picturesAndFiles() {
        const QByteArray viewerDisplay = qgetenv("VELMO_VIEWER_DISPLAY");
        XClipboardClient host;                        // a program on the shared desktop
        XClipboardClient viewerPaster(viewerDisplay); // one on the viewer's desktop that pastes
        OwnerThread viewerCopier(viewerDisplay);      // and one that copies there
        QVERIFY(host.ok() && viewerPaster.ok() && viewerCopier.ok());

        QTemporaryDir dir;
        DevicePeers peers;
        const QString hostHome = dir.path() + "/host-home";
        QVERIFY(QDir().mkpath(hostHome));
        peers.setHostEnv("HOME", hostHome);
        peers.setHostEnv("XDG_CACHE_HOME", hostHome + "/.cache");
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        std::unique_ptr<RemoteSession> session = objects.sessionTo(peers, peers.autoPasscode());
        session->start();
        QVERIFY(QTest::qWaitFor([&] { return session->state() == RemoteSession::State::Connected; }, 20000));
        ClipboardSync sync(session.get(), QGuiApplication::clipboard());

        // A picture copied on the shared desktop is pasted on the viewer's, byte for byte.
        const QByteArray picture = noisePng(400, 300);
        host.copyImage(picture);
        QTRY_VERIFY_WITH_TIMEOUT(viewerPaster.pasteImage() == picture, 20000);

        // Files copied there: offered on the viewer's desktop, fetched when pasted there.
        const QByteArray report = writeFile(dir.path() + "/report.pdf", randomBytes(1500 * 1024 + 4));
        const QByteArray note = writeFile(dir.path() + "/メモ 1.txt", "note\n");
        host.copyFiles({dir.path() + "/report.pdf", dir.path() + "/メモ 1.txt"});
        std::optional<QByteArray> uris;
        QTRY_VERIFY_WITH_TIMEOUT((uris = viewerPaster.pasteAs("text/uri-list", 30000)).has_value(), 30000);
        const QStringList pasted = pathsOf(*uris);
        QCOMPARE(pasted.size(), 2);
        QCOMPARE(QFileInfo(pasted.at(0)).fileName(), QStringLiteral("report.pdf"));
        QVERIFY(readFile(pasted.at(0)) == report);
        QCOMPARE(readFile(pasted.at(1)), note);
        const QByteArray gnome = viewerPaster.pasteAs("x-special/gnome-copied-files").value_or(QByteArray());
        QCOMPARE(pathsOf(gnome.mid(gnome.indexOf('\n') + 1)), pasted);
        QVERIFY(gnome.startsWith("copy\n"));

        // A picture copied on the viewer's desktop is pasted on the shared one.
        const QByteArray mine = noisePng(200, 100);
        viewerCopier.copyImage(mine);
        QTRY_VERIFY_WITH_TIMEOUT(host.pasteImage() == mine, 20000);

        // Files copied on the viewer's desktop are fetched when a program there pastes them.
        const QByteArray photo = writeFile(dir.path() + "/写真.jpg", randomBytes(700 * 1024 + 1));
        viewerCopier.copyFiles({dir.path() + "/写真.jpg"});
        std::optional<QByteArray> hostUris;
        QTRY_VERIFY_WITH_TIMEOUT((hostUris = host.pasteAs("text/uri-list", 30000)).has_value(), 30000);
        const QStringList got = pathsOf(*hostUris);
        QCOMPARE(got.size(), 1);
        QVERIFY2(got.at(0).startsWith(hostHome + "/.cache/velmo-remote-host/clipboard/"), qPrintable(got.at(0)));
        QVERIFY(readFile(got.at(0)) == photo);
        QVERIFY(viewerCopier.owns()); // not sent back
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    // The viewer's toolkit on the viewer's own display, through Qt's X11 platform.
    const QByteArray viewerDisplay = qgetenv("VELMO_VIEWER_DISPLAY");
    QList<QByteArray> args;
    for (int i = 0; i < argc; ++i)
        args.append(argv[i]);
    if (!viewerDisplay.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        args.insert(1, "-display");
        args.insert(2, viewerDisplay);
    }
    QList<char *> pointers;
    for (QByteArray &a : args)
        pointers.append(a.data());
    int count = int(pointers.size());
    pointers.append(nullptr);
    QGuiApplication app(count, pointers.data());
    TestClipboardDisplays t;
    return QTest::qExec(&t, count, pointers.data());
}

#include "tst_clipboard_displays.moc"
