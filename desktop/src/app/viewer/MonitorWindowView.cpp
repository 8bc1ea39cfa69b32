#include "viewer/MonitorWindowView.h"

#include "session/MonitorView.h"
#include "session/RemoteSession.h"
#include "style/Theme.h"
#include "viewer/RemoteScreenView.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

MonitorWindowView::MonitorWindowView(RemoteSession *session, MonitorView *view, const QString &title, QWidget *parent)
    : QWidget(parent, Qt::Window), m_session(session), m_view(view) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(title);
    resize(800, 500);
    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    auto *header = new QWidget(this);
    auto *h = new QHBoxLayout(header);
    h->setContentsMargins(10, 4, 10, 4);
    m_status = new QLabel(header);
    m_status->setObjectName("windowStatus");
    h->addWidget(m_status, 1);
    h->addWidget(new QLabel(QStringLiteral("倍率"), header));
    m_scale = new QComboBox(header);
    m_scale->setObjectName("windowScale");
    for (double s : MonitorView::scales)
        m_scale->addItem(QStringLiteral("%1%").arg(int(std::lround(s * 100))), s);
    h->addWidget(m_scale);
    v->addWidget(header);

    m_screen = new RemoteScreenView(this);
    m_screen->setObjectName("screen");
    QPalette black = m_screen->palette();
    black.setColor(QPalette::Window, Theme::screenBackground());
    m_screen->setPalette(black);
    v->addWidget(m_screen, 1);

    if (m_view) {
        for (int i = 0; i < m_scale->count(); ++i)
            if (std::abs(m_scale->itemData(i).toDouble() - m_view->scale()) < 1e-6)
                m_scale->setCurrentIndex(i);
        m_screen->setMonitorView(m_view);
        connect(m_view, &MonitorView::endedChanged, this, &MonitorWindowView::refresh);
        connect(m_view, &MonitorView::frameSizeChanged, this, &MonitorWindowView::refresh);
    }
    connect(m_scale, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_view)
            m_view->setScale(m_scale->itemData(index).toDouble());
    });
    refresh();
}

MonitorWindowView::~MonitorWindowView() {
    release();
}

void MonitorWindowView::closeEvent(QCloseEvent *event) {
    release();
    QWidget::closeEvent(event);
}

void MonitorWindowView::release() {
    if (m_screen)
        m_screen->setMonitorView(nullptr);
    if (m_session && m_view)
        m_session->closeMonitorView(m_view);
    m_view = nullptr;
}

void MonitorWindowView::refresh() {
    if (!m_view) {
        m_status->clear();
        return;
    }
    if (m_view->ended()) {
        m_status->setText(m_view->endText());
        m_scale->setEnabled(false);
        return;
    }
    const QSizeF size = m_view->frameSize();
    m_status->setText(size.isEmpty() ? QStringLiteral("接続中…")
                                     : QStringLiteral("%1×%2").arg(qint64(size.width())).arg(qint64(size.height())));
}
