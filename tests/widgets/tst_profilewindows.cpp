// Viewer profile windows against a real velmo-remote-host and supervisor.
#include "sharing/ProfileWindow.h"
#include "sharing/ProfileWindows.h"
#include "support/HostUiHarness.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryFile>
#include <QtTest>

class TestProfileWindows : public QObject {
    Q_OBJECT
public:
    explicit TestProfileWindows(TestEnv *env) : m_env(env) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void oneWindowPerAuthenticatedViewer();
    void rightsButtonSendsOneInvertedRight();
    void disconnectAndClose();
    void closeAll();

private:
    static QString labelText(QWidget *w, const char *name) {
        auto *l = w->findChild<QLabel *>(name);
        return l && l->isVisibleTo(w) ? l->text() : QString();
    }

    TestEnv *m_env;
    std::unique_ptr<HostUiHarness> m_h;
    std::unique_ptr<ProfileWindows> m_windows;
    QString m_sid;
};

void TestProfileWindows::initTestCase() {
    m_h = std::make_unique<HostUiHarness>(m_env->dataDir());
    QVERIFY(m_h->ok());
    m_windows = std::make_unique<ProfileWindows>();
    m_windows->start(m_h->agent());
}

void TestProfileWindows::cleanupTestCase() {
    m_windows.reset();
    m_h.reset();
}

void TestProfileWindows::oneWindowPerAuthenticatedViewer() {
    const QString pending = m_h->addSession({{"name", "Pending"}, {"authed", false}});
    QTest::qWait(100);
    QCOMPARE(m_windows->count(), 0);

    const qint64 since = QDateTime::currentSecsSinceEpoch() - 125;
    m_sid = m_h->addSession({{"name", "Alice"},
                             {"viewer", "123456789"},
                             {"ip", "192.0.2.9"},
                             {"relay", true},
                             {"since", since},
                             {"info", QJsonObject{{"app", "Velmo"}, {"os", "Linux"}}},
                             {"authed", true}});
    QTRY_COMPARE(m_windows->count(), 1);
    ProfileWindow *w = m_windows->window(m_sid);
    QVERIFY(w && w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("Velmo Remote"));
    QCOMPARE(w->size(), QSize(ProfileWindow::contentWidth, ProfileWindow::contentHeight));
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(w->pos(), QPoint(avail.right() + 1 - w->width() - 16, avail.bottom() + 1 - 16 - w->height()));

    QCOMPARE(labelText(w, "banner"), QStringLiteral("遠隔操作されています"));
    QCOMPARE(labelText(w, "viewerName"), QStringLiteral("Alice"));
    QCOMPARE(labelText(w, "viewerDetail"), QStringLiteral("Velmo · Linux  IP 192.0.2.9  ID 123456789"));
    const QString hhmm = QDateTime::fromSecsSinceEpoch(since).toString("HH:mm");
    QCOMPARE(labelText(w, "sessionMeta"),
             QStringLiteral("ID 123456789 ・ リレー ・ ") + hhmm + QStringLiteral(" から(2 分)"));
    // The meta line follows the 30-second tick.
    w->setNow(QDateTime::currentDateTime().addSecs(3600));
    QCOMPARE(labelText(w, "sessionMeta"),
             QStringLiteral("ID 123456789 ・ リレー ・ ") + hhmm + QStringLiteral(" から(1 時間 2 分)"));
    QCOMPARE(w->rightButton(0)->text(), QStringLiteral("操作"));
    QCOMPARE(w->rightButton(1)->text(), QStringLiteral("クリップボード"));
    QCOMPARE(w->rightButton(2)->text(), QStringLiteral("ファイル"));
    // The viewer's microphone is not heard until the host user gives it.
    QCOMPARE(w->rightButton(3)->text(), QStringLiteral("マイク ×"));
    QVERIFY(m_h->removeSession(pending));
}

