// Approval prompts against a real velmo-remote-host and supervisor.
#include "sharing/AskWindow.h"
#include "sharing/AskWindows.h"
#include "support/HostUiHarness.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

class TestAskWindows : public QObject {
    Q_OBJECT
public:
    explicit TestAskWindows(TestEnv *env) : m_env(env) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void oneWindowPerRequestStackedUpwards();
    void withdrawnRequestClosesWithoutAnswer();
    void replacedRequestOpensBeforeTheOldCloses();
    void closingRefusesExactlyOnce();
    void returnAllowsAndButtonsAnswerOnce();
    void closeAllAnswersNothing();
    void floodOpensABoundedNumber();
    void countdownToTheAutomaticRefusal();

private:
    QList<QJsonObject> answers() const { return m_h->bodies("asks/answer"); }
    void clearAsks();

    TestEnv *m_env;
    std::unique_ptr<HostUiHarness> m_h;
    std::unique_ptr<AskWindows> m_windows;
    qsizetype m_answersBefore = 0;
};

void TestAskWindows::initTestCase() {
    m_h = std::make_unique<HostUiHarness>(m_env->dataDir());
    QVERIFY(m_h->ok());
}

void TestAskWindows::cleanupTestCase() {
    m_h.reset();
}

void TestAskWindows::init() {
    m_windows = std::make_unique<AskWindows>();
    m_windows->start(m_h->agent());
    m_answersBefore = answers().size();
}

void TestAskWindows::cleanup() {
    m_windows.reset();
    clearAsks();
}

void TestAskWindows::clearAsks() {
    const auto st = m_h->agent()->status();
    if (!st)
        return;
    for (const ControlAsk &a : st->asks)
        m_h->removeAsk(a.sid);
}

