#include "SettingsPanelView.h"

#include <QLabel>
#include <QVBoxLayout>

SettingsPanelView::SettingsPanelView(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("SettingsPanelView"), this));
    layout->addStretch();
}
