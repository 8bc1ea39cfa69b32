#include "shell/SettingsPanelView.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "config/Quality.h"
#include "protocol/agent/ControlStatus.h"
#include "rendezvous/LocalServer.h"
#include "rendezvous/Signaling.h"
#include "style/Theme.h"
#include "util/ErrorText.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStringDecoder>
#include <QTimer>
#include <QVBoxLayout>

namespace {
// The uninstaller's output is shown whole; a runaway one is cut here.
constexpr qsizetype maxOutput = 1024 * 1024;

QLabel *caption(const QString &text, QWidget *parent) {
    auto *l = new QLabel(text, parent);
    l->setWordWrap(true);
    l->setForegroundRole(QPalette::PlaceholderText);
    return l;
}
} // namespace

SettingsPanelView::SettingsPanelView(AppConfig *config, AgentController *agent, LocalServer *localServer,
                                     Signaling *signaling, QWidget *parent)
    : QWidget(parent), m_config(config), m_agent(agent), m_localServer(localServer), m_signaling(signaling),
      m_server(config ? config->server() : QString()), m_token(config ? config->adminToken() : QString()),
      m_script(Paths::uninstallScript()),
      m_quit([] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); }) {
    setWindowTitle(QStringLiteral("設定"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto *content = new QWidget(scroll);
    scroll->setWidget(content);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    // The sections, top to bottom.
    QGroupBox *serverBox = buildServerBox(content);
    QGroupBox *qualityBox = buildQualityBox(content);
    QGroupBox *audioBox = buildAudioBox(content);
    QGroupBox *removeBox = buildRemoveBox(content);
    for (QGroupBox *box : {serverBox, qualityBox, audioBox, removeBox}) {
        box->setMaximumWidth(640);
        column->addWidget(box);
    }
    column->addStretch();

    if (m_config) {
        connect(m_config, &AppConfig::presetChanged, this, &SettingsPanelView::syncFromConfig);
        connect(m_config, &AppConfig::videoPrefChanged, this, &SettingsPanelView::syncFromConfig);
        connect(m_config, &AppConfig::showCursorChanged, this, &SettingsPanelView::syncFromConfig);
    }
    if (m_agent)
        connect(m_agent, &AgentController::statusChanged, this, &SettingsPanelView::syncFromAgent);
    syncFromConfig();
    syncFromAgent();
}

// Server and token, saved together.
QGroupBox *SettingsPanelView::buildServerBox(QWidget *parent) {
    auto *serverBox = new QGroupBox(QStringLiteral("サーバー(セルフホスト可)"), parent);
    auto *sv = new QVBoxLayout(serverBox);
    m_serverField = new QLineEdit(m_server, serverBox);
    m_serverField->setObjectName("server");
    m_serverField->setPlaceholderText(QStringLiteral("https://rendezvous.example.com"));
    m_serverField->setFixedWidth(380);
    connect(m_serverField, &QLineEdit::textEdited, this, &SettingsPanelView::setServer);
    sv->addWidget(m_serverField);
    sv->addWidget(caption(QStringLiteral("サーバーを変えると、この端末のエージェントを起こし直します(端末 ID "
                                         "はサーバーごとに発行されます)。"),
                          serverBox));
    auto *tokenRow = new QHBoxLayout;
    auto *tokenLabel = caption(QStringLiteral("管理 / 組織トークン"), serverBox);
    tokenLabel->setWordWrap(false);
    tokenLabel->setFixedWidth(150);
    tokenRow->addWidget(tokenLabel);
    m_tokenField = new QLineEdit(m_token, serverBox);
    m_tokenField->setObjectName("token");
    m_tokenField->setEchoMode(QLineEdit::Password);
    m_tokenField->setPlaceholderText(QStringLiteral("(任意)"));
    m_tokenField->setFixedWidth(300);
    connect(m_tokenField, &QLineEdit::textEdited, this, &SettingsPanelView::setToken);
    tokenRow->addWidget(m_tokenField);
    tokenRow->addStretch();
    sv->addLayout(tokenRow);
    auto *saveRow = new QHBoxLayout;
    auto *saveButton = new QPushButton(QStringLiteral("保存"), serverBox);
    saveButton->setObjectName("save");
    saveButton->setDefault(true);
    saveButton->setStyleSheet(Theme::primaryButtonCss(4, 16));
    connect(saveButton, &QPushButton::clicked, this, &SettingsPanelView::save);
    saveRow->addWidget(saveButton);
    m_savedLabel = new QLabel(QStringLiteral("保存しました"), serverBox);
    m_savedLabel->setObjectName("savedLabel");
    m_savedLabel->setStyleSheet(QStringLiteral("color: ") + Theme::success().name());
    m_savedLabel->setVisible(false);
    saveRow->addWidget(m_savedLabel);
    saveRow->addStretch();
    sv->addLayout(saveRow);
    m_serverCheck = new QLabel(serverBox);
    m_serverCheck->setObjectName("serverCheck");
    m_serverCheck->setWordWrap(true);
    m_serverCheck->setVisible(false);
    sv->addWidget(m_serverCheck);
    return serverBox;
}

// Quality, video path, cursor: what a new session asks for.
QGroupBox *SettingsPanelView::buildQualityBox(QWidget *parent) {
    auto *qualityBox = new QGroupBox(QStringLiteral("既定の画質(接続したときに送る値)"), parent);
    auto *qf = new QFormLayout(qualityBox);
    m_preset = new QComboBox(qualityBox);
    m_preset->setObjectName("preset");
    m_preset->setFixedWidth(420);
    for (const QualityPreset &p : presetList())
        m_preset->addItem(presetLabel(p.key), p.key);
    connect(m_preset, &QComboBox::activated, this, [this](int i) {
        if (m_config)
            m_config->setPreset(m_preset->itemData(i).toString());
    });
    qf->addRow(QStringLiteral("プリセット"), m_preset);
    m_video = new QComboBox(qualityBox);
    m_video->setObjectName("videoPref");
    m_video->setFixedWidth(420);
    m_video->addItem(QStringLiteral("H.264(既定・低遅延)"), QStringLiteral("h264"));
    m_video->addItem(QStringLiteral("JPEG(互換フォールバック)"), QStringLiteral("jpeg"));
    connect(m_video, &QComboBox::activated, this, [this](int i) {
        if (m_config)
            m_config->setVideoPref(m_video->itemData(i).toString());
    });
    qf->addRow(QStringLiteral("映像方式"), m_video);
    m_cursor = new QCheckBox(QStringLiteral("相手側のマウスカーソルを重ねて表示する"), qualityBox);
    m_cursor->setObjectName("showCursor");
    connect(m_cursor, &QCheckBox::toggled, this, [this](bool on) {
        if (m_config && m_config->showCursor() != on)
            m_config->setShowCursor(on);
    });
    qf->addRow(m_cursor);
    return qualityBox;
}

// The audio this device sends when it is controlled (a setting of the agent).
QGroupBox *SettingsPanelView::buildAudioBox(QWidget *parent) {
    auto *audioBox = new QGroupBox(QStringLiteral("この端末の音声(操作される側)"), parent);
    auto *af = new QFormLayout(audioBox);
    m_audioOn = new QCheckBox(QStringLiteral("音声を配信する"), audioBox);
    m_audioOn->setObjectName("audioOn");
    connect(m_audioOn, &QCheckBox::clicked, this, [this](bool on) {
        // The switch shows the agent's state, not the click: it follows the next status.
        syncFromAgent();
        if (m_agent && m_agent->status())
            m_agent->setAudio(on, m_agent->status()->audioSource, this);
    });
    af->addRow(m_audioOn);
    m_audioSource = new QComboBox(audioBox);
    m_audioSource->setObjectName("audioSource");
    m_audioSource->setFixedWidth(420);
    m_audioSource->addItem(QStringLiteral("システム音(PulseAudio / PipeWire)"), QStringLiteral("system"));
    m_audioSource->addItem(QStringLiteral("マイク"), QStringLiteral("mic"));
    connect(m_audioSource, &QComboBox::activated, this, [this](int i) {
        const QString source = m_audioSource->itemData(i).toString();
        syncFromAgent();
        if (m_agent && m_agent->status())
            m_agent->setAudio(m_agent->status()->audioOn, source, this);
    });
    af->addRow(QStringLiteral("音源"), m_audioSource);
    af->addRow(
        caption(QStringLiteral("システム音は既定の出力(PulseAudio / PipeWire)で鳴っている音、マイクは既定の入力です。"),
                audioBox));
    return audioBox;
}

// Removal of the installation, with the uninstaller's output.
QGroupBox *SettingsPanelView::buildRemoveBox(QWidget *parent) {
    auto *removeBox = new QGroupBox(QStringLiteral("このコンピュータから削除"), parent);
    auto *rv = new QVBoxLayout(removeBox);
    rv->addWidget(caption(QStringLiteral("常駐版・ログイン時の自動起動・端末の身元・設定を、まとめて外します。"
                                         "サーバーに届けばサーバー上の端末登録も消え、一覧からも居なくなります"
                                         "(何を消せたかは削除後に表示します)。"),
                          removeBox));
    auto *removeRow = new QHBoxLayout;
    m_removeButton = new QPushButton(QStringLiteral("Velmo Remote を削除"), removeBox);
    m_removeButton->setObjectName("remove");
    connect(m_removeButton, &QPushButton::clicked, this, [this] { setConfirmRemove(true); });
    removeRow->addWidget(m_removeButton);
    m_removeProgress = new QProgressBar(removeBox);
    m_removeProgress->setRange(0, 0);
    m_removeProgress->setTextVisible(false);
    m_removeProgress->setFixedSize(80, 10);
    m_removeProgress->setVisible(false);
    removeRow->addWidget(m_removeProgress);
    removeRow->addStretch();
    rv->addLayout(removeRow);
    m_logView = new QPlainTextEdit(removeBox);
    m_logView->setObjectName("removeLog");
    m_logView->setReadOnly(true);
    m_logView->setFixedHeight(140);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSize(11);
    m_logView->setFont(mono);
    m_logView->setVisible(false);
    rv->addWidget(m_logView);
    return removeBox;
}

SettingsPanelView::~SettingsPanelView() {
    if (m_process) {
        // The uninstaller keeps running on its own when the panel goes away.
        m_process->disconnect(this);
    }
}

QString SettingsPanelView::trimmed(const QString &s) {
    qsizetype start = 0, end = s.size();
    while (start < end && (s[start] == ' ' || s[start] == '\t'))
        ++start;
    while (end > start && (s[end - 1] == ' ' || s[end - 1] == '\t'))
        --end;
    return s.mid(start, end - start);
}

QString SettingsPanelView::presetLabel(const QString &key) {
    for (const QualityPreset &p : presetList())
        if (p.key == key)
            return QStringLiteral("%1  %2fps / %3% / %4kbps")
                .arg(p.label)
                .arg(p.quality.fps)
                .arg(int(p.quality.scale * 100))
                .arg(p.quality.kbps);
    return key;
}

void SettingsPanelView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // Coming back to the tab shows the stored values again; an unsaved edit is dropped.
    if (!event->spontaneous() && m_config) {
        setServer(m_config->server());
        setToken(m_config->adminToken());
    }
}

void SettingsPanelView::setServer(const QString &v) {
    if (v == m_server)
        return;
    m_server = v;
    if (m_serverField->text() != v)
        m_serverField->setText(v);
    Q_EMIT serverChanged();
}

void SettingsPanelView::setToken(const QString &v) {
    if (v == m_token)
        return;
    m_token = v;
    if (m_tokenField->text() != v)
        m_tokenField->setText(v);
    Q_EMIT tokenChanged();
}

void SettingsPanelView::setSaved(bool v) {
    m_savedLabel->setVisible(v);
    if (v == m_saved)
        return;
    m_saved = v;
    Q_EMIT savedChanged();
}

void SettingsPanelView::setConfirmRemove(bool v) {
    if (v == m_confirmRemove)
        return;
    m_confirmRemove = v;
    Q_EMIT confirmRemoveChanged();
    if (!v) {
        if (m_confirm)
            m_confirm->close();
        return;
    }
    auto *box = new QMessageBox(this);
    box->setObjectName("confirmRemove");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Velmo Remote をこのコンピュータから削除しますか?"));
    box->setText(QStringLiteral("Velmo Remote をこのコンピュータから削除しますか?"));
    box->setInformativeText(
        QStringLiteral("アプリ・常駐版・身元・許可をまとめて外し、サーバーに届けばサーバー上の端末登録も消します。\n"
                       "元には戻せません。入れ直すと別の端末として登録されます。"));
    QPushButton *cancel = box->addButton(QStringLiteral("やめる"), QMessageBox::RejectRole);
    cancel->setObjectName("cancel");
    QPushButton *remove = box->addButton(QStringLiteral("削除"), QMessageBox::DestructiveRole);
    remove->setObjectName("confirm");
    remove->setStyleSheet(QStringLiteral("color: ") + Theme::destructive().name());
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton *b) {
        if (b == remove)
            QTimer::singleShot(0, this, &SettingsPanelView::removeEverything);
    });
    connect(box, &QObject::destroyed, this, [this] {
        if (m_confirmRemove) {
            m_confirmRemove = false;
            Q_EMIT confirmRemoveChanged();
        }
    });
    m_confirm = box;
    box->open();
}

