#include "SessionWindowView.h"

#include "SessionStore.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

SessionWindowView::SessionWindowView(const QString &sid, QWidget *parent) : QWidget(parent), m_sid(sid) {
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(sid, this));
}

void SessionWindowView::closeEvent(QCloseEvent *event) {
    // The session ends whenever its window goes away.
    SessionStore::shared()->close(m_sid);
    QWidget::closeEvent(event);
}
