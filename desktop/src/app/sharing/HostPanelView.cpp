#include "sharing/HostPanelView.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "config/Quality.h"
#include "rendezvous/LocalServer.h"
#include "rendezvous/ServerTrust.h"
#include "sharing/ApprovalBox.h"
#include "sharing/EulaSheet.h"
#include "sharing/HostPanelText.h"
#include "sharing/PanelWidgets.h"
#include "sharing/StatusDot.h"
#include "style/Theme.h"
#include "util/MarkdownParser.h"
#include "util/StringUtils.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

using namespace PanelWidgets;

// ---- construction

HostPanelView::HostPanelView(AgentController *agent, AppConfig *config, LocalServer *localServer, ServerTrust *trust,
                             QWidget *parent)
    : QWidget(parent), m_agent(agent), m_config(config), m_localServer(localServer), m_trust(trust) {
    setObjectName(QStringLiteral("hostPanel"));
    build();
    if (agent) {
        connect(agent, &AgentController::statusChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::runningChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::messageChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::lastErrorChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::residentInstalledChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::attachedToResidentChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::agentEndedChanged, this, &HostPanelView::refresh);
        connect(agent, &AgentController::logLinesChanged, this, &HostPanelView::refreshLog);
    }
    if (config)
        connect(config, &AppConfig::serverChanged, this, &HostPanelView::refresh);
    if (localServer)
        connect(localServer, &LocalServer::originChanged, this, &HostPanelView::refresh);
    if (trust)
        connect(trust, &ServerTrust::failureChanged, this, &HostPanelView::refresh);
    m_elapsedTimer.setInterval(1000);
    connect(&m_elapsedTimer, &QTimer::timeout, this, &HostPanelView::refreshElapsed);
    resetViewState();
    refresh();
    refreshLog();
}

HostPanelView::~HostPanelView() {
    if (m_eula)
        delete m_eula.data();
}

void HostPanelView::build() {
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto *content = new QWidget;
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(20, 16, 20, 20);
    column->setSpacing(14);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    column->addWidget(buildHeader());
    column->addWidget(m_askingBox = buildAsking());
    column->addWidget(m_permBox = buildPermission());
    column->addWidget(buildResident());
    column->addWidget(buildDeviceId());
    column->addWidget(buildPasscode());
    column->addWidget(new ApprovalBox(m_agent, this));
    column->addWidget(buildDevice());
    column->addWidget(buildSessions());
    column->addWidget(buildControllers());
    column->addWidget(buildLog());
    column->addStretch(1);
    scroll->setWidget(content);
}

QWidget *HostPanelView::buildHeader() {
    auto *w = new QWidget(this);
    auto *v = new QVBoxLayout(w);
    v->setContentsMargins(0, 0, 0, 0);
    auto *row = new QHBoxLayout;
    auto *dot = new StatusDot(w);
    m_dot = dot;
    row->addWidget(dot);
    m_title = label(QString(), w, Theme::sized(12, QFont::DemiBold));
    m_title->setObjectName(QStringLiteral("headerTitle"));
    row->addWidget(m_title, 1);
    m_sharing = new QCheckBox(QStringLiteral("共有を許可"), w);
    m_sharing->setObjectName(QStringLiteral("sharingSwitch"));
    m_noticeBar = new QCheckBox(QStringLiteral("操作中の帯を出す"), w);
    m_noticeBar->setObjectName(QStringLiteral("noticeBarSwitch"));
    m_noticeBar->setToolTip(QStringLiteral("画面上端の赤い帯。消してもプロフィール窓は出ます。"));
    row->addWidget(m_sharing);
    row->addWidget(m_noticeBar);
    v->addLayout(row);
    m_error = caption(QString(), w);
    m_error->setObjectName(QStringLiteral("lastError"));
    setColour(m_error, Theme::orange());
    v->addWidget(m_error);
    v->addWidget(buildAgentEnded(w));
    connect(m_sharing, &QCheckBox::clicked, this, [this](bool on) {
        if (m_agent)
            m_agent->setSharing(on);
    });
    connect(m_noticeBar, &QCheckBox::clicked, this, [this](bool on) {
        if (m_agent)
            m_agent->setNoticeBar(on);
    });
    return w;
}

// Shown while the agent is gone: nothing the panel showed before holds, and nothing
// brings the agent back by itself. The resident agent is the route that the service
// manager restarts, so it is offered beside the one-off restart.
QWidget *HostPanelView::buildAgentEnded(QWidget *parent) {
    auto *box = new QGroupBox(parent);
    box->setObjectName(QStringLiteral("agentEndedBox"));
    auto *h = new QHBoxLayout(box);
    h->addWidget(glyph(QStringLiteral("⚠"), Theme::red(), box), 0, Qt::AlignTop);
    auto *v = new QVBoxLayout;
    auto *title = label(QStringLiteral("エージェントが停止しました"), box, Theme::sized(12, QFont::DemiBold));
    title->setObjectName(QStringLiteral("agentEndedText"));
    v->addWidget(title);
    v->addWidget(
        caption(QStringLiteral("いまはこの端末に接続できません。ID とパスコードは再起動すると戻ります。"), box));
    auto *buttons = new QHBoxLayout;
    auto *restart = new QPushButton(QStringLiteral("再起動"), box);
    restart->setObjectName(QStringLiteral("restartAgent"));
    restart->setDefault(true);
    buttons->addWidget(restart);
    m_residentRoute = new QPushButton(QStringLiteral("常駐版にする(止まっても自動で起き直します)"), box);
    m_residentRoute->setObjectName(QStringLiteral("residentRoute"));
    buttons->addWidget(m_residentRoute);
    buttons->addStretch(1);
    v->addLayout(buttons);
    h->addLayout(v, 1);
    connect(restart, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->restartAgent();
    });
    connect(m_residentRoute, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->installResident(true);
    });
    m_agentEnded = box;
    return box;
}