void TestAskWindows::oneWindowPerRequestStackedUpwards() {
    const QString a = m_h->addAsk("Alice", "192.0.2.7");
    QTRY_COMPARE(m_windows->count(), 1);
    AskWindow *wa = m_windows->window(a);
    QVERIFY(wa && wa->isVisible());
    QCOMPARE(wa->windowTitle(), QStringLiteral("Velmo Remote — 接続の求め"));
    QVERIFY(wa->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(wa->width(), AskWindow::contentWidth);
    QCOMPARE(wa->findChild<QLabel *>("requestText")->text(),
             QStringLiteral("Alice がこの端末を操作しようとしています。"));
    QCOMPARE(wa->findChild<QPushButton *>("allow")->text(), QStringLiteral("許可する"));
    QCOMPARE(wa->findChild<QPushButton *>("refuse")->text(), QStringLiteral("断る"));
    QVERIFY(wa->findChild<QLabel *>("sourceAddress"));
    QCOMPARE(wa->findChild<QLabel *>("sourceAddress")->text(), QStringLiteral("接続元 192.0.2.7"));

    const QString b = m_h->addAsk("");
    QTRY_COMPARE(m_windows->count(), 2);
    AskWindow *wb = m_windows->window(b);
    QVERIFY(wb);
    QCOMPARE(wb->findChild<QLabel *>("requestText")->text(),
             QStringLiteral("名乗りのない相手 がこの端末を操作しようとしています。"));
    // No address, no address line.
    QVERIFY(!wb->findChild<QLabel *>("sourceAddress"));
    for (auto *l : wb->findChildren<QLabel *>())
        QVERIFY(!l->text().startsWith(QStringLiteral("接続元")));
    // Both centred, the second moved up by one step (heights differ: no address line).
    const int centreA = wa->pos().y() + wa->height() / 2, centreB = wb->pos().y() + wb->height() / 2;
    QVERIFY2(qAbs(centreB - (centreA - AskWindows::stackStep)) <= 1, qPrintable(QString::number(centreB - centreA)));
    QCOMPARE(wb->pos().x(), wa->pos().x());
    QCOMPARE(answers().size(), m_answersBefore);
}

void TestAskWindows::withdrawnRequestClosesWithoutAnswer() {
    const QString a = m_h->addAsk("Bob");
    QTRY_VERIFY(m_windows->window(a));
    QPointer<AskWindow> w = m_windows->window(a);
    QVERIFY(m_h->removeAsk(a));
    QTRY_VERIFY(!w || !w->isVisible());
    QCOMPARE(m_windows->count(), 0);
    QTest::qWait(200);
    QCOMPARE(answers().size(), m_answersBefore);
}

// One status change that withdraws A and brings C: C is placed while A and B are
// still open (third slot), then A closes without an answer.
void TestAskWindows::replacedRequestOpensBeforeTheOldCloses() {
    const QString a = m_h->addAsk("A");
    const QString b = m_h->addAsk("B");
    QTRY_COMPARE(m_windows->count(), 2);
    AskWindow *wa = m_windows->window(a);
    const int centreA = wa->pos().y() + wa->height() / 2;
    QVERIFY(m_h->hook("ask", {{"sid", "replacement"}, {"name", "C"}, {"withdraw", a}}));
    QTRY_VERIFY(m_windows->window("replacement"));
    QTRY_COMPARE(m_windows->count(), 2);
    QVERIFY(!m_windows->window(a));
    QVERIFY(m_windows->window(b));
    AskWindow *wc = m_windows->window("replacement");
    const int centreC = wc->pos().y() + wc->height() / 2;
    QVERIFY2(qAbs(centreC - (centreA - 2 * AskWindows::stackStep)) <= 1,
             qPrintable(QString::number(centreC - centreA)));
    QTest::qWait(200);
    QCOMPARE(answers().size(), m_answersBefore);
}

void TestAskWindows::closingRefusesExactlyOnce() {
    const QString a = m_h->addAsk("Carol");
    QTRY_VERIFY(m_windows->window(a));
    m_windows->window(a)->close();
    QCOMPARE(m_windows->count(), 0);
    QTRY_COMPARE(answers().size(), m_answersBefore + 1);
    QCOMPARE(answers().last(), (QJsonObject{{"sid", a}, {"ok", false}}));
    // The agent drops the request; nothing more is sent and no window returns.
    QTRY_VERIFY(m_h->agent()->status()->asks.isEmpty());
    QTest::qWait(200);
    QCOMPARE(answers().size(), m_answersBefore + 1);
    QCOMPARE(m_windows->count(), 0);
}

void TestAskWindows::returnAllowsAndButtonsAnswerOnce() {
    const QString a = m_h->addAsk("Dan");
    QTRY_VERIFY(m_windows->window(a));
    QTest::keyClick(m_windows->window(a), Qt::Key_Return);
    QCOMPARE(m_windows->count(), 0);
    QTRY_COMPARE(answers().size(), m_answersBefore + 1);
    QCOMPARE(answers().last(), (QJsonObject{{"sid", a}, {"ok", true}}));

    const QString b = m_h->addAsk("Eve");
    QTRY_VERIFY(m_windows->window(b));
    m_windows->window(b)->refuseButton()->click();
    QTRY_COMPARE(answers().size(), m_answersBefore + 2);
    QCOMPARE(answers().last(), (QJsonObject{{"sid", b}, {"ok", false}}));
    QTest::qWait(200);
    // The button closed the window quietly: no second refusal.
    QCOMPARE(answers().size(), m_answersBefore + 2);
}

void TestAskWindows::closeAllAnswersNothing() {
    m_h->addAsk("F");
    m_h->addAsk("G");
    QTRY_COMPARE(m_windows->count(), 2);
    m_windows->closeAll();
    QCOMPARE(m_windows->count(), 0);
    QTest::qWait(200);
    QCOMPARE(answers().size(), m_answersBefore);
}

void TestAskWindows::floodOpensABoundedNumber() {
    for (int i = 0; i < 30; ++i)
        m_h->addAsk(QStringLiteral("flood %1").arg(i));
    QTRY_COMPARE(m_windows->count(), AskWindows::maxOpen);
    QCOMPARE(QApplication::topLevelWidgets().size() >= AskWindows::maxOpen, true);
    // Answering one lets the next waiting request in.
    const QString first = m_windows->openSids().first();
    m_windows->window(first)->allowButton()->click();
    QTRY_VERIFY(!m_windows->openSids().contains(first));
    QTRY_COMPARE(m_windows->count(), AskWindows::maxOpen);
    QCOMPARE(answers().size(), m_answersBefore + 1);
}

// The agent refuses an unanswered request after 60 s: the window counts down to it, and
// says nothing when the agent does not tell.
void TestAskWindows::countdownToTheAutomaticRefusal() {
    QCOMPARE(AskWindow::countdownText(0, 1000), QString());
    QCOMPARE(AskWindow::countdownText(1060, 1000), QString("あと 60 秒で断ります(答えないとき)"));
    QCOMPARE(AskWindow::countdownText(990, 1000), QString("あと 0 秒で断ります(答えないとき)"));
    // The agent's record carries it (optional: an older agent leaves it out).
    const auto ask =
        ControlAsk::fromJson(QJsonObject{{"sid", "s1"}, {"name", "A"}, {"ip", ""}, {"at", 5}, {"expires", 70}});
    QVERIFY(ask);
    QCOMPARE(ask->expires, 70);
    QCOMPARE(ControlAsk::fromJson(QJsonObject{{"sid", "s1"}, {"name", "A"}, {"ip", ""}, {"at", 5}})->expires, 0);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    AskWindow window(ControlAsk{"s2", "B", "", now, "", "", now + 60});
    window.show();
    auto *countdown = window.findChild<QLabel *>("askCountdown");
    QVERIFY(countdown->isVisibleTo(&window));
    const QString first = countdown->text();
    QVERIFY2(first == "あと 60 秒で断ります(答えないとき)" || first == "あと 59 秒で断ります(答えないとき)",
             qPrintable(first));
    QTRY_VERIFY_WITH_TIMEOUT(countdown->text() != first, 2500);
    AskWindow silent(ControlAsk{"s3", "C", "", now, "", "", 0});
    QVERIFY(!silent.findChild<QLabel *>("askCountdown")->isVisibleTo(&silent));
}

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestAskWindows t(&env);
    return QTest::qExec(&t, argc, argv);
}

#include "tst_askwindows.moc"
