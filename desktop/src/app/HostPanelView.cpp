#include "HostPanelView.h"

#include <QLabel>
#include <QVBoxLayout>

HostPanelView::HostPanelView(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("HostPanelView"), this));
    layout->addStretch();
}