// While the desktop's own dialog asks its user whether this computer's screen may be shared
// (the desktop portal), the person at it is told what to do there.
QGroupBox *HostPanelView::buildAsking() {
    auto *box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("askingBox"));
    auto *h = new QHBoxLayout(box);
    h->addWidget(glyph(QStringLiteral("⏳"), Theme::orange(), box), 0, Qt::AlignTop);
    auto *v = new QVBoxLayout;
    auto *title = label(QStringLiteral("画面の共有を許可するか、このコンピュータのデスクトップが確認しています"), box);
    title->setObjectName(QStringLiteral("askingText"));
    title->setWordWrap(true);
    v->addWidget(title);
    auto *note = caption(QStringLiteral("この画面に出ている確認の窓で、共有する画面を選んで「共有」を押してください。"
                                        "許可されるまで、つないだ相手には画面が映らず、操作も届きません。"),
                         box);
    note->setWordWrap(true);
    v->addWidget(note);
    h->addLayout(v, 1);
    box->setVisible(false);
    return box;
}

QGroupBox *HostPanelView::buildPermission() {
    auto *box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("permissionBox"));
    auto *h = new QHBoxLayout(box);
    h->addWidget(glyph(QStringLiteral("⚠"), Theme::red(), box), 0, Qt::AlignTop);
    auto *v = new QVBoxLayout;
    m_screenTexts = new QWidget(box);
    auto *sv = new QVBoxLayout(m_screenTexts);
    sv->setContentsMargins(0, 0, 0, 0);
    auto *screenTitle = label(QStringLiteral("画面収録が許可されていません"), m_screenTexts);
    screenTitle->setObjectName(QStringLiteral("screenPermissionText"));
    sv->addWidget(screenTitle);
    sv->addWidget(caption(QStringLiteral("このままつながれても、相手には壁紙しか映りません。"), m_screenTexts));
    v->addWidget(m_screenTexts);
    m_inputTexts = new QWidget(box);
    auto *iv = new QVBoxLayout(m_inputTexts);
    iv->setContentsMargins(0, 0, 0, 0);
    auto *inputTitle = label(QStringLiteral("遠隔操作(アクセシビリティ)が許可されていません"), m_inputTexts);
    inputTitle->setObjectName(QStringLiteral("inputPermissionText"));
    iv->addWidget(inputTitle);
    iv->addWidget(
        caption(QStringLiteral("画面は映りますが、相手が動かしてもこのコンピュータは反応しません。"), m_inputTexts));
    v->addWidget(m_inputTexts);
    v->addWidget(caption(QStringLiteral("デスクトップが出す画面共有・遠隔操作の確認で「Velmo "
                                        "Remote」を許可してください。許可したら下のボタンで反映されます。"),
                         box));
    auto *buttons = new QHBoxLayout;
    m_screenButton = new QPushButton(QStringLiteral("画面収録を許可"), box);
    m_screenButton->setObjectName(QStringLiteral("allowScreen"));
    m_screenButton->setDefault(true);
    m_inputButton = new QPushButton(QStringLiteral("操作を許可"), box);
    m_inputButton->setObjectName(QStringLiteral("allowInput"));
    m_inputButton->setDefault(true);
    auto *reload = new QPushButton(QStringLiteral("入れたので反映する"), box);
    reload->setObjectName(QStringLiteral("reloadPermission"));
    reload->setToolTip(QStringLiteral("デスクトップの確認で許可した後、エージェントを起こし直して反映します。"));
    buttons->addWidget(m_screenButton);
    buttons->addWidget(m_inputButton);
    buttons->addWidget(reload);
    buttons->addStretch(1);
    v->addLayout(buttons);
    h->addLayout(v, 1);
    connect(m_screenButton, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->requestScreenPermission();
    });
    connect(m_inputButton, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->requestInputPermission();
    });
    connect(reload, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->reloadAfterScreenPermission();
    });
    return box;
}

QGroupBox *HostPanelView::buildResident() {
    auto *box = new QGroupBox(this);
    auto *h = new QHBoxLayout(box);
    m_residentIcon = glyph(QString(), Theme::green(), box);
    h->addWidget(m_residentIcon, 0, Qt::AlignTop);
    auto *v = new QVBoxLayout;
    m_residentText = label(QString(), box);
    m_residentCaption = secondaryCaption(QString(), box);
    v->addWidget(m_residentText);
    v->addWidget(m_residentCaption);
    m_installResident = new QPushButton(QStringLiteral("常駐版を追加する"), box);
    m_installResident->setObjectName(QStringLiteral("installResident"));
    v->addWidget(m_installResident, 0, Qt::AlignLeft);
    h->addLayout(v, 1);
    connect(m_installResident, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->installResident(true);
    });
    return box;
}