void TestProfileWindows::rightsButtonSendsOneInvertedRight() {
    ProfileWindow *w = m_windows->window(m_sid);
    QVERIFY(w);
    // While the viewer has `files`, the host user can send it a file.
    QVERIFY(w->sendFileButton()->isEnabled());
    QTemporaryFile file;
    QVERIFY(file.open());
    w->sendFileButton()->click();
    auto *dialog = w->findChild<QFileDialog *>("sendFileDialog");
    QVERIFY(dialog);
    dialog->selectFile(file.fileName());
    QMetaObject::invokeMethod(dialog, &QDialog::accept);
    QTRY_COMPARE(m_h->bodies("files/send").size(), 1);
    QCOMPARE(m_h->bodies("files/send").last(), (QJsonObject{{"sid", m_sid}, {"path", file.fileName()}}));
    const auto before = m_h->bodies("perm").size();
    w->rightButton(0)->click();
    QTRY_COMPARE(m_h->bodies("perm").size(), before + 1);
    QCOMPARE(m_h->bodies("perm").last(),
             (QJsonObject{{"sid", m_sid}, {"input", false}, {"clip", true}, {"files", true}, {"mic", false}}));
    QTRY_COMPARE(w->rightButton(0)->text(), QStringLiteral("操作 ×"));
    // Input off while clipboard and files stay: the window says so and offers to take them too.
    auto *note = w->findChild<QLabel *>("rightsNote");
    auto *viewOnly = w->findChild<QPushButton *>("viewOnly");
    QCOMPARE(note->text(), QStringLiteral("操作は外れていますが、クリップボードとファイルはまだ使えます。"));
    QVERIFY(viewOnly->isVisibleTo(w));
    w->rightButton(2)->click();
    QTRY_COMPARE(w->rightButton(2)->text(), QStringLiteral("ファイル ×"));
    QVERIFY(!w->sendFileButton()->isEnabled());
    QCOMPARE(m_h->bodies("perm").last(),
             (QJsonObject{{"sid", m_sid}, {"input", false}, {"clip", true}, {"files", false}, {"mic", false}}));
    QCOMPARE(w->rightButton(0)->text(), QStringLiteral("操作 ×"));
    QCOMPARE(note->text(), QStringLiteral("操作は外れていますが、クリップボードはまだ使えます。"));
    // The microphone: given, then taken back with the rest by "それも外す".
    w->rightButton(3)->click();
    QTRY_COMPARE(w->rightButton(3)->text(), QStringLiteral("マイク"));
    QCOMPARE(m_h->bodies("perm").last(),
             (QJsonObject{{"sid", m_sid}, {"input", false}, {"clip", true}, {"files", false}, {"mic", true}}));
    // "それも外す": one change that leaves the viewer only watching.
    viewOnly->click();
    QTRY_COMPARE(w->rightButton(1)->text(), QStringLiteral("クリップボード ×"));
    QTRY_COMPARE(w->rightButton(3)->text(), QStringLiteral("マイク ×"));
    QCOMPARE(m_h->bodies("perm").last(),
             (QJsonObject{{"sid", m_sid}, {"input", false}, {"clip", false}, {"files", false}, {"mic", false}}));
    QCOMPARE(note->text(), QStringLiteral("閲覧のみ: この相手は画面を見るだけです。"));
    QVERIFY(!viewOnly->isVisibleTo(w));
    // Everything the window shows fits in it.
    for (QWidget *child : w->findChildren<QWidget *>())
        if (child->isVisibleTo(w))
            QVERIFY2(w->rect().contains(QRect(child->mapTo(w, QPoint(0, 0)), child->size())),
                     qPrintable(child->objectName()));
}

void TestProfileWindows::disconnectAndClose() {
    // Closing the window leaves the session and its rights alone.
    const auto commandsBefore = m_h->commands().size();
    m_windows->window(m_sid)->close();
    QCOMPARE(m_windows->count(), 0);
    QTest::qWait(150);
    QCOMPARE(m_h->commands().size(), commandsBefore);
    QCOMPARE(m_h->agent()->status()->sessions.size(), 1);
    // It comes back when the list of authenticated viewers changes.
    const QString other =
        m_h->addSession({{"name", "Bob"}, {"authed", true}, {"mic", true}, {"micSource", "velmo_mic_0123abcd_in"}});
    QTRY_COMPARE(m_windows->count(), 2);
    // Bob's voice plays into this desktop's microphone, Alice's does not.
    QVERIFY(m_windows->window(other)->findChild<QLabel *>("micLine")->isVisibleTo(m_windows->window(other)));
    QVERIFY(!m_windows->window(m_sid)->findChild<QLabel *>("micLine")->isVisibleTo(m_windows->window(m_sid)));
    QCOMPARE(m_windows->window(other)->findChild<QLabel *>("micLine")->text(), ProfileWindow::micText());
    QVERIFY(m_windows->window(m_sid));
    // Index by the number already open: Bob's window is above Alice's.
    QVERIFY(m_windows->window(other)->pos().y() != m_windows->window(m_sid)->pos().y());

    m_windows->window(other)->disconnectButton()->click();
    QTRY_VERIFY(!m_h->bodies("disconnect").isEmpty());
    QCOMPARE(m_h->bodies("disconnect").last(), (QJsonObject{{"sid", other}}));
    QVERIFY(m_h->removeSession(other));
    QTRY_COMPARE(m_windows->count(), 1);
    QVERIFY(!m_windows->window(other));
}

void TestProfileWindows::closeAll() {
    QCOMPARE(m_windows->count(), 1);
    QPointer<ProfileWindow> w = m_windows->window(m_sid);
    m_windows->closeAll();
    QCOMPARE(m_windows->count(), 0);
    QTRY_VERIFY(!w);
}

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestProfileWindows t(&env);
    return QTest::qExec(&t, argc, argv);
}

#include "tst_profilewindows.moc"