void SettingsPanelView::setRemoving(bool v) {
    m_removeButton->setEnabled(!v);
    m_removeProgress->setVisible(v);
    if (v == m_removing)
        return;
    m_removing = v;
    Q_EMIT removingChanged();
}

void SettingsPanelView::setRemoveLog(const QString &v) {
    m_logView->setPlainText(v);
    m_logView->setVisible(!v.isEmpty());
    if (v == m_removeLog)
        return;
    m_removeLog = v;
    Q_EMIT removeLogChanged();
}

void SettingsPanelView::syncFromConfig() {
    if (!m_config)
        return;
    const QSignalBlocker b1(m_preset), b2(m_video), b3(m_cursor);
    m_preset->setCurrentIndex(m_preset->findData(m_config->preset()));
    m_video->setCurrentIndex(m_video->findData(m_config->videoPref()));
    m_cursor->setChecked(m_config->showCursor());
}

void SettingsPanelView::syncFromAgent() {
    const std::optional<ControlStatus> status = m_agent ? m_agent->status() : std::nullopt;
    const QSignalBlocker b1(m_audioOn), b2(m_audioSource);
    m_audioOn->setChecked(status && status->audioOn);
    const int source = m_audioSource->findData(status ? status->audioSource : QStringLiteral("system"));
    m_audioSource->setCurrentIndex(source);
    m_audioOn->setEnabled(status.has_value());
    m_audioSource->setEnabled(status.has_value());
}

