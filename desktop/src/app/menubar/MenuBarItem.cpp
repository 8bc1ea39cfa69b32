#include "menubar/MenuBarItem.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "menubar/MenuBarContentView.h"
#include "menubar/MenuBarLabel.h"
#include "menubar/MenuBarSupport.h"

#include <QMenu>

MenuBarItem::MenuBarItem(AgentController *agent, AppConfig *config, QObject *parent)
    : QObject(parent), m_menu(std::make_unique<QMenu>()) {
    m_label = std::make_unique<MenuBarLabel>(agent, &m_tray);
    m_content = std::make_unique<MenuBarContentView>(agent, config, m_menu.get(), MenuBarSupport::loginItemEnabled());
    connect(m_content.get(), &MenuBarContentView::openWindowRequested, this, &MenuBarItem::openMainWindowRequested);
    connect(m_content.get(), &MenuBarContentView::accessoryPolicyRequested, this,
            &MenuBarItem::accessoryPolicyRequested);
    connect(m_content.get(), &MenuBarContentView::quitRequested, this, &MenuBarItem::quitRequested);
    m_tray.setContextMenu(m_menu.get());
    // A plain click on the icon opens the same menu where the panel does not do it itself.
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu->isVisible())
            m_menu->popup(QCursor::pos());
    });
}

MenuBarItem::~MenuBarItem() {
    m_content.reset();
    m_label.reset();
}

void MenuBarItem::show() {
    m_tray.show();
}