QGroupBox *HostPanelView::buildDeviceId() {
    auto *box = new QGroupBox(this);
    auto *v = new QVBoxLayout(box);
    v->addWidget(secondaryCaption(QStringLiteral("この端末の ID"), box));
    auto *row = new QHBoxLayout;
    m_id = label(QString(), box, Theme::mono(40, QFont::DemiBold));
    m_id->setObjectName(QStringLiteral("deviceId"));
    m_id->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_id);
    m_copyId = new QPushButton(box);
    m_copyId->setObjectName(QStringLiteral("copyId"));
    row->addWidget(m_copyId, 0, Qt::AlignVCenter);
    row->addStretch(1);
    v->addLayout(row);
    m_idNote = caption(QString(), box);
    m_idNote->setObjectName(QStringLiteral("idNote"));
    m_idNote->setWordWrap(true);
    setColour(m_idNote, Theme::orange());
    v->addWidget(m_idNote);
    connect(m_copyId, &QPushButton::clicked, this,
            [this] { copyButtonPressed(m_agent && m_agent->status() ? m_agent->status()->id : QString()); });
    return box;
}

QGroupBox *HostPanelView::buildPasscode() {
    auto *box = new QGroupBox(QStringLiteral("パスコード"), this);
    auto *v = new QVBoxLayout(box);
    v->addWidget(secondaryCaption(QStringLiteral("自動パスコード(セッションごとに変わります)"), box));
    auto *row = new QHBoxLayout;
    m_autoPass = label(QString(), box, Theme::mono(26, QFont::Medium));
    m_autoPass->setObjectName(QStringLiteral("autoPasscode"));
    m_autoPass->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_autoPass);
    m_copyPass = new QPushButton(box);
    m_copyPass->setObjectName(QStringLiteral("copyPasscode"));
    m_rotate = new QPushButton(QStringLiteral("再発行"), box);
    m_rotate->setObjectName(QStringLiteral("rotatePasscode"));
    row->addWidget(m_copyPass);
    row->addWidget(m_rotate);
    row->addStretch(1);
    v->addLayout(row);

    auto *divider = new QFrame(box);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    v->addWidget(divider);

    auto *fixedRow = new QHBoxLayout;
    fixedRow->addWidget(secondaryCaption(QStringLiteral("固定パスコード"), box));
    m_fixedState = caption(QString(), box, false);
    m_fixedState->setObjectName(QStringLiteral("fixedState"));
    fixedRow->addWidget(m_fixedState);
    fixedRow->addStretch(1);
    v->addLayout(fixedRow);

    auto *edit = new QHBoxLayout;
    m_fixed = new QLineEdit(box);
    m_fixed->setObjectName(QStringLiteral("fixedInput"));
    m_fixed->setEchoMode(QLineEdit::Password);
    m_fixed->setPlaceholderText(QStringLiteral("6 文字以上"));
    m_fixed->setFixedWidth(220);
    m_setFixed = new QPushButton(box);
    m_setFixed->setObjectName(QStringLiteral("setFixed"));
    m_clearFixed = new QPushButton(QStringLiteral("解除"), box);
    m_clearFixed->setObjectName(QStringLiteral("clearFixed"));
    edit->addWidget(m_fixed);
    edit->addWidget(m_setFixed);
    edit->addWidget(m_clearFixed);
    edit->addStretch(1);
    v->addLayout(edit);

    auto *modeRow = new QHBoxLayout;
    modeRow->addWidget(label(QStringLiteral("受け付けるパスコード"), box, Theme::callout()));
    m_modeBox = new QWidget(box);
    m_modeBox->setFixedWidth(320);
    auto *seg = new QHBoxLayout(m_modeBox);
    seg->setContentsMargins(0, 0, 0, 0);
    seg->setSpacing(0);
    m_mode = new QButtonGroup(this);
    m_mode->setExclusive(true);
    const QList<QPair<QString, QString>> modes{{QStringLiteral("自動のみ"), QStringLiteral("auto")},
                                               {QStringLiteral("固定のみ"), QStringLiteral("fixed")},
                                               {QStringLiteral("両方"), QStringLiteral("both")}};
    for (const auto &[text, mode] : modes) {
        auto *b = new QPushButton(text, m_modeBox);
        b->setObjectName(QStringLiteral("passcodeMode_") + mode);
        b->setCheckable(true);
        b->setProperty("mode", mode);
        seg->addWidget(b, 1);
        m_mode->addButton(b);
    }
    modeRow->addWidget(m_modeBox);
    modeRow->addStretch(1);
    v->addLayout(modeRow);

    connect(m_copyPass, &QPushButton::clicked, this,
            [this] { copyButtonPressed(m_agent && m_agent->status() ? m_agent->status()->autoPasscode : QString()); });
    connect(m_rotate, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->rotatePasscode();
    });
    connect(m_fixed, &QLineEdit::textChanged, this, [this] { refresh(); });
    connect(m_setFixed, &QPushButton::clicked, this, [this] {
        const QString text = m_fixed->text();
        m_fixed->clear();
        if (m_agent)
            m_agent->setFixedPasscode(text);
    });
    connect(m_clearFixed, &QPushButton::clicked, this, [this] {
        m_fixed->clear();
        if (m_agent)
            m_agent->setFixedPasscode(QString());
    });
    connect(m_mode, &QButtonGroup::buttonClicked, this, [this](QAbstractButton *b) {
        if (m_agent)
            m_agent->setPasscodeMode(b->property("mode").toString());
    });
    return box;
}