void SettingsPanelView::save() {
    if (!m_config)
        return;
    const QString s = trimmed(m_server);
    const bool changed = s != m_config->server();
    m_config->setServer(s);
    // The setter writes the token to the secret store (an empty one deletes it).
    m_config->setAdminToken(trimmed(m_token));
    const bool wasSaved = m_saved;
    setSaved(true);
    // The first press's timer ends the confirmation; a second press does not extend it.
    if (!wasSaved)
        QTimer::singleShot(2000, this, [this] { setSaved(false); });
    setServerCheck(QStringLiteral("サーバーを確かめています…"), Theme::secondary());
    QPointer<SettingsPanelView> self(this);
    auto check = [self, s] {
        if (!self || !self->m_signaling)
            return;
        // The saved server answers (its signaling socket is greeted) or the user is told at once.
        self->m_signaling->connect(self, [self, s](bool ok) {
            if (!self || !self->m_config || self->m_config->server() != s)
                return;
            if (ok)
                self->setServerCheck(QStringLiteral("サーバー ") + s + QStringLiteral(" に接続できました"),
                                     Theme::success());
            else
                self->setServerCheck(ErrorText::serverUnreachable(s), Theme::orange());
        });
    };
    if (changed) {
        if (m_agent)
            m_agent->stop();
        // A change to the default local server starts ours first when nothing answers there;
        // for any other server this runs at once.
        QPointer<AgentController> agent = m_agent;
        auto restart = [agent, s, check] {
            if (agent)
                agent->start(s);
            check();
        };
        if (m_localServer)
            m_localServer->ensure(s, m_signaling, restart);
        else
            restart();
    } else {
        check();
    }
}

