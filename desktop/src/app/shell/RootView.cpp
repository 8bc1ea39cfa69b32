#include "shell/RootView.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QListWidget>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyle>

const QList<RootView::Tab> &RootView::allTabs() {
    static const QList<Tab> tabs{Tab::host, Tab::connect, Tab::settings};
    return tabs;
}

QString RootView::rawValue(Tab tab) {
    switch (tab) {
    case Tab::host:
        return QStringLiteral("host");
    case Tab::connect:
        return QStringLiteral("connect");
    case Tab::settings:
        return QStringLiteral("settings");
    }
    return {};
}

std::optional<RootView::Tab> RootView::tabFromRaw(const QString &raw) {
    for (Tab t : allTabs())
        if (rawValue(t) == raw)
            return t;
    return std::nullopt;
}

QString RootView::label(Tab tab) {
    switch (tab) {
    case Tab::host:
        return QStringLiteral("この端末");
    case Tab::connect:
        return QStringLiteral("接続");
    case Tab::settings:
        return QStringLiteral("設定");
    }
    return {};
}

QString RootView::iconName(Tab tab) {
    // Freedesktop icon names standing in for the system symbols.
    switch (tab) {
    case Tab::host:
        return QStringLiteral("computer");
    case Tab::connect:
        return QStringLiteral("go-next");
    case Tab::settings:
        return QStringLiteral("preferences-system");
    }
    return {};
}

QIcon RootView::icon(Tab tab) const {
    // The desktop's icon theme first; the style's own pixmaps where no theme is installed.
    QStyle::StandardPixmap fallback = QStyle::SP_ComputerIcon;
    if (tab == Tab::connect)
        fallback = QStyle::SP_ArrowForward;
    else if (tab == Tab::settings)
        fallback = QStyle::SP_FileDialogDetailedView;
    return QIcon::fromTheme(iconName(tab), style()->standardIcon(fallback));
}

RootView::RootView(QWidget *hostPanel, QWidget *connectPanel, QWidget *settingsPanel, QWidget *parent)
    : QWidget(parent) {
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_sidebar = new QListWidget(this);
    m_sidebar->setObjectName("sidebar");
    m_sidebar->setMinimumWidth(150);
    m_sidebar->setMaximumWidth(220);
    m_sidebar->setFixedWidth(170);
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setIconSize(QSize(18, 18));
    for (Tab t : allTabs()) {
        auto *item = new QListWidgetItem(icon(t), label(t), m_sidebar);
        item->setData(Qt::UserRole, rawValue(t));
        item->setSizeHint(QSize(150, 32));
    }
    layout->addWidget(m_sidebar);

    m_detail = new QStackedWidget(this);
    m_detail->addWidget(hostPanel);
    m_detail->addWidget(connectPanel);
    m_detail->addWidget(settingsPanel);
    layout->addWidget(m_detail, 1);

    connect(m_sidebar, &QListWidget::currentRowChanged, this, [this](int row) {
        setTab(row >= 0 && row < allTabs().size() ? std::optional<Tab>(allTabs().at(row)) : std::nullopt);
    });
    setTab(Tab::host);
}

void RootView::setTab(std::optional<Tab> tab) {
    m_tab = tab;
    const int row = tab ? int(allTabs().indexOf(*tab)) : -1;
    if (m_sidebar->currentRow() != row)
        m_sidebar->setCurrentRow(row);
    // No selection shows the host panel.
    m_detail->setCurrentIndex(row < 0 ? 0 : row);
}

QWidget *RootView::currentDetail() const {
    return m_detail->currentWidget();
}

void RootView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        // A main window opened again is a new one: it starts on the host tab.
        setTab(Tab::host);
        Q_EMIT shown();
    }
}
