// The notice bar against a real velmo-remote-host and supervisor.
#include "sharing/NoticeBar.h"
#include "support/HostUiHarness.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QScreen>
#include <QtTest>

class TestNoticeBar : public QObject {
    Q_OBJECT
public:
    explicit TestNoticeBar(TestEnv *env) : m_env(env) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void followsAuthenticatedSessions();
    void switchedOffByTheAgent();
    void stopHidesAndUnsubscribes();

private:
    bool barShown() const { return m_bar->window() && m_bar->window()->isVisible(); }

    TestEnv *m_env;
    std::unique_ptr<HostUiHarness> m_h;
    std::unique_ptr<NoticeBar> m_bar;
    QStringList m_sids;
};

void TestNoticeBar::initTestCase() {
    m_h = std::make_unique<HostUiHarness>(m_env->dataDir());
    QVERIFY(m_h->ok());
    m_bar = std::make_unique<NoticeBar>();
    m_bar->start(m_h->agent());
    m_bar->start(m_h->agent()); // a second start changes nothing
}

void TestNoticeBar::cleanupTestCase() {
    m_bar.reset();
    m_h.reset();
}

void TestNoticeBar::followsAuthenticatedSessions() {
    QVERIFY(!barShown());
    const QString pending = m_h->addSession({{"name", "Pending"}, {"authed", false}});
    QVERIFY(!pending.isEmpty());
    QTest::qWait(100);
    QVERIFY(!barShown());

    m_sids << m_h->addSession({{"name", "A"}, {"authed", true}});
    QTRY_VERIFY(barShown());
    QCOMPARE(m_bar->text(), QStringLiteral("遠隔操作中: A"));
    QWidget *w = m_bar->window();
    QCOMPARE(w->size(), QSize(NoticeBar::barWidth, NoticeBar::barHeight));
    // Clicks pass through; it stays above other windows and out of the taskbar.
    QVERIFY(w->windowFlags() & Qt::WindowTransparentForInput);
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(w->testAttribute(Qt::WA_TransparentForMouseEvents));
    const QScreen *screen = QGuiApplication::primaryScreen();
    QCOMPARE(w->geometry().center().x(), screen->geometry().center().x());
    QCOMPARE(w->geometry().top(), screen->availableGeometry().top() + 2);

    m_sids << m_h->addSession({{"name", ""}, {"authed", true}});
    QTRY_COMPARE(m_bar->text(), QStringLiteral("遠隔操作中: A, 名称未設定"));
    QCOMPARE(m_bar->window(), w); // the same window, new text

    QVERIFY(m_h->removeSession(pending));
    QVERIFY(m_h->removeSession(m_sids.takeFirst()));
    QTRY_COMPARE(m_bar->text(), QStringLiteral("遠隔操作中: 名称未設定"));
}

void TestNoticeBar::switchedOffByTheAgent() {
    QTRY_VERIFY(barShown());
    m_h->agent()->setNoticeBar(false);
    QTRY_VERIFY(!barShown());
    QVERIFY(!m_h->agent()->status()->sessions.isEmpty());
    QCOMPARE(m_bar->text(), QString());
    m_h->agent()->setNoticeBar(true);
    QTRY_VERIFY(barShown());
    QVERIFY(m_h->removeSession(m_sids.takeFirst()));
    QTRY_VERIFY(!barShown());
}

void TestNoticeBar::stopHidesAndUnsubscribes() {
    m_sids << m_h->addSession({{"name", "Z"}, {"authed", true}});
    QTRY_VERIFY(barShown());
    m_bar->stop();
    QVERIFY(!barShown());
    m_h->addSession({{"name", "Y"}, {"authed", true}});
    QTest::qWait(200);
    QVERIFY(!barShown());
}

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestNoticeBar t(&env);
    return QTest::qExec(&t, argc, argv);
}

#include "tst_noticebar.moc"
