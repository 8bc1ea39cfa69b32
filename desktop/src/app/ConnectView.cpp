#include "ConnectView.h"

#include <QLabel>
#include <QVBoxLayout>

ConnectView::ConnectView(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("ConnectView"), this));
    layout->addStretch();
}