void SettingsPanelView::setServerCheck(const QString &text, const QColor &colour) {
    m_serverCheck->setText(text);
    m_serverCheck->setStyleSheet(QStringLiteral("color: ") + colour.name());
    m_serverCheck->setVisible(!text.isEmpty());
}

void SettingsPanelView::removeEverything() {
    if (m_removing)
        return;
    if (m_script.isEmpty() || !QFileInfo(m_script).isFile()) {
        setRemoveLog(QStringLiteral("アンインストーラが見つかりません(このビルドには同梱されていません)"));
        return;
    }
    setRemoving(true);
    setRemoveLog(QStringLiteral("削除しています…"));
    m_output.clear();
    auto *process = new QProcess(this);
    m_process = process;
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyRead, this, [this, process] {
        const QByteArray chunk = process->readAll();
        if (m_output.size() < maxOutput)
            m_output += chunk.left(maxOutput - m_output.size());
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        setRemoving(false);
        setRemoveLog(QStringLiteral("実行できません: ") +
                     ErrorText::process(error, QFileInfo(process->program()).fileName(), process->errorString()));
        process->deleteLater();
    });
    connect(process, &QProcess::finished, this, [this, process] {
        m_output += process->readAll().left(qMax<qsizetype>(0, maxOutput - m_output.size()));
        process->deleteLater();
        QStringDecoder utf8(QStringDecoder::Utf8);
        QString text = utf8(m_output);
        if (utf8.hasError())
            text.clear(); // undecodable output counts as none
        finishRemoval(text);
    });
    // Read off the interface thread's critical path: the panel keeps drawing its progress.
    process->start(QStringLiteral("/bin/bash"), {m_script, QStringLiteral("--purge")});
}

void SettingsPanelView::finishRemoval(const QString &output) {
    setRemoving(false);
    setRemoveLog(output.isEmpty() ? QStringLiteral("(何も出力されませんでした)") : output);
    // The application ends whatever the script did, even if the panel is gone by then.
    if (auto quit = m_quit)
        QTimer::singleShot(3000, qApp, quit);
}