QGroupBox *HostPanelView::buildDevice() {
    auto *box = new QGroupBox(QStringLiteral("端末"), this);
    auto *grid = new QGridLayout(box);
    grid->setColumnMinimumWidth(0, 90);
    grid->setColumnStretch(1, 1);
    int r = 0;
    auto addLabel = [&](const QString &text) {
        auto *l = label(text, box, Theme::callout());
        setColour(l, Theme::secondary());
        l->setFixedWidth(90);
        grid->addWidget(l, r, 0, Qt::AlignTop | Qt::AlignLeft);
    };
    auto value = [&]() {
        auto *l = label(QString(), box, Theme::callout());
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        l->setWordWrap(true);
        return l;
    };

    addLabel(QStringLiteral("名前"));
    auto *nameRow = new QHBoxLayout;
    m_name = new QLineEdit(box);
    m_name->setObjectName(QStringLiteral("nameEdit"));
    m_name->setPlaceholderText(QStringLiteral("端末名"));
    m_name->setFixedWidth(260);
    m_saveName = new QPushButton(QStringLiteral("保存"), box);
    m_saveName->setObjectName(QStringLiteral("saveName"));
    nameRow->addWidget(m_name);
    nameRow->addWidget(m_saveName);
    nameRow->addStretch(1);
    grid->addLayout(nameRow, r++, 1);

    addLabel(QStringLiteral("サーバー"));
    grid->addWidget(m_server = value(), r++, 1);
    m_server->setObjectName(QStringLiteral("serverLine"));
    grid->addWidget(m_serverOrigin = value(), r++, 1);
    m_serverOrigin->setObjectName(QStringLiteral("serverOrigin"));
    addLabel(QStringLiteral("バージョン"));
    grid->addWidget(m_version = value(), r++, 1);
    m_version->setObjectName(QStringLiteral("versionLine"));
    addLabel(QStringLiteral("エンコーダ"));
    grid->addWidget(m_encoder = value(), r++, 1);
    m_encoder->setObjectName(QStringLiteral("encoderLine"));
    addLabel(QStringLiteral("画面の取り込み"));
    grid->addWidget(m_backend = value(), r++, 1);
    m_backend->setObjectName(QStringLiteral("backendLine"));
    addLabel(QStringLiteral("無人アクセス"));
    auto *unattendedColumn = new QVBoxLayout;
    m_unattended = new QCheckBox(QStringLiteral("確認の窓を出さずに共有する(GNOME)"), box);
    m_unattended->setObjectName(QStringLiteral("unattendedSwitch"));
    unattendedColumn->addWidget(m_unattended);
    auto *unattendedNote =
        caption(QStringLiteral("オンにすると、GNOME ではこのコンピュータの前に誰もいなくても、確認の窓を出さずに"
                               "画面と操作を共有します(GNOME の遠隔デスクトップの仕組みを直接使います)。オフのときは"
                               "デスクトップの確認の窓で、その都度許可を求めます。切り替えはエージェントを次に"
                               "起動したときから使われます。"),
                box);
    unattendedNote->setObjectName(QStringLiteral("unattendedNote"));
    unattendedNote->setWordWrap(true);
    unattendedColumn->addWidget(unattendedNote);
    grid->addLayout(unattendedColumn, r++, 1);
    connect(m_unattended, &QCheckBox::clicked, this, [this](bool on) {
        if (m_agent)
            m_agent->setUnattended(on);
    });

    addLabel(QStringLiteral("配信の既定"));
    auto *presetRow = new QHBoxLayout;
    for (const QualityPreset &preset : presetList()) {
        auto *b = new QPushButton(preset.label, box);
        b->setObjectName(QStringLiteral("preset_") + preset.key);
        b->setProperty("preset", preset.key);
        presetRow->addWidget(b);
        b->setCheckable(true);
        m_presetButtons.append(b);
        connect(b, &QPushButton::clicked, this, [this, q = preset.quality] {
            markPreset(); // the mark follows the agent, not the click
            if (m_agent)
                m_agent->setQuality(q.fps, q.scale, q.kbps);
        });
    }
    auto *presetNote =
        secondaryCaption(QStringLiteral("(接続していないときの初期値。セッション中は相手の画質設定が優先)"), box);
    presetRow->addWidget(presetNote, 1);
    grid->addLayout(presetRow, r++, 1);

    addLabel(QStringLiteral("音声"));
    grid->addWidget(m_audio = value(), r++, 1);
    m_audio->setObjectName(QStringLiteral("audioLine"));
    addLabel(QStringLiteral("モニタ"));
    auto *mon = new QVBoxLayout;
    m_monitorCount = value();
    m_monitorCount->setObjectName(QStringLiteral("monitorCount"));
    mon->addWidget(m_monitorCount);
    m_monitorRows = new QVBoxLayout;
    mon->addLayout(m_monitorRows);
    grid->addLayout(mon, r++, 1);

    connect(m_name, &QLineEdit::returnPressed, this, &HostPanelView::submitName);
    connect(m_saveName, &QPushButton::clicked, this, &HostPanelView::submitName);
    connect(m_name, &QLineEdit::textChanged, this,
            [this](const QString &t) { m_saveName->setEnabled(!MarkdownParser::trimHorizontal(t).isEmpty()); });
    return box;
}

