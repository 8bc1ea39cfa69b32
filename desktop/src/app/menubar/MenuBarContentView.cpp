#include "menubar/MenuBarContentView.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "menubar/MenuBarLabel.h"
#include "menubar/MenuBarSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>

namespace {
QString bounded(const QString &s, int max = 80) {
    return s.size() > max ? s.left(max) + QStringLiteral("…") : s;
}

QAction *findIn(const QMenu *menu, const QString &name) {
    for (QAction *a : menu->actions()) {
        if (a->objectName() == name)
            return a;
        if (a->menu())
            if (QAction *found = findIn(a->menu(), name))
                return found;
    }
    return nullptr;
}
} // namespace

MenuBarContentView::MenuBarContentView(AgentController *agent, AppConfig *config, QMenu *menu, bool loginItemOn,
                                       QObject *parent)
    : QObject(parent), m_agent(agent), m_config(config), m_menu(menu), m_loginItemOn(loginItemOn) {
    if (agent) {
        connect(agent, &AgentController::statusChanged, this, &MenuBarContentView::changed);
        connect(agent, &AgentController::runningChanged, this, &MenuBarContentView::changed);
        connect(agent, &AgentController::agentEndedChanged, this, &MenuBarContentView::changed);
    }
    if (config)
        connect(config, &AppConfig::menuBarOnlyChanged, this, &MenuBarContentView::changed);
    if (menu)
        connect(menu, &QMenu::aboutToShow, this, [this] {
            if (m_dirty)
                rebuild();
        });
    rebuild();
}

QString MenuBarContentView::headline(const std::optional<ControlStatus> &st, bool running, int live) {
    if (!st || !running)
        return QStringLiteral("Velmo Remote — エージェント未起動");
    const QString name = st->name.isEmpty() ? QStringLiteral("このコンピュータ") : st->name;
    if (live >= 1)
        return name + QStringLiteral(" — 遠隔操作中(") + QString::number(live) + QStringLiteral(" 人)");
    if (st->connected)
        return name + (st->sharing ? QStringLiteral(" — 待ち受け中") : QStringLiteral(" — 共有を停止中"));
    return name + QStringLiteral(" — サーバー未接続");
}

QString MenuBarContentView::menuTitle(const ControlSession &s) {
    return (s.name.isEmpty() ? QStringLiteral("名称未設定") : s.name) +
           (s.relay ? QStringLiteral("(リレー)") : QString());
}

QMenu *MenuBarContentView::menu() const {
    return m_menu;
}

QAction *MenuBarContentView::findAction(const QString &name) const {
    return m_menu ? findIn(m_menu, name) : nullptr;
}

void MenuBarContentView::changed() {
    // Deferred: a change may come from inside one of the menu's own actions,
    // which a rebuild would delete under it.
    if (m_dirty && m_pending)
        return;
    m_dirty = true;
    m_pending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_pending = false;
            // An open menu is left alone under the pointer; it is rebuilt when next opened.
            if (m_dirty && m_menu && !m_menu->isVisible())
                rebuild();
        },
        Qt::QueuedConnection);
}

void MenuBarContentView::copy(const QString &value) {
    QClipboard *cb = QGuiApplication::clipboard();
    cb->clear();
    cb->setText(value);
}

