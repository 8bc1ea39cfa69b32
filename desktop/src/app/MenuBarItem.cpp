#include "MenuBarItem.h"

#include <QIcon>
#include <QMenu>

MenuBarItem::MenuBarItem(QObject *parent) : QObject(parent), m_menu(std::make_unique<QMenu>()) {
    m_tray.setIcon(QIcon(QStringLiteral(":/velmo/velmo-remote.svg")));
    m_tray.setToolTip(QStringLiteral("Velmo Remote"));
    m_menu->addAction(QStringLiteral("Velmo Remote を開く"), this, &MenuBarItem::openMainWindowRequested);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("終了"), this, &MenuBarItem::quitRequested);
    m_tray.setContextMenu(m_menu.get());
}

MenuBarItem::~MenuBarItem() = default;

void MenuBarItem::show() { m_tray.show(); }