QGroupBox *HostPanelView::buildSessions() {
    auto *box = new QGroupBox(QStringLiteral("接続中"), this);
    m_sessionRows = new QVBoxLayout(box);
    return box;
}

QGroupBox *HostPanelView::buildControllers() {
    auto *box = new QGroupBox(this);
    auto *v = new QVBoxLayout(box);
    v->addWidget(label(QStringLiteral("パスコード無しで入れる相手"), box, Theme::headline()));
    v->addWidget(secondaryCaption(
        QStringLiteral(
            "自動操作の仕組みからつなぐための登録です。登録した公開鍵の相手は、パスコード無しでこのコンピュータ"
            "に入れます。心当たりが無ければ空のままにしてください。"),
        box));
    m_controllerRows = new QVBoxLayout;
    v->addLayout(m_controllerRows);
    auto *add = new QHBoxLayout;
    m_ctlLabel = new QLineEdit(box);
    m_ctlLabel->setObjectName(QStringLiteral("ctlLabel"));
    m_ctlLabel->setPlaceholderText(QStringLiteral("名前(例: ox-bridge)"));
    m_ctlLabel->setFixedWidth(180);
    m_ctlPub = new QLineEdit(box);
    m_ctlPub->setObjectName(QStringLiteral("ctlPub"));
    m_ctlPub->setPlaceholderText(QStringLiteral("Ed25519 公開鍵(base64)"));
    m_ctlPub->setFont(Theme::mono(11));
    m_addController = new QPushButton(QStringLiteral("追加"), box);
    m_addController->setObjectName(QStringLiteral("addController"));
    add->addWidget(m_ctlLabel);
    add->addWidget(m_ctlPub, 1);
    add->addWidget(m_addController);
    v->addLayout(add);
    connect(m_addController, &QPushButton::clicked, this, &HostPanelView::addControllerPressed);
    return box;
}

QGroupBox *HostPanelView::buildLog() {
    // A grouped box like the sections above it; the disclosure button is its heading.
    auto *w = new QGroupBox(this);
    w->setObjectName(QStringLiteral("logBox"));
    auto *v = new QVBoxLayout(w);
    m_logToggle = new QToolButton(w);
    m_logToggle->setText(QStringLiteral("エージェントのログ"));
    m_logToggle->setCheckable(true);
    m_logToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_logToggle->setArrowType(Qt::RightArrow);
    m_logToggle->setAutoRaise(true);
    v->addWidget(m_logToggle);
    m_log = new QPlainTextEdit(w);
    m_log->setObjectName(QStringLiteral("agentLog"));
    m_log->setReadOnly(true);
    m_log->setFixedHeight(160);
    m_log->setFont(Theme::mono(11));
    m_log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_log->setVisible(false);
    v->addWidget(m_log);
    connect(m_logToggle, &QToolButton::toggled, this, [this](bool open) {
        m_logToggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        m_log->setVisible(open);
    });
    return w;
}

// ---- behaviour

QString HostPanelView::nameEdit() const {
    return m_name->text();
}
QString HostPanelView::fixedInput() const {
    return m_fixed->text();
}
EulaSheet *HostPanelView::eulaSheet() const {
    return m_eula;
}

void HostPanelView::resetViewState() {
    const auto &st = m_agent ? m_agent->status() : std::optional<ControlStatus>();
    m_name->setText(st ? st->name : QString());
    m_reportedName = st ? std::optional<QString>(st->name) : std::nullopt;
    m_fixed->clear();
    m_copied.reset();
    m_logToggle->setChecked(false);
    m_ctlLabel->clear();
    m_ctlPub->clear();
    m_eulaDismissed = false;
    m_saveName->setEnabled(!MarkdownParser::trimHorizontal(m_name->text()).isEmpty());
}

void HostPanelView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        if (m_resetOnShow)
            resetViewState();
        m_resetOnShow = false;
        refresh();
    }
}

void HostPanelView::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    // Another tab or a closed window: the view's own state starts afresh next time.
    if (!event->spontaneous())
        m_resetOnShow = true;
}

