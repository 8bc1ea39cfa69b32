#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "session/SessionStore.h"
#include "sharing/AskWindows.h"
#include "sharing/NoticeBar.h"
#include "sharing/ProfileWindows.h"
#include "shell/RootView.h"
#include "shell/SingleInstance.h"
#include "shell/VelmoRemoteApp.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/SessionWindowView.h"
#include "viewer/SessionWindows.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestAppShell : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;

private Q_SLOTS:
    void tabsAndRawValues() {
        QCOMPARE(RootView::tabFromRaw("host"), std::optional(RootView::Tab::host));
        QCOMPARE(RootView::tabFromRaw("connect"), std::optional(RootView::Tab::connect));
        QCOMPARE(RootView::tabFromRaw("settings"), std::optional(RootView::Tab::settings));
        QCOMPARE(RootView::tabFromRaw("Host"), std::nullopt);
        QCOMPARE(RootView::tabFromRaw(""), std::nullopt);

        RootView view(new QWidget, new QWidget, new QWidget);
        auto *sidebar = view.findChild<QListWidget *>("sidebar");
        QVERIFY(sidebar);
        QStringList labels;
        for (int i = 0; i < sidebar->count(); ++i)
            labels << sidebar->item(i)->text();
        QCOMPARE(labels, (QStringList{"この端末", "接続", "設定"}));
        QCOMPARE(view.tab(), std::optional(RootView::Tab::host));
        QWidget *hostPanel = view.currentDetail();
        sidebar->setCurrentRow(2);
        QCOMPARE(view.tab(), std::optional(RootView::Tab::settings));
        QVERIFY(view.currentDetail() != hostPanel);
        // No selection falls back to the host panel.
        view.setTab(std::nullopt);
        QCOMPARE(view.currentDetail(), hostPanel);
    }

    void sessionStoreCloses() {
        SessionStore store(objects.context());
        store.close("nothere");
        store.closeAll();
        QCOMPARE(store.count(), 0);

        RemoteSession *a = store.open("111111111", "pw", "A");
        RemoteSession *b = store.open("222222222", "pw", "B");
        QCOMPARE(a->sid().size(), 8);
        QVERIFY(a->sid() != b->sid());
        QVERIFY(QRegularExpression("^[0-9a-f]{8}$").match(a->sid()).hasMatch());
        QPointer<RemoteSession> pa(a), pb(b);
        QSignalSpy closedA(a, &RemoteSession::closed);
        QSignalSpy closedB(b, &RemoteSession::closed);
        QCOMPARE(store.count(), 2);
        QCOMPARE(store.session(a->sid()), a);
        store.close(a->sid());
        QCOMPARE(closedA.count(), 1);
        QCOMPARE(store.count(), 1);
        store.closeAll();
        QCOMPARE(closedB.count(), 1);
        QCOMPARE(store.count(), 0);
        QTRY_VERIFY(!pa && !pb);
    }

    void sessionWindowPerId() {
        SessionWindows windows(objects.store(), objects.config());
        SessionWindowView *first = windows.open("abcd0123");
        // Larger than the old 1280 × 820 where the screen allows, never beyond its free area.
        const QSize free = QGuiApplication::primaryScreen()->availableGeometry().size();
        QCOMPARE(first->size(), QSize(1600, 1000).boundedTo(free * 0.92));
        QCOMPARE(windows.open("abcd0123"), first);
        QCOMPARE(windows.count(), 1);
        SessionWindowView *other = windows.open("ffff0000");
        QVERIFY(other != first);
        QCOMPARE(windows.count(), 2);
        first->close();
        QTRY_COMPARE(windows.count(), 1);
        other->close();
        QTRY_COMPARE(windows.count(), 0);
    }

    // One instance runs: the second claim hands over and the first is asked to reopen.
    void singleInstanceHandsOver() {
        const QString name = QStringLiteral("velmo-test-%1").arg(QCoreApplication::applicationPid());
        SingleInstance first(name);
        QVERIFY(first.claim());
        QSignalSpy reopen(&first, &SingleInstance::reopenRequested);
        QProcess second;
        // A second process claiming the same name must exit at once.
        second.start(QCoreApplication::applicationFilePath(), {"--claim", name});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 3);
        QTRY_COMPARE(reopen.count(), 1);

        // The application's own socket lives in the per-user runtime folder (0700), not in
        // the shared temporary folder where another account could squat the name.
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const QString own = SingleInstance::defaultName();
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY2(own.startsWith(runtime.path() + '/'), qPrintable(own));
        SingleInstance inRuntime(own);
        QVERIFY(inRuntime.claim());
        QVERIFY(QFileInfo::exists(own));
    }

    // The start-up task and the shutdown run their steps in a fixed order.
    void startupAndShutdownOrder() {
        QStringList steps;
        VelmoRemoteApp app;
        app.setStepObserver([&](const QString &s) { steps << s; });
        app.didFinishLaunching();
        QVERIFY(app.mainWindow());
        QCOMPARE(app.mainWindow()->windowTitle(), QString("Velmo Remote"));
        QCOMPARE(app.mainWindow()->minimumSize(), QSize(880, 600));
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        QCOMPARE(steps, (QStringList{"AskWindows.start", "AgentController.start", "ProfileWindows.start",
                                     "AskWindows.start", "NoticeBar.start", "Signaling.connect"}));
        QVERIFY(app.askWindows()->isRunning());
        QVERIFY(app.profileWindows()->isRunning());
        QVERIFY(app.noticeBar()->isRunning());
        // No "New Window" anywhere in the main window's menus.
        for (QAction *a : app.mainWindow()->menuBar()->actions())
            QVERIFY(!a->text().contains("New Window"));

        // Closing the main window quits nothing; showing it again re-runs the harmless start-up task.
        QSignalSpy quit(qApp, &QCoreApplication::aboutToQuit);
        app.mainWindow()->close();
        QTest::qWait(50);
        QCOMPARE(quit.count(), 0);
        steps.clear();
        app.handleReopen();
        QVERIFY(app.mainWindow()->isVisible());
        QCOMPARE(steps.size(), 5);

        // Sessions are closed before the agent is stopped.
        RemoteSession *session = app.store()->open("123456789", "pw", "dev");
        connect(session, &RemoteSession::closed, this, [&] { steps << "session closed"; });
        steps.clear();
        app.willTerminate();
        QCOMPARE(steps, (QStringList{"NoticeBar.stop", "ProfileWindows.closeAll", "AskWindows.closeAll",
                                     "SessionStore.closeAll", "session closed", "AgentController.terminateAgentSync"}));
        QVERIFY(!app.noticeBar()->isRunning());
        QCOMPARE(app.store()->count(), 0);
        steps.clear();
        app.willTerminate();
        QVERIFY(steps.isEmpty());
    }

    void menuBarOnlyKeepsWindowsOffTheTaskbar() {
        VelmoRemoteApp app;
        app.config()->setMenuBarOnly(true);
        app.didFinishLaunching();
        QVERIFY(app.accessoryPolicy());
        QVERIFY(app.mainWindow()->windowFlags().testFlag(Qt::Tool));
        // Reopen without a visible window shows it on the taskbar whatever the setting says.
        app.mainWindow()->hide();
        app.handleReopen();
        QVERIFY(!app.accessoryPolicy());
        QVERIFY(app.mainWindow()->isVisible());
        QVERIFY(!app.mainWindow()->windowFlags().testFlag(Qt::Tool));
        app.config()->setMenuBarOnly(false);
    }

    // Launching again brings the main window forward when it was closed to the tray or
    // minimised, also while other windows of ours (a session, the notice bar) are on screen.
    void reopenBringsTheMainWindowForward() {
        VelmoRemoteApp app;
        app.didFinishLaunching();
        app.mainWindow()->hide();
        QWidget other;
        other.setWindowTitle("session");
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        app.handleReopen();
        QVERIFY(app.mainWindow()->isVisible());
        app.mainWindow()->showMinimized();
        QTRY_VERIFY(app.mainWindow()->isMinimized());
        app.handleReopen();
        QTRY_VERIFY(!app.mainWindow()->isMinimized());
        QVERIFY(app.mainWindow()->isVisible());
        other.hide();

        // A main window opened again starts on the host tab.
        auto *root = qobject_cast<RootView *>(app.mainWindow()->centralWidget());
        QVERIFY(root);
        root->setTab(RootView::Tab::settings);
        app.mainWindow()->close();
        app.handleReopen();
        QVERIFY(app.mainWindow()->isVisible());
        QCOMPARE(root->tab(), std::optional(RootView::Tab::host));
    }
};

int main(int argc, char **argv) {
    // Child mode for the single-instance test: claim the given name, exit 3 when refused.
    if (argc == 3 && QByteArray(argv[1]) == "--claim") {
        QCoreApplication app(argc, argv);
        SingleInstance instance(QString::fromLocal8Bit(argv[2]));
        return instance.claim() ? 0 : 3;
    }
    QApplication app(argc, argv);
    TestAppShell test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_appshell.moc"
