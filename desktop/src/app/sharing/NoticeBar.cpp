#include "sharing/NoticeBar.h"

#include "agent/AgentController.h"
#include "sharing/HostWindowSystem.h"
#include "style/Theme.h"
#include "util/WindowPlacement.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

namespace {

// The bar itself: white semibold text on a rounded red plate.
class BarView : public QWidget {
public:
    BarView()
        // Unmanaged (override-redirect on X11): a window manager's frame around the
        // bar would take the clicks that the bar itself lets through, and an
        // unmanaged window is on every desktop and in no taskbar by nature.
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput |
                               Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
        setObjectName(QStringLiteral("noticeBar"));
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_DeleteOnClose, false);
        setFixedSize(NoticeBar::barWidth, NoticeBar::barHeight);
        // No window manager keeps an unmanaged window above the others: raise it
        // again now and then, so that a window raised later does not cover it.
        m_raise.setInterval(1000);
        QObject::connect(&m_raise, &QTimer::timeout, this, [this] { HostWindowSystem::bringToFront(this); });
    }

    void setText(const QString &text) {
        // Only what can fit is laid out; a flood of names costs nothing more.
        m_text = text.left(400);
        setToolTip(QString());
        update();
    }
    QString text() const { return m_text; }

protected:
    void showEvent(QShowEvent *) override { m_raise.start(); }
    void hideEvent(QHideEvent *) override { m_raise.stop(); }
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 6, 6);
        p.fillPath(path, Theme::noticePlate());
        const QFont font = Theme::sized(13, QFont::DemiBold);
        p.setFont(font);
        p.setPen(Theme::onFill());
        const QRect inner = rect().adjusted(8, 0, -8, 0);
        const QString shown = QFontMetrics(font).elidedText(m_text, Qt::ElideRight, inner.width());
        p.drawText(inner, Qt::AlignCenter, shown);
    }

private:
    QString m_text;
    QTimer m_raise;
};

} // namespace

NoticeBar::NoticeBar(QObject *parent) : QObject(parent) {}

NoticeBar::~NoticeBar() {
    QObject::disconnect(m_subscription);
    delete m_window.data();
}

QString NoticeBar::barText(const std::optional<ControlStatus> &status) {
    if (!status || !status->noticeBar)
        return {};
    QStringList names;
    for (const ControlSession &s : status->sessions) {
        if (!s.authed)
            continue;
        const QString name = s.name.isEmpty() ? QStringLiteral("名称未設定") : s.name;
        // A viewer that records what it sees says so where the host user always looks.
        names.append(s.recording ? name + QStringLiteral("(録画中)") : name);
    }
    if (names.isEmpty())
        return {};
    return QStringLiteral("遠隔操作中: ") + names.join(QStringLiteral(", "));
}

void NoticeBar::start(AgentController *agent) {
    if (m_running || !agent)
        return;
    m_running = true;
    m_agent = agent;
    m_subscription = connect(agent, &AgentController::statusChanged, this, &NoticeBar::onStatus);
    onStatus();
}

void NoticeBar::stop() {
    QObject::disconnect(m_subscription);
    m_running = false;
    m_lastText.reset();
    apply(QString());
}

void NoticeBar::onStatus() {
    const QString text = barText(m_agent ? m_agent->status() : std::nullopt);
    if (m_lastText && *m_lastText == text)
        return;
    m_lastText = text;
    apply(text);
}

void NoticeBar::apply(const QString &text) {
    m_text = text;
    if (text.isEmpty()) {
        if (m_window) {
            m_window->hide();
            m_window->deleteLater();
            m_window = nullptr;
        }
        return;
    }
    auto *bar = static_cast<BarView *>(m_window.data());
    const bool fresh = !bar;
    if (fresh) {
        bar = new BarView;
        m_window = bar;
    }
    bar->setText(text);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        bar->setGeometry(
            WindowPlacement::noticeBar(screen->geometry(), screen->availableGeometry(), QSize(barWidth, barHeight)));
    if (fresh || !bar->isVisible()) {
        bar->show();
    }
    HostWindowSystem::bringToFront(bar);
}