void HostPanelView::refresh() {
    const std::optional<ControlStatus> st = m_agent ? m_agent->status() : std::nullopt;
    const bool running = m_agent && m_agent->running();

    // Header.
    auto *dot = static_cast<StatusDot *>(m_dot);
    const bool connected = st && st->connected;
    dot->setColour(connected ? Theme::green() : running ? Theme::orange() : Theme::red());
    m_title->setText(connected ? QStringLiteral("サーバー接続中") : (m_agent ? m_agent->message() : QString()));
    const auto err = m_agent ? m_agent->lastError() : std::nullopt;
    m_error->setText(err ? bounded(*err, 500) : QString());
    m_error->setVisible(err.has_value());
    m_sharing->setChecked(st && st->sharing);
    m_sharing->setEnabled(st.has_value());
    m_noticeBar->setChecked(!st || st->noticeBar);
    m_noticeBar->setEnabled(st.has_value());
    const bool ended = m_agent && m_agent->agentEnded() && !st;
    m_agentEnded->setVisible(ended);
    m_residentRoute->setVisible(ended && !m_agent->residentInstalled());

    // The desktop's own dialog is up.
    m_askingBox->setVisible(st &&
                            (st->screenPerm == QLatin1String("asking") || st->inputPerm == QLatin1String("asking")));
    // Permission warning.
    const bool screenDenied = st && st->screenPerm == QLatin1String("denied");
    const bool inputDenied = st && st->inputPerm == QLatin1String("denied");
    m_permBox->setVisible(screenDenied || inputDenied);
    m_screenTexts->setVisible(screenDenied);
    m_inputTexts->setVisible(inputDenied);
    m_screenButton->setVisible(screenDenied);
    m_inputButton->setVisible(inputDenied);

    // Resident agent.
    const bool installed = m_agent && m_agent->residentInstalled();
    m_residentIcon->setText(installed ? QStringLiteral("↻") : QStringLiteral("⚠"));
    setColour(m_residentIcon, installed ? Theme::green() : Theme::orange());
    m_residentText->setText(installed ? QStringLiteral("常駐版あり(ログイン時に自動で待ち受けます)")
                                      : QStringLiteral("常駐版が入っていません"));
    m_residentCaption->setText(
        installed ? (m_agent->attachedToResident()
                         ? QStringLiteral("このアプリは常駐版につないでいます。アプリを閉じても待ち受けは続きます。")
                         : QStringLiteral("このアプリは自分で起こしたエージェントにつないでいます。"))
                  : QStringLiteral("いまはこのアプリを開いているあいだだけ待ち受けます。常駐版を足すと、アプリを閉じて"
                                   "いても・ログインした直後から操作を受けられます。"));
    m_installResident->setVisible(!installed);

    // Device ID and passcodes.
    m_id->setText(formattedId(st ? bounded(st->id, 40) : QStringLiteral("---------")));
    m_autoPass->setText(st ? bounded(st->autoPasscode, 40) : QStringLiteral("------"));
    const QString idNote = HostPanelText::idNote(st, m_agent && m_agent->agentEnded());
    m_idNote->setText(bounded(idNote, 400));
    m_idNote->setVisible(!idNote.isEmpty());
    m_rotate->setEnabled(st.has_value());
    const bool hasFixed = st && st->hasFixed;
    m_fixedState->setText(hasFixed ? QStringLiteral("設定済み") : QStringLiteral("未設定"));
    setColour(m_fixedState, hasFixed ? Theme::green() : Theme::secondary());
    m_setFixed->setText(hasFixed ? QStringLiteral("変更") : QStringLiteral("設定"));
    m_setFixed->setEnabled(graphemes(m_fixed->text()) >= 6);
    m_clearFixed->setEnabled(hasFixed);
    const QString mode = st ? st->passcodeMode : QStringLiteral("auto");
    for (QAbstractButton *b : m_mode->buttons())
        b->setChecked(b->property("mode").toString() == mode);
    m_modeBox->setEnabled(st.has_value());
    refreshCopyLabels();

    // Device.
    if (st) {
        // A reported name only replaces a field the user has emptied.
        if (!m_reportedName || *m_reportedName != st->name) {
            m_reportedName = st->name;
            if (m_name->text().isEmpty())
                m_name->setText(st->name);
        }
    }
    m_server->setText(bounded(st ? st->server : (m_config ? m_config->server() : QString()), 300));
    const QString untrusted = m_trust ? m_trust->failure() : QString();
    const QString origin = !untrusted.isEmpty() ? untrusted : m_localServer ? m_localServer->summary() : QString();
    m_serverOrigin->setText(origin);
    m_serverOrigin->setVisible(!origin.isEmpty());
    m_version->setText(bounded(HostPanelText::versionLine(st), 300));
    m_encoder->setText(bounded(HostPanelText::encoderLine(st), 400));
    m_backend->setText(bounded(HostPanelText::backendLine(st), 400));
    m_unattended->setChecked(st && st->unattended);
    m_unattended->setEnabled(st.has_value());
    for (QPushButton *b : m_presetButtons)
        b->setEnabled(st.has_value());
    markPreset();
    m_audio->setText(HostPanelText::audioLine(st));
    refreshMonitors();
    refreshSessions(false);
    refreshControllers(false);
    maybeShowEula();
}

void HostPanelView::markPreset() {
    const auto &st = m_agent ? m_agent->status() : std::optional<ControlStatus>();
    // The preset the agent streams with is marked; none when it uses another quality.
    for (QPushButton *b : m_presetButtons) {
        const Quality q = presets().value(b->property("preset").toString());
        b->setChecked(st && st->fps == q.fps && st->kbps == q.kbps && std::abs(st->scale - q.scale) < 0.005);
    }
}

void HostPanelView::refreshCopyLabels() {
    m_copyId->setText(HostPanelText::copyLabel(
        QStringLiteral("ID をコピー"), m_agent && m_agent->status() ? m_agent->status()->id : QString(), m_copied));
    m_copyPass->setText(
        HostPanelText::copyLabel(QStringLiteral("コピー"),
                                 m_agent && m_agent->status() ? m_agent->status()->autoPasscode : QString(), m_copied));
}

