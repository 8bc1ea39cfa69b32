#include "sharing/ApprovalBox.h"

#include "agent/AgentController.h"
#include "style/Theme.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QLabel *caption(const QString &text, QWidget *parent) {
    auto *l = new QLabel(text, parent);
    l->setFont(Theme::caption());
    l->setWordWrap(true);
    return l;
}
} // namespace

ApprovalBox::ApprovalBox(AgentController *agent, QWidget *parent)
    : QGroupBox(QStringLiteral("接続の承認"), parent), m_agent(agent) {
    setObjectName(QStringLiteral("approvalBox"));
    auto *v = new QVBoxLayout(this);
    m_modeRow = new QWidget(this);
    auto *row = new QHBoxLayout(m_modeRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    m_modes = new QButtonGroup(this);
    m_modes->setExclusive(true);
    const QList<QPair<QString, QString>> modes{{QStringLiteral("パスコードだけで入れる"), QStringLiteral("passcode")},
                                               {QStringLiteral("この端末で許可してから"), QStringLiteral("ask")}};
    for (const auto &[text, mode] : modes) {
        auto *b = new QPushButton(text, m_modeRow);
        b->setObjectName(QStringLiteral("approval_") + mode);
        b->setCheckable(true);
        b->setProperty("mode", mode);
        row->addWidget(b);
        m_modes->addButton(b);
    }
    row->addStretch(1);
    v->addWidget(m_modeRow);
    v->addWidget(
        caption(QStringLiteral("「この端末で許可してから」にすると、正しいパスコードの相手も、ここで「許可する」を"
                               "押すまで入れません。60 秒答えなければ断ります。"),
                this));
    m_audioError = caption(QString(), this);
    m_audioError->setObjectName(QStringLiteral("audioError"));
    v->addWidget(m_audioError);
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("displayNotice"));
    m_notice->setWordWrap(true);
    m_notice->setStyleSheet(QStringLiteral("color: %1; font-weight: 600;").arg(Theme::css(Theme::red())));
    v->addWidget(m_notice);

    connect(m_modes, &QButtonGroup::buttonClicked, this, [this](QAbstractButton *b) {
        if (m_agent)
            m_agent->command(QStringLiteral("approval"), {{"mode", b->property("mode").toString()}});
    });
    if (m_agent)
        connect(m_agent, &AgentController::statusChanged, this, &ApprovalBox::refresh);
    refresh();
}

QString ApprovalBox::displayNotice(const QString &displayServer, const QString &backend) {
    const bool wayland = displayServer == QLatin1String("wayland") || displayServer == QLatin1String("xwayland");
    // A Wayland back end shares the whole desktop: nothing to say.
    if (!wayland || backend == QLatin1String("wlroots") || backend == QLatin1String("mutter") ||
        backend == QLatin1String("portal"))
        return {};
    return QStringLiteral("この端末は Wayland のセッションで動いていますが、このデスクトップの画面を取り込む手段が"
                          "見つからないため、画面を共有できません(対応しているのは GNOME、KDE Plasma "
                          "などのデスクトップポータルと、sway などの wlroots 系です)。X11 "
                          "のセッション(ログイン画面で「Xorg」)でも共有できます。");
}

void ApprovalBox::refresh() {
    const std::optional<ControlStatus> st = m_agent ? m_agent->status() : std::nullopt;
    const QString mode = st ? st->approval : QStringLiteral("passcode");
    for (QAbstractButton *b : m_modes->buttons())
        b->setChecked(b->property("mode").toString() == mode);
    m_modeRow->setEnabled(st.has_value());
    const QString notice = displayNotice(st ? st->displayServer : QString(), st ? st->backend : QString());
    m_notice->setText(notice);
    m_notice->setVisible(!notice.isEmpty());
    const QString audio = st && !st->audioError.isEmpty() ? QStringLiteral("音声: ") + st->audioError : QString();
    m_audioError->setText(audio);
    m_audioError->setVisible(!audio.isEmpty());
}
