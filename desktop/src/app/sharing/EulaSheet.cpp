#include "sharing/EulaSheet.h"

#include "style/MarkdownView.h"
#include "style/Theme.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

QString EulaSheet::versionLine(const QString &version) {
    return QStringLiteral("版 ") + version + QStringLiteral("。この端末を Velmo Remote で共有するには同意が必要です。");
}

EulaSheet::EulaSheet(const ControlEula &eula, std::function<void()> onAccept, std::function<void()> onLater,
                     QWidget *parent)
    : QDialog(parent), m_eula(eula), m_onAccept(std::move(onAccept)), m_onLater(std::move(onLater)) {
    setObjectName(QStringLiteral("eulaSheet"));
    setWindowTitle(QStringLiteral("利用許諾への同意"));
    setWindowModality(Qt::WindowModal);
    resize(620, 520);

    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(20, 20, 20, 20);
    v->setSpacing(12);

    auto *title = new QLabel(QStringLiteral("利用許諾への同意"), this);
    title->setFont(Theme::title3());
    v->addWidget(title);

    auto *line = new QLabel(versionLine(eula.version.left(200)), this);
    line->setObjectName(QStringLiteral("versionLine"));
    line->setTextFormat(Qt::PlainText);
    line->setWordWrap(true);
    line->setFont(Theme::callout());
    line->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    v->addWidget(line);
    m_versionLabel = line;

    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("eulaScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const QColor sep = palette().color(QPalette::Mid);
    scroll->setStyleSheet(QStringLiteral("QScrollArea#eulaScroll { background: %1; border: 1px solid %2;"
                                         " border-radius: 8px; }")
                              .arg(palette().color(QPalette::Base).name(), sep.name()));
    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("eulaContent"));
    content->setStyleSheet(
        QStringLiteral("QWidget#eulaContent { background: %1; }").arg(palette().color(QPalette::Base).name()));
    auto *cv = new QVBoxLayout(content);
    cv->setContentsMargins(10, 10, 10, 10);
    m_markdown = new MarkdownView(content);
    m_markdown->setText(eula.body);
    cv->addWidget(m_markdown);
    scroll->setWidget(content);
    v->addWidget(scroll, 1);

    auto *row = new QHBoxLayout;
    row->addStretch(1);
    m_later = new QPushButton(QStringLiteral("後で"), this);
    m_later->setAutoDefault(false);
    m_accept = new QPushButton(QStringLiteral("同意する"), this);
    m_accept->setDefault(true);
    row->addWidget(m_later);
    row->addWidget(m_accept);
    v->addLayout(row);

    // Escape rejects a dialog by itself: that is "later".
    connect(m_later, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_accept, &QPushButton::clicked, this, &QDialog::accept);
    connect(this, &QDialog::accepted, this, [this] {
        if (m_onAccept)
            m_onAccept();
    });
    connect(this, &QDialog::rejected, this, [this] {
        if (m_onLater)
            m_onLater();
    });
    m_accept->setFocus();
}

void EulaSheet::setEula(const ControlEula &eula) {
    m_eula = eula;
    m_versionLabel->setText(versionLine(eula.version.left(200)));
    m_markdown->setText(eula.body);
}