void MenuBarContentView::rebuild() {
    if (!m_menu)
        return;
    m_dirty = false;
    // Submenus are children of the menu: clear() leaves them, so delete them here.
    for (QMenu *sub : m_menu->findChildren<QMenu *>(Qt::FindDirectChildrenOnly))
        sub->deleteLater();
    m_menu->clear();

    const std::optional<ControlStatus> st = m_agent ? m_agent->status() : std::nullopt;
    const bool running = m_agent && m_agent->running();
    const int live = MenuBarLabel::live(st);

    const bool ended = !st && m_agent && m_agent->agentEnded();
    m_menu
        ->addAction(ended ? QStringLiteral("Velmo Remote — エージェントが停止しました")
                          : bounded(headline(st, running, live)))
        ->setEnabled(false);
    if (ended) {
        // Nothing restarts an ended agent by itself: the tray offers it where the user looks.
        m_menu
            ->addAction(QStringLiteral("エージェントを再起動"), this,
                        [this] {
                            if (m_agent)
                                m_agent->restartAgent();
                        })
            ->setObjectName(QStringLiteral("restartAgent"));
    }
    if (st) {
        const QString id = st->id;
        m_menu
            ->addAction(QStringLiteral("端末 ID: ") + bounded(MenuBarSupport::formatId(id), 40) +
                            QStringLiteral("  (コピー)"),
                        this, [this, id] { copy(id); })
            ->setObjectName(QStringLiteral("copyId"));
        if (!st->autoPasscode.isEmpty()) {
            const QString pass = st->autoPasscode;
            m_menu
                ->addAction(QStringLiteral("パスコード: ") + bounded(pass, 40) + QStringLiteral("  (コピー)"), this,
                            [this, pass] { copy(pass); })
                ->setObjectName(QStringLiteral("copyPasscode"));
        }
        m_menu->addSeparator();
        if (st->sessions.isEmpty()) {
            QAction *none = m_menu->addAction(QStringLiteral("接続はありません"));
            none->setObjectName(QStringLiteral("noSessions"));
            none->setEnabled(false);
        } else {
            int shown = 0;
            for (const ControlSession &s : st->sessions) {
                if (shown++ == maxSessions) {
                    m_menu->addAction(QStringLiteral("ほか %1 件").arg(st->sessions.size() - maxSessions))
                        ->setEnabled(false);
                    break;
                }
                QMenu *sub = m_menu->addMenu(bounded(menuTitle(s)));
                sub->menuAction()->setObjectName(QStringLiteral("session_") + s.sid);
                const QString detail = s.detail();
                if (!detail.isEmpty())
                    sub->addAction(bounded(detail, 120))->setEnabled(false);
                const QString sid = s.sid;
                sub->addAction(QStringLiteral("この接続を切る"), this,
                               [this, sid] {
                                   if (m_agent)
                                       m_agent->disconnectSession(sid);
                               })
                    ->setObjectName(QStringLiteral("disconnectSession"));
            }
        }
        m_menu->addSeparator();
        const bool sharing = st->sharing;
        m_menu
            ->addAction(sharing ? QStringLiteral("共有を停止する") : QStringLiteral("共有を再開する"), this,
                        [this, sharing] {
                            if (m_agent)
                                m_agent->setSharing(!sharing);
                        })
            ->setObjectName(QStringLiteral("sharingToggle"));
        m_menu
            ->addAction(QStringLiteral("パスコードを再発行"), this,
                        [this] {
                            if (m_agent)
                                m_agent->rotatePasscode();
                        })
            ->setObjectName(QStringLiteral("rotatePasscode"));
        m_menu->addSeparator();
    }
    m_menu->addAction(QStringLiteral("ウインドウを開く"), this, &MenuBarContentView::openWindowRequested)
        ->setObjectName(QStringLiteral("openWindow"));

    QAction *login = m_menu->addAction(QStringLiteral("ログイン時に起動"));
    login->setObjectName(QStringLiteral("loginItem"));
    login->setCheckable(true);
    login->setChecked(m_loginItemOn);
    connect(login, &QAction::toggled, this, [this](bool on) {
        m_loginItemOn = MenuBarSupport::setLoginItem(on);
        // The switch shows the real state, also after a refused change.
        changed();
    });

    QAction *dock = m_menu->addAction(QStringLiteral("タスクバーに出さない(トレイだけ)"));
    dock->setObjectName(QStringLiteral("menuBarOnly"));
    dock->setCheckable(true);
    dock->setChecked(m_config && m_config->menuBarOnly());
    connect(dock, &QAction::toggled, this, [this](bool on) {
        if (m_config)
            m_config->setMenuBarOnly(on);
        Q_EMIT accessoryPolicyRequested(on);
    });

    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Velmo Remote を終了"), this, &MenuBarContentView::quitRequested)
        ->setObjectName(QStringLiteral("quit"));
}
