#include "sharing/AskWindow.h"

#include "style/Theme.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// Names are the requester's own words: keep a hostile one from growing the window.
QString bounded(const QString &s, int max = 200) {
    return s.size() > max ? s.left(max) + QStringLiteral("…") : s;
}
} // namespace

QString AskWindow::requestText(const QString &name) {
    return (name.isEmpty() ? QStringLiteral("名乗りのない相手") : name) +
           QStringLiteral(" がこの端末を操作しようとしています。");
}

AskWindow::AskWindow(const ControlAsk &ask, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_ask(ask) {
    setWindowTitle(QStringLiteral("Velmo Remote — 接続の求め"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setObjectName(QStringLiteral("askWindow"));

    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(18, 18, 18, 18);
    v->setSpacing(10);

    auto *title = new QLabel(QStringLiteral("接続を許可しますか"), this);
    title->setFont(Theme::title3());
    v->addWidget(title);

    auto *who = new QLabel(requestText(bounded(ask.name)), this);
    who->setObjectName(QStringLiteral("requestText"));
    who->setTextFormat(Qt::PlainText);
    who->setWordWrap(true);
    who->setFont(Theme::body());
    v->addWidget(who);

    if (!ask.ip.isEmpty()) {
        auto *ip = new QLabel(QStringLiteral("接続元 ") + bounded(ask.ip, 100), this);
        ip->setObjectName(QStringLiteral("sourceAddress"));
        ip->setTextFormat(Qt::PlainText);
        ip->setFont(Theme::caption());
        ip->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
        v->addWidget(ip);
    }

    auto *warn = new QLabel(
        QStringLiteral("心当たりがなければ断ってください。許可すると画面が相手に見え、操作もできるようになります。"),
        this);
    warn->setWordWrap(true);
    warn->setFont(Theme::caption());
    v->addWidget(warn);

    // The agent refuses an unanswered request after a while (60 s): the window counts down.
    m_countdown = new QLabel(this);
    m_countdown->setObjectName(QStringLiteral("askCountdown"));
    m_countdown->setFont(Theme::caption());
    m_countdown->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::orange())));
    v->addWidget(m_countdown);
    m_tick = new QTimer(this);
    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &AskWindow::tick);
    tick();
    if (m_ask.expires > 0)
        m_tick->start();

    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 4, 0, 0);
    row->addStretch(1);
    m_refuse = new QPushButton(QStringLiteral("断る"), this);
    m_refuse->setObjectName(QStringLiteral("refuse"));
    m_refuse->setAutoDefault(false);
    m_allow = new QPushButton(QStringLiteral("許可する"), this);
    m_allow->setObjectName(QStringLiteral("allow"));
    m_allow->setDefault(true);
    m_allow->setAutoDefault(true);
    row->addWidget(m_refuse);
    row->addWidget(m_allow);
    v->addLayout(row);

    connect(m_refuse, &QPushButton::clicked, this, [this] { Q_EMIT answeredByUser(m_ask.sid, false); });
    connect(m_allow, &QPushButton::clicked, this, [this] { Q_EMIT answeredByUser(m_ask.sid, true); });

    setFixedWidth(contentWidth);
    adjustSize();
    m_allow->setFocus();
}

QString AskWindow::countdownText(qint64 expires, qint64 now) {
    if (expires <= 0)
        return QString();
    const qint64 left = std::clamp<qint64>(expires - now, 0, 24 * 3600);
    return QStringLiteral("あと %1 秒で断ります(答えないとき)").arg(left);
}

void AskWindow::tick() {
    const QString text = countdownText(m_ask.expires, QDateTime::currentSecsSinceEpoch());
    m_countdown->setText(text);
    m_countdown->setVisible(!text.isEmpty());
}

void AskWindow::keyPressEvent(QKeyEvent *event) {
    // Return allows wherever the focus is.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        m_allow->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void AskWindow::closeEvent(QCloseEvent *event) {
    Q_EMIT closing(this);
    QWidget::closeEvent(event);
}