void HostPanelView::copyButtonPressed(const QString &value) {
    if (value.isEmpty())
        return;
    QClipboard *cb = QGuiApplication::clipboard();
    cb->clear();
    cb->setText(value);
    m_copied = value;
    refreshCopyLabels();
    QTimer::singleShot(1500, this, [this, value] {
        if (m_copied == value) {
            m_copied.reset();
            refreshCopyLabels();
        }
    });
}

void HostPanelView::submitName() {
    if (m_agent)
        m_agent->setName(m_name->text());
}

void HostPanelView::addControllerPressed() {
    const QString pub = m_ctlPub->text().trimmed();
    if (pub.isEmpty())
        return;
    const QString labelText = m_ctlLabel->text().trimmed();
    if (!m_agent)
        return;
    m_agent->addController(labelText, pub, this, [this] {
        // Emptied whether or not the agent took it.
        m_ctlLabel->clear();
        m_ctlPub->clear();
    });
}

void HostPanelView::refreshMonitors() {
    const auto &st = m_agent ? m_agent->status() : std::optional<ControlStatus>();
    const QList<ControlMonitor> monitors = st ? st->monitors : QList<ControlMonitor>();
    m_monitorCount->setText(QString::number(monitors.size()) + QStringLiteral(" 台"));
    if (m_shownMonitors == monitors)
        return;
    m_shownMonitors = monitors;
    clearLayout(m_monitorRows);
    int n = 0;
    for (const ControlMonitor &m : monitors) {
        if (n++ == maxRows)
            break;
        auto *l = label(bounded(HostPanelText::monitorLine(m)), m_monitorCount->parentWidget(), Theme::callout());
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_monitorRows->addWidget(l);
    }
}

void HostPanelView::refreshSessions(bool force) {
    const auto &st = m_agent ? m_agent->status() : std::optional<ControlStatus>();
    const QList<ControlSession> sessions = st ? st->sessions : QList<ControlSession>();
    if (!force && m_shownSessions == sessions)
        return;
    m_shownSessions = sessions;
    QWidget *box = m_sessionRows->parentWidget();
    if (!m_noSessions) {
        m_noSessions = label(QStringLiteral("接続はありません"), box, Theme::callout());
        m_noSessions->setObjectName(QStringLiteral("noSessions"));
        m_moreSessions = secondaryCaption(QString(), box);
        m_moreSessions->setObjectName(QStringLiteral("moreSessions"));
        // In the layout from the start: a first status without sessions changes no row
        // order, and a label outside the layout sat over the box's title.
        m_sessionRows->addWidget(m_noSessions);
        m_sessionRows->addWidget(m_moreSessions);
    }

    // Rows are kept per session and updated in place, so that a stream of
    // status events over many sessions costs only what changed.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QStringList order;
    QHash<QString, int> seen;
    for (const ControlSession &s : sessions) {
        if (order.size() == maxRows)
            break;
        // A sid listed twice still gets a row of its own.
        const QString key = s.sid + u'#' + QString::number(seen[s.sid]++);
        order.append(key);
        SessionRow &r = m_rows[key];
        if (!r.row)
            r = makeSessionRow(s, box);
        else if (!(r.shown == s))
            updateSessionRow(r, s, now);
    }
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (!order.contains(it.key())) {
            it->row->hide();
            it->row->deleteLater();
            it = m_rows.erase(it);
        } else {
            ++it;
        }
    }
    if (order != m_rowOrder) {
        while (m_sessionRows->count() > 0)
            delete m_sessionRows->takeAt(0);
        for (const QString &key : order) {
            m_sessionRows->addWidget(m_rows[key].row);
            m_rows[key].row->show(); // now rather than on the layout's queued show
        }
        m_sessionRows->addWidget(m_noSessions);
        m_sessionRows->addWidget(m_moreSessions);
        m_rowOrder = order;
    }
    m_noSessions->setVisible(sessions.isEmpty());
    m_moreSessions->setVisible(sessions.size() > maxRows);
    m_moreSessions->setText(QStringLiteral("ほか %1 件").arg(sessions.size() - maxRows));
    if (sessions.isEmpty())
        m_elapsedTimer.stop();
    else if (!m_elapsedTimer.isActive())
        m_elapsedTimer.start();
}

HostPanelView::SessionRow HostPanelView::makeSessionRow(const ControlSession &s, QWidget *box) {
    SessionRow r;
    r.row = new QWidget(box);
    r.row->setObjectName(QStringLiteral("sessionRow"));
    auto *h = new QHBoxLayout(r.row);
    h->setContentsMargins(0, 2, 0, 2);
    r.pic = new QLabel(r.row);
    r.pic->setFixedSize(30, 30);
    h->addWidget(r.pic, 0, Qt::AlignTop);
    auto *v = new QVBoxLayout;
    v->setSpacing(1);
    r.name = label(QString(), r.row);
    r.name->setObjectName(QStringLiteral("sessionName"));
    v->addWidget(r.name);
    r.detail = caption(QString(), r.row);
    v->addWidget(r.detail);
    r.caption = secondaryCaption(QString(), r.row);
    r.caption->setObjectName(QStringLiteral("sessionCaption"));
    v->addWidget(r.caption);
    r.link = secondaryCaption(QString(), r.row);
    r.link->setObjectName(QStringLiteral("sessionLink"));
    r.link->hide();
    v->addWidget(r.link);
    h->addLayout(v, 1);
    auto *cut = new QPushButton(QStringLiteral("切断"), r.row);
    cut->setObjectName(QStringLiteral("disconnectSession"));
    const QString sid = s.sid;
    connect(cut, &QPushButton::clicked, this, [this, sid] {
        if (m_agent)
            m_agent->disconnectSession(sid);
    });
    h->addWidget(cut, 0, Qt::AlignVCenter);
    r.iconDirty = true;
    updateSessionRow(r, s, QDateTime::currentSecsSinceEpoch());
    return r;
}

