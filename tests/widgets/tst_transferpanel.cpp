// The session window's "転送" menu, file drops and transfer rows, with a session that
// has not connected (so nothing may be sent).
#include "config/AppConfig.h"
#include "protocol/FileChunkHeader.h"
#include "session/SessionExchange.h"
#include "session/SessionStore.h"
#include "support/SilentSignalingPort.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "transfer/FileTransfers.h"
#include "viewer/ClipboardSync.h"
#include "viewer/FileTransferPanel.h"
#include "viewer/SessionView.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>

class TestTransferPanel : public QObject {
    Q_OBJECT
    TestEnv env;
    ViewerObjects objects;

private Q_SLOTS:
    void menuDropsAndRows() {
        SessionStore store(objects.context());
        auto *session =
            new RemoteSession("123456789", "pass", "Desk", objects.context(std::make_shared<SilentSignalingPort>()));
        store.insert(session);
        SessionView view(session, objects.config(), &store);

        auto *button = view.findChild<QToolButton *>("exchangeMenu");
        QVERIFY(button);
        auto *clip = button->menu()->findChild<QAction *>("clipboardSync");
        auto *send = button->menu()->findChild<QAction *>("sendFiles");
        QVERIFY(clip && send);
        QCOMPARE(clip->text(), QStringLiteral("クリップボードを同期"));
        QVERIFY(clip->isChecked());
        QVERIFY(!send->isEnabled()); // not connected
        clip->setChecked(false);
        QVERIFY(!view.clipboardSync()->enabled());

        // A local copy while not connected goes nowhere and says nothing.
        QSignalSpy notices(view.clipboardSync(), &ClipboardSync::notice);
        view.clipboardSync()->setEnabled(true);
        QGuiApplication::clipboard()->setText(QString(2 * 1024 * 1024, QLatin1Char('z')));
        QTest::qWait(50);
        QCOMPARE(notices.size(), 0);

        // A file dropped on the window before the session is up: told why, nothing sent.
        QTemporaryDir dir;
        QFile f(dir.path() + "/a.txt");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("a");
        f.close();
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(f.fileName())});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &drop);
        QCOMPARE(view.toast(), FileTransferPanel::notConnectedText());
        QVERIFY(session->exchange()->files()->transfers().isEmpty());
        QMimeData text;
        text.setText("not a file");
        QDragEnterEvent textEnter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &textEnter);
        QVERIFY(!textEnter.isAccepted());

        // A transfer that fails at once gets a row with its reason; closing it hides the panel.
        FileTransferPanel *panel = view.transfers();
        QVERIFY(panel->isHidden());
        const int key = session->exchange()->files()->send(f.fileName());
        QVERIFY(!panel->isHidden());
        auto *row = panel->findChild<QWidget *>(QStringLiteral("transfer_%1").arg(key));
        QVERIFY(row);
        QCOMPARE(row->findChild<QLabel *>("transferName")->text(), QStringLiteral("↑ a.txt"));
        QCOMPARE(row->findChild<QLabel *>("transferStatus")->text(),
                 session->exchange()->files()->transfer(key)->message);
        auto *close = row->findChild<QToolButton *>("transferButton");
        QCOMPARE(close->text(), QStringLiteral("閉じる"));
        close->click();
        QVERIFY(panel->isHidden());
        QVERIFY(!session->exchange()->files()->transfer(key));

        // A file received from the host: the row says where it went, offers its folder,
        // the window says so too, and the row stays past the time sent files are shown.
        FileTransfers *files = session->exchange()->files();
        QTemporaryDir downloads;
        files->setFolder(downloads.path());
        files->setAllowed(true);
        files->handleText(QJsonObject{{"t", "file_start"}, {"id", 7}, {"name", "report.txt"}, {"size", 5}});
        files->handleBinary(FileChunkHeader{7, 0}.encode("hello"));
        files->handleText(QJsonObject{{"t", "file_end"}, {"id", 7}});
        QList<FileTransfers::Transfer> all = files->transfers();
        QCOMPARE(all.size(), 1);
        QTRY_COMPARE(files->transfer(all.first().key)->status, FileTransfers::Status::Done);
        const QString saved = files->transfer(all.first().key)->path;
        QCOMPARE(QFileInfo(saved).absolutePath(), QFileInfo(downloads.path()).absoluteFilePath());
        auto *received = panel->findChild<QWidget *>(QStringLiteral("transfer_%1").arg(all.first().key));
        QVERIFY(received);
        QTRY_COMPARE(received->findChild<QLabel *>("transferStatus")->text(), QStringLiteral("保存しました: ") + saved);
        QVERIFY(!received->findChild<QToolButton *>("openFolder")->isHidden());
        QCOMPARE(received->findChild<QToolButton *>("openFolder")->text(), QStringLiteral("フォルダを開く"));
        QCOMPARE(view.toast(), QStringLiteral("report.txt を ") + QFileInfo(saved).absolutePath() + " に保存しました");
        QTest::qWait(FileTransferPanel::keepDoneMs + 300);
        QVERIFY(panel->findChild<QWidget *>(QStringLiteral("transfer_%1").arg(all.first().key)));
        QVERIFY(!panel->isHidden());
    }
};

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestTransferPanel test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_transferpanel.moc"
