#include "viewer/SessionWindowView.h"

#include "config/AppConfig.h"
#include "session/SessionStore.h"
#include "style/SymbolIcons.h"
#include "viewer/SessionView.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

SessionWindowView::SessionWindowView(const QString &sid, SessionStore *store, AppConfig *config, QWidget *parent)
    : QWidget(parent), m_sid(sid), m_store(store) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    RemoteSession *session = store && !sid.isEmpty() ? store->session(sid) : nullptr;
    if (session) {
        m_view = new SessionView(session, config, store, this);
        layout->addWidget(m_view);
        setWindowTitle(SessionView::windowTitle(session->name(), session->targetId()));
        connect(m_view, &SessionView::dismissRequested, this, &QWidget::close);
        return;
    }
    setWindowTitle(QStringLiteral("velmo-remote"));
    layout->addStretch();
    auto *symbol = new QLabel(this);
    symbol->setPixmap(SymbolIcons::disconnected(palette().color(QPalette::PlaceholderText)).pixmap(48, 48));
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    auto *text = new QLabel(QStringLiteral("セッションが見つかりません"), this);
    text->setObjectName("notFound");
    layout->addWidget(text, 0, Qt::AlignHCenter);
    layout->addStretch();
}

SessionWindowView::~SessionWindowView() {
    closeSession();
}

SessionView *SessionWindowView::sessionView() const {
    return m_view.data();
}

void SessionWindowView::closeSession() {
    // Whatever ended the window, its session ends with it (a no-op for an unknown id).
    if (m_store)
        m_store->close(m_sid);
}

void SessionWindowView::closeEvent(QCloseEvent *event) {
    closeSession();
    QWidget::closeEvent(event);
}