void HostPanelView::updateSessionRow(SessionRow &r, const ControlSession &s, qint64 now) {
    if (r.iconDirty || r.shown.icon != s.icon || r.shown.authed != s.authed) {
        const QImage icon = HostPanelText::decodeIcon(s.icon);
        r.pic->setPixmap(icon.isNull() ? personSymbol(s.authed) : ringedIcon(icon, s.authed));
        r.pic->setProperty("decodedIcon", !icon.isNull());
        r.iconDirty = false;
    }
    r.name->setText(s.name.isEmpty() ? QStringLiteral("名称未設定") : bounded(s.name));
    const QString detail = s.detail();
    r.detail->setText(bounded(detail, 300));
    r.detail->setVisible(!detail.isEmpty());
    r.caption->setText(HostPanelText::sessionCaption(s, now));
    r.link->setText(s.link ? s.link->line() : QString());
    r.link->setVisible(s.link.has_value());
    r.shown = s;
}

void HostPanelView::refreshElapsed() {
    if (!isVisible())
        return;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const SessionRow &r : std::as_const(m_rows))
        r.caption->setText(HostPanelText::sessionCaption(r.shown, now));
}

void HostPanelView::refreshControllers(bool force) {
    const auto &st = m_agent ? m_agent->status() : std::optional<ControlStatus>();
    const QList<ControlController> list = st ? st->controllers : QList<ControlController>();
    if (!force && m_shownControllers == list)
        return;
    m_shownControllers = list;
    clearLayout(m_controllerRows);
    QWidget *box = m_ctlPub->parentWidget();
    if (list.isEmpty()) {
        auto *none = label(QStringLiteral("登録はありません"), box, Theme::callout());
        none->setObjectName(QStringLiteral("noControllers"));
        m_controllerRows->addWidget(none);
        return;
    }
    int n = 0;
    for (const ControlController &c : list) {
        if (n++ == maxRows) {
            m_controllerRows->addWidget(secondaryCaption(QStringLiteral("ほか %1 件").arg(list.size() - maxRows), box));
            break;
        }
        auto *row = new QWidget(box);
        row->setObjectName(QStringLiteral("controllerRow"));
        auto *h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        auto *keyPic = new QLabel(row);
        keyPic->setPixmap(keySymbol());
        h->addWidget(keyPic);
        auto *name = label(c.label.isEmpty() ? QStringLiteral("コントローラー") : bounded(c.label), row);
        name->setObjectName(QStringLiteral("controllerName"));
        h->addWidget(name);
        auto *summary = label(bounded(c.summary()), row, Theme::sized(11));
        summary->setObjectName(QStringLiteral("controllerSummary"));
        h->addWidget(summary, 1);
        auto *remove = new QPushButton(QStringLiteral("削除"), row);
        remove->setObjectName(QStringLiteral("removeController"));
        const QString pub = c.pub;
        connect(remove, &QPushButton::clicked, this, [this, pub] {
            if (m_agent)
                m_agent->removeController(pub);
        });
        h->addWidget(remove);
        m_controllerRows->addWidget(row);
    }
}

void HostPanelView::refreshLog() {
    const QStringList lines = m_agent ? m_agent->logLines() : QStringList();
    const QString text = lines.mid(std::max<qsizetype>(0, lines.size() - logLinesShown)).join(u'\n');
    if (text == m_shownLog)
        return;
    m_shownLog = text;
    const bool atEnd = m_log->verticalScrollBar()->value() == m_log->verticalScrollBar()->maximum();
    m_log->setPlainText(text);
    if (atEnd)
        m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}

void HostPanelView::maybeShowEula() {
    if (m_eula) {
        // The open sheet follows what the agent asks now. Taken away by the agent
        // (or with the status lost) it is not the user's "later".
        const ControlStatus *st = m_agent && m_agent->status() ? &*m_agent->status() : nullptr;
        if (st && st->eulaRequired) {
            if (*st->eulaRequired != m_eula->eula())
                m_eula->setEula(*st->eulaRequired);
            return;
        }
        EulaSheet *sheet = std::exchange(m_eula, nullptr);
        sheet->disconnect(this);
        sheet->hide();
        sheet->deleteLater();
        return;
    }
    if (m_eulaDismissed || !isVisible() || !m_agent)
        return;
    const auto &st = m_agent->status();
    if (!st || !st->eulaRequired)
        return;
    QPointer<AgentController> agent = m_agent;
    auto *sheet = new EulaSheet(
        *st->eulaRequired,
        [agent] {
            if (agent)
                agent->acceptEula();
        },
        [] {}, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::finished, this, [this] { m_eulaDismissed = true; });
    m_eula = sheet;
    sheet->open();
}
