#include "viewer/SessionView.h"
#include "util/ErrorText.h"

#include "config/AppConfig.h"
#include "config/Paths.h"
#include "session/ReconnectPolicy.h"
#include "session/SessionExchange.h"
#include "session/SessionRecorder.h"
#include "session/SessionStatistics.h"
#include "session/SessionStore.h"
#include "style/SymbolIcons.h"
#include "style/Theme.h"
#include "util/StringUtils.h"
#include "viewer/ClipboardSync.h"
#include "viewer/FileTransferPanel.h"
#include "viewer/MonitorWindowView.h"
#include "viewer/RemoteScreenView.h"
#include "viewer/StatsOverlay.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace {
enum Page { connectingPage = 0, screenPage = 1, failedPage = 2, emptyPage = 3 };

// A JSON number as a whole number, truncated; 0 when absent or not a finite number.
qint64 wholeNumber(const QJsonValue &v) {
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d))
        return 0;
    if (d >= 9.2e18)
        return std::numeric_limits<qint64>::max();
    if (d <= -9.2e18)
        return std::numeric_limits<qint64>::min();
    return qint64(std::trunc(d));
}

QFrame *divider(QWidget *parent, QFrame::Shape shape) {
    auto *line = new QFrame(parent);
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Plain);
    line->setStyleSheet(QStringLiteral("color: palette(mid);"));
    return line;
}
} // namespace

SessionView::SessionView(RemoteSession *session, AppConfig *config, SessionStore *store, QWidget *parent)
    : QWidget(parent), m_session(session), m_config(config), m_store(store),
      m_sid(session ? session->sid() : QString()) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Files dropped anywhere on the window go to the host.
    m_transfers = new FileTransferPanel(m_session, this);
    m_transfers->setObjectName("transfers");
    m_transfers->watchDrops(this);
    connect(m_transfers, &FileTransferPanel::notice, this, &SessionView::showToast);

    auto *header = new QWidget(this);
    header->setObjectName("header");
    buildHeader(header);
    layout->addWidget(header);
    layout->addWidget(divider(this, QFrame::HLine));
    buildCopiedFilesBar(layout);

    m_main = new QStackedWidget(this);
    m_main->setObjectName("mainArea");
    m_main->setAutoFillBackground(true);
    QPalette black = m_main->palette();
    black.setColor(QPalette::Window, Theme::screenBackground());
    black.setColor(QPalette::WindowText, Theme::screenText());
    m_main->setPalette(black);

    // Connecting / authenticating.
    auto *connecting = new QWidget(m_main);
    auto *cl = new QVBoxLayout(connecting);
    cl->addStretch();
    auto *progress = new QProgressBar(connecting);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedWidth(160);
    cl->addWidget(progress, 0, Qt::AlignHCenter);
    m_progressText = new QLabel(connecting);
    m_progressText->setObjectName("progressText");
    cl->addWidget(m_progressText, 0, Qt::AlignHCenter);
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), connecting);
    cancel->setObjectName("cancel");
    connect(cancel, &QPushButton::clicked, this, &SessionView::endSession);
    cl->addWidget(cancel, 0, Qt::AlignHCenter);
    cl->addStretch();
    m_main->addWidget(connecting);

    // The picture fits the window, or shows at one screen pixel per remote pixel
    // ("等倍") with scroll bars when it is larger.
    m_screenScroll = new QScrollArea(m_main);
    m_screenScroll->setObjectName("screenScroll");
    m_screenScroll->setFrameShape(QFrame::NoFrame);
    m_screenScroll->setAlignment(Qt::AlignCenter);
    m_screenScroll->setWidgetResizable(true);
    m_screenScroll->setFocusPolicy(Qt::NoFocus);
    m_screenScroll->setPalette(black);
    m_screen = new RemoteScreenView;
    m_screen->setObjectName("screen");
    m_screenScroll->setWidget(m_screen);
    // Another screen may have another device pixel ratio, hence another 1:1 size.
    connect(m_screen, &RemoteScreenView::screenChanged, this, &SessionView::applyScale, Qt::QueuedConnection);
    m_main->addWidget(m_screenScroll);

    auto *failed = new QWidget(m_main);
    auto *fl = new QVBoxLayout(failed);
    fl->addStretch();
    auto *warning = new QLabel(failed);
    warning->setPixmap(SymbolIcons::warning(Theme::warning()).pixmap(48, 48));
    fl->addWidget(warning, 0, Qt::AlignHCenter);
    // A wrapped label given an alignment in a box layout gets its one-line height and
    // is cut at the top and bottom; full width in a column of readable width instead.
    auto *texts = new QWidget(failed);
    texts->setMaximumWidth(readableTextWidth);
    auto *tl = new QVBoxLayout(texts);
    tl->setContentsMargins(16, 0, 16, 0);
    m_failureText = new QLabel(texts);
    m_failureText->setObjectName("failureText");
    m_failureText->setWordWrap(true);
    m_failureText->setAlignment(Qt::AlignCenter);
    tl->addWidget(m_failureText);
    m_reconnectText = new QLabel(texts);
    m_reconnectText->setObjectName("reconnectText");
    m_reconnectText->setWordWrap(true);
    m_reconnectText->setAlignment(Qt::AlignCenter);
    tl->addWidget(m_reconnectText);
    auto *centred = new QHBoxLayout;
    centred->addStretch(1);
    centred->addWidget(texts, 100);
    centred->addStretch(1);
    fl->addLayout(centred);
    // A refused passcode is asked for here: the device may have a new one.
    m_retryRow = new QWidget(failed);
    auto *rr = new QHBoxLayout(m_retryRow);
    rr->setContentsMargins(0, 0, 0, 0);
    m_retryPasscode = new QLineEdit(m_retryRow);
    m_retryPasscode->setObjectName("retryPasscode");
    m_retryPasscode->setEchoMode(QLineEdit::Password);
    m_retryPasscode->setPlaceholderText(QStringLiteral("新しいパスコード"));
    m_retryPasscode->setFixedWidth(200);
    rr->addWidget(m_retryPasscode);
    m_retryButton = new QPushButton(QStringLiteral("再試行"), m_retryRow);
    m_retryButton->setObjectName("retry");
    m_retryButton->setEnabled(false);
    rr->addWidget(m_retryButton);
    connect(m_retryPasscode, &QLineEdit::textChanged, this,
            [this](const QString &t) { m_retryButton->setEnabled(!t.isEmpty()); });
    connect(m_retryPasscode, &QLineEdit::returnPressed, this, &SessionView::retryWithPasscode);
    connect(m_retryButton, &QPushButton::clicked, this, &SessionView::retryWithPasscode);
    m_retryRow->setVisible(false);
    fl->addWidget(m_retryRow, 0, Qt::AlignHCenter);
    m_cancelReconnect = new QPushButton(QStringLiteral("再接続をやめる"), failed);
    m_cancelReconnect->setObjectName("cancelReconnect");
    m_cancelReconnect->setVisible(false);
    connect(m_cancelReconnect, &QPushButton::clicked, this, [this] {
        if (m_reconnect)
            m_reconnect->cancel();
    });
    fl->addWidget(m_cancelReconnect, 0, Qt::AlignHCenter);
    auto *closeButton = new QPushButton(QStringLiteral("閉じる"), failed);
    closeButton->setObjectName("close");
    closeButton->setDefault(true);
    closeButton->setStyleSheet(Theme::primaryButtonCss(4, 16));
    connect(closeButton, &QPushButton::clicked, this, &SessionView::endSession);
    fl->addWidget(closeButton, 0, Qt::AlignHCenter);
    fl->addStretch();
    m_main->addWidget(failed);
    m_main->addWidget(new QWidget(m_main)); // closed: nothing
    layout->addWidget(m_main, 1);

    layout->addWidget(m_transfers);

    layout->addWidget(divider(this, QFrame::HLine));
    auto *bar = new QWidget(this);
    bar->setObjectName("keyBar");
    buildKeyBar(bar);
    layout->addWidget(bar);

    m_toastLabel = new QLabel(this);
    m_toastLabel->setObjectName("toast");
    m_toastLabel->setStyleSheet(
        QStringLiteral("QLabel { background: %1; color: %2; border-radius: 8px; padding: 6px 12px; }")
            .arg(Theme::css(Theme::toastPlate()), Theme::css(Theme::onFill())));
    m_toastLabel->hide();

    // The Super chords the screen leaves local (the PC keyboard's Command chords).
    auto addShortcut = [this](QKeySequence keys, auto fn) {
        auto *a = new QAction(this);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        connect(a, &QAction::triggered, this, fn);
        addAction(a);
    };
    addShortcut(QKeySequence(Qt::META | Qt::Key_W), [this] {
        if (QWidget *w = window())
            w->close();
    });
    addShortcut(QKeySequence(Qt::META | Qt::Key_M), [this] { window()->showMinimized(); });
    addShortcut(QKeySequence(Qt::META | Qt::Key_H), [this] { window()->showMinimized(); });
    addShortcut(QKeySequence(Qt::META | Qt::Key_Q),
                [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); });

    if (m_session) {
        for (auto sig : {&RemoteSession::stateChanged, &RemoteSession::nameChanged, &RemoteSession::statsChanged,
                         &RemoteSession::videoModeChanged, &RemoteSession::frameSizeChanged})
            connect(m_session, sig, this, &SessionView::refresh);
        connect(m_session, &RemoteSession::monitorsChanged, this, &SessionView::refreshMonitors);
        connect(m_session, &RemoteSession::monitorWindowsChanged, this, &SessionView::refreshMonitors);
        connect(m_session, &RemoteSession::stateChanged, this, &SessionView::refreshMonitors);
        // While the host asks its user, the remaining time counts down on screen.
        m_approvalTick = new QTimer(this);
        m_approvalTick->setInterval(1000);
        connect(m_approvalTick, &QTimer::timeout, this, &SessionView::refresh);
        connect(m_session, &RemoteSession::approvalWaitChanged, this, [this] {
            if (m_session && m_session->approvalDeadline().isValid())
                m_approvalTick->start();
            else
                m_approvalTick->stop();
            refresh();
        });
        // Queued: the picture takes the session's new size first.
        connect(m_session, &RemoteSession::frameSizeChanged, this, &SessionView::applyScale, Qt::QueuedConnection);
        for (auto sig :
             {&RemoteSession::audioAvailableChanged, &RemoteSession::mutedChanged, &RemoteSession::volumeChanged})
            connect(m_session, sig, this, &SessionView::refreshAudio);
        for (auto sig : {&RemoteSession::micChanged, &RemoteSession::stateChanged})
            connect(m_session, sig, this, &SessionView::refreshMic);
        connect(m_session->exchange(), &SessionExchange::permissionsChanged, this, &SessionView::refreshMic);
        m_screen->setSession(m_session);

        // A dropped connection is made again by this window, with the passcode the session holds.
        m_reconnect = new ReconnectPolicy(m_session, this);
        connect(m_reconnect, &ReconnectPolicy::statusChanged, this, &SessionView::refresh);
        m_recorder = new SessionRecorder(m_session, this);
        connect(m_recorder, &SessionRecorder::recordingChanged, this, &SessionView::refreshRecording);
        connect(m_recorder, &SessionRecorder::finished, this,
                [this](const QString &, const QString &error, const QString &note) {
                    if (!error.isEmpty())
                        showToast(QStringLiteral("録画できませんでした: ") + error);
                    else
                        showToast(note.isEmpty() ? QStringLiteral("録画を保存しました") : note);
                });
        m_statistics = new SessionStatistics(m_session, this);
        m_statsOverlay = new StatsOverlay(m_statistics, this);
        m_statsOverlay->setObjectName("statsOverlay");
        m_statsOverlay->hide();
    }
    if (m_config) {
        m_screen->setShowCursor(m_config->showCursor());
        connect(m_config, &AppConfig::showCursorChanged, this,
                [this] { m_screen->setShowCursor(m_config && m_config->showCursor()); });
    }
    refresh();
    refreshMonitors();
    refreshAudio();
    refreshMic();
    refreshRecording();
}

SessionView::~SessionView() {
    // The display windows go with the session's window.
    for (const QPointer<MonitorWindowView> &w : std::as_const(m_monitorWindows))
        delete w.data();
    if (m_screen)
        m_screen->detach();
    // The base destructor closes the window, and the children still react to that (the
    // picture loses focus and releases its keyboard grab, a field ends its editing): their
    // signals must not reach this view's slots, whose members are already gone by then.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

void SessionView::buildHeader(QWidget *header) {
    auto *h = new QHBoxLayout(header);
    h->setContentsMargins(10, 6, 10, 6);
    h->setSpacing(8);

    m_dot = new QLabel(header);
    m_dot->setObjectName("statusDot");
    m_dot->setFixedSize(8, 8);
    h->addWidget(m_dot);
    m_title = new QLabel(header);
    m_title->setObjectName("title");
    QFont headline = m_title->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() + 1);
    m_title->setFont(headline);
    h->addWidget(m_title);
    m_recordMark = new QLabel(QStringLiteral("● 録画中"), header);
    m_recordMark->setObjectName("recordingMark");
    m_recordMark->setStyleSheet(
        QStringLiteral("QLabel { color: %1; font-weight: bold; }").arg(Theme::css(Theme::red())));
    m_recordMark->hide();
    h->addWidget(m_recordMark);

    m_stats = new QLabel(header);
    m_stats->setObjectName("stats");
    QFont small = m_stats->font();
    small.setPointSize(11);
    m_stats->setFont(small);
    m_stats->setForegroundRole(QPalette::PlaceholderText);
    h->addWidget(m_stats);
    m_rightsText = new QLabel(header);
    m_rightsText->setObjectName("rightsText");
    m_rightsText->setStyleSheet(
        QStringLiteral("QLabel { color: %1; font-weight: bold; }").arg(Theme::css(Theme::orange())));
    m_rightsText->hide();
    h->addWidget(m_rightsText);
    h->addStretch();

    m_monitorButton = new QToolButton(header);
    m_monitorButton->setObjectName("monitorMenu");
    m_monitorButton->setText(QStringLiteral("モニタ"));
    m_monitorButton->setFixedWidth(90);
    m_monitorButton->setPopupMode(QToolButton::InstantPopup);
    m_monitorMenu = new QMenu(m_monitorButton);
    m_monitorMenu->setToolTipsVisible(true);
    m_monitorButton->setMenu(m_monitorMenu);
    h->addWidget(m_monitorButton);

    m_qualityButton = new QToolButton(header);
    m_qualityButton->setObjectName("qualityMenu");
    m_qualityButton->setText(QStringLiteral("画質"));
    m_qualityButton->setFixedWidth(80);
    m_qualityButton->setPopupMode(QToolButton::InstantPopup);
    auto *qualityMenu = new QMenu(m_qualityButton);
    // The preset in force is marked (none when the session asked for another quality).
    auto *presetGroup = new QActionGroup(qualityMenu);
    presetGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const QualityPreset &preset : presetList()) {
        const Quality q = preset.quality;
        QAction *a = qualityMenu->addAction(qualityLabel(preset.label, q));
        a->setData(preset.key);
        a->setCheckable(true);
        a->setObjectName(QStringLiteral("preset_") + preset.key);
        presetGroup->addAction(a);
        m_presetActions.append(a);
        connect(a, &QAction::triggered, this, [this, key = preset.key, q] {
            if (m_config)
                m_config->setPreset(key);
            if (m_session)
                m_session->setQuality(q);
            markPreset();
        });
    }
    // Above the presets' rates, on top of whichever preset is in force: only when the
    // host says it keeps up (an older host never says so and keeps its own ceiling).
    m_fastFpsAction = qualityMenu->addAction(QStringLiteral("なめらか  %1fps").arg(QualityRequest::maxFps));
    m_fastFpsAction->setObjectName("fastFps");
    m_fastFpsAction->setCheckable(true);
    connect(m_fastFpsAction, &QAction::triggered, this, &SessionView::setFastFps);
    qualityMenu->setToolTipsVisible(true);
    connect(qualityMenu, &QMenu::aboutToShow, this, &SessionView::markPreset);
    markPreset();
    qualityMenu->addSeparator();
    m_statsAction = qualityMenu->addAction(QStringLiteral("統計を表示"));
    m_statsAction->setObjectName("statsAction");
    m_statsAction->setCheckable(true);
    connect(m_statsAction, &QAction::toggled, this, &SessionView::setStatsVisible);
    m_qualityButton->setMenu(qualityMenu);
    h->addWidget(m_qualityButton);

    m_muteButton = new QToolButton(header);
    m_muteButton->setObjectName("mute");
    m_muteButton->setAutoRaise(true);
    connect(m_muteButton, &QToolButton::clicked, this, [this] {
        if (m_session)
            m_session->setMuted(!m_session->muted());
    });
    h->addWidget(m_muteButton);
    m_volume = new QSlider(Qt::Horizontal, header);
    m_volume->setObjectName("volume");
    m_volume->setRange(0, 100);
    m_volume->setFixedWidth(90);
    connect(m_volume, &QSlider::valueChanged, this, [this](int v) {
        const double volume = v / 100.0;
        if (m_session && std::abs(m_session->volume() - volume) > 0.005)
            m_session->setVolume(volume);
        if (m_config && std::abs(m_config->volume() - volume) > 0.005)
            m_config->setVolume(volume);
    });
    h->addWidget(m_volume);

    // This computer's microphone to the host: off at the start of every session, and only
    // while the host allows it.
    m_micButton = new QToolButton(header);
    m_micButton->setObjectName("micToggle");
    m_micButton->setText(QStringLiteral("マイクを送る"));
    m_micButton->setCheckable(true);
    m_micButton->setAutoRaise(true);
    m_micButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(m_micButton, &QToolButton::toggled, this, [this](bool on) {
        if (m_session)
            m_session->setMicOn(on);
    });
    h->addWidget(m_micButton);

    m_cameraButton = new QToolButton(header);
    m_cameraButton->setObjectName("cameraMenu");
    m_cameraButton->setIcon(SymbolIcons::camera(palette().color(QPalette::WindowText)));
    m_cameraButton->setFixedWidth(60);
    m_cameraButton->setPopupMode(QToolButton::InstantPopup);
    auto *cameraMenu = new QMenu(m_cameraButton);
    connect(cameraMenu->addAction(QStringLiteral("いま見えている画面を保存")), &QAction::triggered, this,
            &SessionView::saveSnapshot);
    connect(cameraMenu->addAction(QStringLiteral("相手側で高画質撮影して保存")), &QAction::triggered, this, [this] {
        if (m_session)
            m_session->requestStill();
    });
    cameraMenu->addSeparator();
    m_recordAction = cameraMenu->addAction(QStringLiteral("録画を開始"));
    m_recordAction->setObjectName("recordAction");
    connect(m_recordAction, &QAction::triggered, this, &SessionView::toggleRecording);
    m_cameraButton->setMenu(cameraMenu);
    h->addWidget(m_cameraButton);

    buildExchangeMenu(header);

    m_actualSizeButton = new QToolButton(header);
    m_actualSizeButton->setObjectName("actualSize");
    m_actualSizeButton->setText(QStringLiteral("等倍"));
    m_actualSizeButton->setCheckable(true);
    m_actualSizeButton->setToolTip(QStringLiteral("相手の 1 画素をこの画面の 1 画素で表示(切ると窓に合わせる)"));
    connect(m_actualSizeButton, &QToolButton::toggled, this, &SessionView::setActualSize);
    h->addWidget(m_actualSizeButton);
    m_fullScreenButton = new QToolButton(header);
    m_fullScreenButton->setObjectName("fullScreen");
    m_fullScreenButton->setText(QStringLiteral("全画面"));
    m_fullScreenButton->setCheckable(true);
    m_fullScreenButton->setToolTip(QStringLiteral("全画面表示(F11)"));
    connect(m_fullScreenButton, &QToolButton::toggled, this, &SessionView::setFullScreen);
    h->addWidget(m_fullScreenButton);
    auto *f11 = new QShortcut(QKeySequence(Qt::Key_F11), this);
    f11->setObjectName("fullScreenShortcut");
    f11->setContext(Qt::WindowShortcut);
    connect(f11, &QShortcut::activated, this, [this] { setFullScreen(!window()->isFullScreen()); });

    m_disconnect = new QPushButton(QStringLiteral("切断"), header);
    m_disconnect->setObjectName("disconnect");
    // Command+Escape on the other build; Super is the PC keyboard's Command key.
    m_disconnect->setShortcut(QKeySequence(Qt::META | Qt::Key_Escape));
    connect(m_disconnect, &QPushButton::clicked, this, &SessionView::endSession);
    h->addWidget(m_disconnect);
}

void SessionView::buildExchangeMenu(QWidget *header) {
    m_clipboardSync = new ClipboardSync(m_session, QGuiApplication::clipboard(), this);
    connect(m_clipboardSync, &ClipboardSync::notice, this, &SessionView::showToast);
    auto *button = new QToolButton(header);
    button->setObjectName("exchangeMenu");
    button->setText(QStringLiteral("転送"));
    button->setPopupMode(QToolButton::InstantPopup);
    auto *menu = new QMenu(button);
    m_clipboardAction = menu->addAction(QStringLiteral("クリップボードを同期"));
    m_clipboardAction->setObjectName("clipboardSync");
    m_clipboardAction->setCheckable(true);
    m_clipboardAction->setChecked(m_clipboardSync->enabled());
    connect(m_clipboardAction, &QAction::toggled, m_clipboardSync, &ClipboardSync::setEnabled);
    m_sendFilesAction = menu->addAction(QStringLiteral("ファイルを送る…"));
    m_sendFilesAction->setObjectName("sendFiles");
    connect(m_sendFilesAction, &QAction::triggered, m_transfers, &FileTransferPanel::chooseFiles);
    m_saveCopiedAction = menu->addAction(QStringLiteral("コピーされたファイルをダウンロードに保存"));
    m_saveCopiedAction->setObjectName("saveCopiedFiles");
    m_saveCopiedAction->setEnabled(false);
    connect(m_saveCopiedAction, &QAction::triggered, this, [this] { m_clipboardSync->saveRemoteFiles(); });
    button->setMenu(menu);
    header->layout()->addWidget(button);
    if (m_session) {
        connect(m_session->exchange(), &SessionExchange::permissionsChanged, this, &SessionView::refreshExchange);
        connect(m_session->exchange(), &SessionExchange::liveChanged, this, &SessionView::refreshExchange);
    }
    refreshExchange();
}

// A bar under the header while the host's copy of files is offered here: a paste in a
// program that takes files gets them, and for the others (or to keep them) the bar's
// "ダウンロードに保存" fetches them into the downloads folder. Closing it leaves the
// same choice in the "転送" menu; the next copy on the host shows it again.
void SessionView::buildCopiedFilesBar(QVBoxLayout *layout) {
    m_copiedBar = new QFrame(this);
    m_copiedBar->setObjectName("copiedFilesBar");
    auto *h = new QHBoxLayout(m_copiedBar);
    h->setContentsMargins(12, 4, 8, 4);
    m_copiedText = new QLabel(m_copiedBar);
    m_copiedText->setObjectName("copiedFilesText");
    m_copiedText->setTextFormat(Qt::PlainText);
    h->addWidget(m_copiedText, 1);
    m_copiedSave = new QPushButton(QStringLiteral("ダウンロードに保存"), m_copiedBar);
    m_copiedSave->setObjectName("saveCopiedFilesButton");
    connect(m_copiedSave, &QPushButton::clicked, this, [this] { m_clipboardSync->saveRemoteFiles(); });
    h->addWidget(m_copiedSave);
    auto *close = new QToolButton(m_copiedBar);
    close->setObjectName("dismissCopiedFiles");
    close->setText(QStringLiteral("×"));
    close->setToolTip(QStringLiteral("閉じる"));
    close->setAutoRaise(true);
    connect(close, &QToolButton::clicked, this, [this] {
        m_copiedDismissed = true;
        refreshCopiedFiles();
    });
    h->addWidget(close);
    layout->addWidget(m_copiedBar);
    connect(m_clipboardSync, &ClipboardSync::remoteFilesOffered, this, [this] {
        m_copiedDismissed = false;
        refreshCopiedFiles();
    });
    connect(m_clipboardSync, &ClipboardSync::remoteFilesChanged, this, &SessionView::refreshCopiedFiles);
    // Saved: the notice says where; the bar has done its work.
    connect(m_clipboardSync, &ClipboardSync::remoteFilesSaved, this, [this] {
        m_copiedDismissed = true;
        refreshCopiedFiles();
    });
    refreshCopiedFiles();
}

void SessionView::refreshCopiedFiles() {
    const QStringList names = m_clipboardSync->remoteFiles();
    const bool saving = m_clipboardSync->saving();
    m_saveCopiedAction->setEnabled(!names.isEmpty() && !saving);
    m_copiedSave->setEnabled(!names.isEmpty() && !saving);
    m_copiedText->setText(saving ? QStringLiteral("コピーされたファイルをダウンロードに保存しています…")
                                 : ClipboardSync::filesOffered(names));
    m_copiedBar->setVisible((saving || !names.isEmpty()) && !m_copiedDismissed);
}

void SessionView::refreshExchange() {
    const SessionExchange *exchange = m_session ? m_session->exchange() : nullptr;
    m_clipboardAction->setEnabled(exchange && exchange->clipAllowed());
    m_sendFilesAction->setEnabled(m_transfers->canSend());
    // The rights in force, and a word when the host changes one.
    const Rights now{!exchange || exchange->inputAllowed(), !exchange || exchange->clipAllowed(),
                     !exchange || exchange->filesAllowed()};
    m_rightsText->setText(rightsText(now.input, now.clip, now.files));
    m_rightsText->setVisible(!m_rightsText->text().isEmpty());
    if (!m_keyHint || !m_screen)
        return; // still being built
    m_keyHint->setText(now.input ? keyHintText(m_screen->keyboardGrabbed())
                                 : QStringLiteral("相手が操作を許可していないため、キーとマウスは届きません"));
    const QString change = rightsChangeText(m_rights, now);
    m_rights = now;
    if (!change.isEmpty())
        showToast(change);
}

QString SessionView::rightsText(bool input, bool clip, bool files) {
    if (!input && !clip && !files)
        return QStringLiteral("閲覧のみ");
    QStringList off;
    if (!input)
        off << QStringLiteral("操作");
    if (!clip)
        off << QStringLiteral("クリップボード");
    if (!files)
        off << QStringLiteral("ファイル");
    return off.isEmpty() ? QString() : off.join(QStringLiteral("・")) + QStringLiteral(" は不可");
}

QString SessionView::rightsChangeText(const Rights &before, const Rights &after) {
    QStringList said;
    auto word = [&said](bool was, bool is, const QString &what) {
        if (was != is)
            said << what + (is ? QStringLiteral("を許可しました") : QStringLiteral("を止めました"));
    };
    word(before.input, after.input, QStringLiteral("操作"));
    word(before.clip, after.clip, QStringLiteral("クリップボード"));
    word(before.files, after.files, QStringLiteral("ファイル転送"));
    return said.isEmpty() ? QString() : QStringLiteral("相手が") + said.join(QStringLiteral("、"));
}

QString SessionView::authenticatingText(const QDateTime &deadline, const QDateTime &now) {
    if (!deadline.isValid())
        return QStringLiteral("認証中…");
    const qint64 left = std::max<qint64>(0, (now.msecsTo(deadline) + 999) / 1000);
    return QStringLiteral("相手の許可を待っています(残り %1 秒)").arg(left);
}

void SessionView::buildKeyBar(QWidget *bar) {
    auto *h = new QHBoxLayout(bar);
    h->setContentsMargins(10, 6, 10, 6);
    h->setSpacing(6);
    auto *cad = new QPushButton(QStringLiteral("Ctrl+Alt+Del"), bar);
    cad->setObjectName("cad");
    cad->setFocusPolicy(Qt::NoFocus);
    connect(cad, &QPushButton::clicked, this, [this] {
        if (m_session)
            m_session->sendInput(QJsonObject{{"t", "cad"}});
    });
    h->addWidget(cad);
    const QList<QPair<QString, QString>> keys{
        {QStringLiteral("Esc"), QStringLiteral("Escape")},  {QStringLiteral("Tab"), QStringLiteral("Tab")},
        {QStringLiteral("←"), QStringLiteral("ArrowLeft")}, {QStringLiteral("↑"), QStringLiteral("ArrowUp")},
        {QStringLiteral("↓"), QStringLiteral("ArrowDown")}, {QStringLiteral("→"), QStringLiteral("ArrowRight")},
    };
    for (const auto &[label, code] : keys) {
        auto *b = new QPushButton(label, bar);
        b->setObjectName("key_" + code);
        b->setFocusPolicy(Qt::NoFocus); // pressing a key button leaves the focus where it was
        connect(b, &QPushButton::clicked, this, [this, code = code] { pressKey(code); });
        h->addWidget(b);
    }
    h->addWidget(divider(bar, QFrame::VLine));
    m_field = new QLineEdit(bar);
    m_field->setObjectName("textField");
    m_field->setPlaceholderText(QStringLiteral("テキスト送信(日本語入力はこちら)"));
    m_field->setMaximumWidth(320);
    m_field->setMinimumWidth(200);
    connect(m_field, &QLineEdit::textChanged, this, &SessionView::setText);
    connect(m_field, &QLineEdit::returnPressed, this, &SessionView::sendText);
    h->addWidget(m_field);
    m_sendButton = new QPushButton(QStringLiteral("送信"), bar);
    m_sendButton->setObjectName("send");
    m_sendButton->setEnabled(false);
    connect(m_sendButton, &QPushButton::clicked, this, &SessionView::sendText);
    h->addWidget(m_sendButton);
    h->addStretch();
    m_keyHint = new QLabel(keyHintText(false), bar);
    m_keyHint->setObjectName("keyHint");
    m_keyHint->setForegroundRole(QPalette::PlaceholderText);
    h->addWidget(m_keyHint);
    connect(m_screen, &RemoteScreenView::keyboardGrabChanged, this, [this](bool grabbed) {
        if (m_rights.input)
            m_keyHint->setText(keyHintText(grabbed));
    });
}

void SessionView::markPreset() {
    for (QAction *a : std::as_const(m_presetActions)) {
        bool inForce = false;
        if (m_session) {
            const Quality preset = presets().value(a->data().toString());
            Quality asked = m_session->quality();
            if (asked.fps > QualityRequest::steadyFps)
                asked.fps = preset.fps;
            inForce = preset == asked;
        }
        a->setChecked(inForce);
    }
    refreshFastFps();
}

QString SessionView::fastFpsRefusal(const QJsonObject &stats) {
    const QJsonValue can = stats.value("canFps");
    if (!can.isDouble())
        return QStringLiteral("相手の端末が処理能力を知らせていないため選べません(映像が届く前か、古い版の相手です)");
    if (can.toDouble() < fastFpsNeeded)
        return QStringLiteral(
                   "相手の端末の取り込みと圧縮が毎秒 %1 コマまでしか追いつかないため選べません(%2 コマ以上で選べます)")
            .arg(int(can.toDouble()))
            .arg(fastFpsNeeded);
    return {};
}

void SessionView::refreshFastFps() {
    if (!m_fastFpsAction)
        return;
    const bool on = m_session && m_session->quality().fps > QualityRequest::steadyFps;
    const QString refusal = m_session ? fastFpsRefusal(m_session->stats()) : fastFpsRefusal({});
    m_fastFpsAction->setChecked(on);
    // Once on it can always be turned off.
    m_fastFpsAction->setEnabled(on || refusal.isEmpty());
    m_fastFpsAction->setToolTip(
        refusal.isEmpty() || on
            ? QStringLiteral("いまの画質のまま毎秒 %1 コマで送ってもらいます").arg(QualityRequest::maxFps)
            : refusal);
}

void SessionView::setFastFps(bool on) {
    if (!m_session)
        return;
    Quality q = m_session->quality();
    if (on) {
        q.fps = QualityRequest::maxFps;
    } else if (q.fps > QualityRequest::steadyFps) {
        // Back to the rate of the preset the other values come from (the chosen one when none does).
        q.fps = m_config ? m_config->quality().fps : standardQuality().fps;
        for (const QualityPreset &p : presetList())
            if (p.quality.scale == q.scale && p.quality.q == q.q && p.quality.kbps == q.kbps)
                q.fps = p.quality.fps;
    }
    m_session->setQuality(q);
    markPreset();
}

void SessionView::retryWithPasscode() {
    const QString passcode = m_retryPasscode->text();
    if (!m_session || passcode.isEmpty())
        return;
    m_retryPasscode->clear();
    m_retryRow->setVisible(false);
    m_session->reconnectWithPasscode(passcode);
}

QString SessionView::keyHintText(bool grabbed) {
    return grabbed ? QStringLiteral("キーボードは相手へ(Alt+Tab なども)・") + RemoteScreenView::escapeChordText() +
                         QStringLiteral(" で解放")
                   : QStringLiteral("キー入力は映像をクリックしてから");
}

void SessionView::setFullScreen(bool on) {
    QWidget *w = window();
    if (on == w->isFullScreen())
        return;
    if (on)
        w->showFullScreen();
    else
        w->showNormal();
    m_fullScreenButton->setChecked(on);
}

void SessionView::setActualSize(bool on) {
    m_actualSize = on;
    m_actualSizeButton->setChecked(on);
    applyScale();
}

void SessionView::applyScale() {
    const QSizeF frame = m_screen->frameSize();
    m_screen->setActualPixels(m_actualSize);
    if (m_actualSize && frame.width() > 0 && frame.height() > 0) {
        // One remote pixel per device pixel: on a screen with a device pixel ratio of 2
        // that is half as many logical pixels.
        m_screenScroll->setWidgetResizable(false);
        m_screen->setFixedSize(m_screen->actualPixelsSize());
    } else {
        m_screen->setMinimumSize(0, 0);
        m_screen->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        m_screenScroll->setWidgetResizable(true);
    }
}

QString SessionView::displayTitle(const QString &name, const QString &targetId) {
    return name.isEmpty() ? formattedId(targetId) : name;
}

QString SessionView::windowTitle(const QString &name, const QString &targetId) {
    return displayTitle(name, targetId) + QStringLiteral(" — velmo-remote");
}

QString SessionView::statsText(const QJsonObject &stats, const QString &videoMode, const QSizeF &frameSize) {
    const QJsonValue codecValue = stats.value("codec");
    QString text = (codecValue.isString() ? codecValue.toString() : videoMode).toUpper();
    const QJsonValue enc = stats.value("enc");
    if (enc.isString())
        text += "/" + enc.toString();
    text +=
        QStringLiteral("  %1fps  %2kbps  ").arg(wholeNumber(stats.value("fps"))).arg(wholeNumber(stats.value("kbps")));
    text += stats.value("relay").toBool(false) ? QStringLiteral("RELAY") : QStringLiteral("P2P");
    text += QStringLiteral("  ");
    if (frameSize.width() > 0)
        text += QStringLiteral("%1×%2").arg(qint64(frameSize.width())).arg(qint64(frameSize.height()));
    else
        text += QStringLiteral("-");
    return text;
}

QList<SessionView::MonitorEntry> SessionView::monitorEntries(const QList<Monitor> &monitors) {
    QList<MonitorEntry> out;
    if (monitors.size() >= 2)
        out.append({QStringLiteral("全モニタ"), QStringLiteral("all"), 0});
    for (const Monitor &m : monitors) {
        QString label = QStringLiteral("%1  %2×%3").arg(m.name).arg(m.w).arg(m.h);
        if (m.primary)
            label += QStringLiteral("  ★");
        out.append({label, QStringLiteral("single"), m.id});
    }
    return out;
}

QString SessionView::qualityLabel(const QString &label, const Quality &q) {
    return QStringLiteral("%1  %2fps / %3% / %4kbps").arg(label).arg(q.fps).arg(int(q.scale * 100)).arg(q.kbps);
}

QString SessionView::proposedFileName(const QString &targetId, const QDateTime &localTime) {
    return QStringLiteral("velmo-remote-") + targetId + "-" + localTime.toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".png");
}

void SessionView::setText(const QString &text) {
    if (text == m_text)
        return;
    m_text = text;
    if (m_field->text() != text)
        m_field->setText(text);
    m_sendButton->setEnabled(!text.isEmpty());
    Q_EMIT textChanged();
}

void SessionView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (m_started || !m_session)
        return;
    m_started = true;
    QPointer<SessionView> self(this);
    m_session->setOnStill([self](const QByteArray &bytes) {
        if (!self)
            return;
        const QImage image = QImage::fromData(bytes);
        if (!image.isNull()) // undecodable stills are dropped
            self->saveImage(image, QStringLiteral("高画質スクリーンショット"));
    });
    Q_EMIT startedChanged();
    m_session->start();
}

void SessionView::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    placeToast();
    placeStats();
}

void SessionView::refresh() {
    const RemoteSession::State state = m_session ? m_session->state() : RemoteSession::State::Closed;
    const bool connected = state == RemoteSession::State::Connected;
    m_dot->setPixmap(SymbolIcons::dot(connected ? Theme::success() : Theme::warning()).pixmap(8, 8));
    if (m_session) {
        m_title->setText(displayTitle(m_session->name(), m_session->targetId()));
        m_stats->setText(statsText(m_session->stats(), m_session->videoMode(), m_session->frameSize()));
        refreshFastFps();
        if (QWidget *w = window(); w && w != this && w->isWindow())
            w->setWindowTitle(windowTitle(m_session->name(), m_session->targetId()));
    }
    switch (state) {
    case RemoteSession::State::Connecting:
    case RemoteSession::State::Authenticating:
        if (m_reconnect && m_reconnect->active() && state == RemoteSession::State::Connecting)
            m_progressText->setText(m_reconnect->statusText());
        else
            m_progressText->setText(
                state == RemoteSession::State::Authenticating
                    ? authenticatingText(m_session->approvalDeadline(), QDateTime::currentDateTimeUtc())
                    : m_session->name() + QStringLiteral(" に接続中…"));
        m_main->setCurrentIndex(connectingPage);
        break;
    case RemoteSession::State::Connected:
        if (m_main->currentIndex() != screenPage) {
            m_main->setCurrentIndex(screenPage);
            m_screen->setFocus(Qt::OtherFocusReason);
        }
        break;
    case RemoteSession::State::Failed:
        m_failureText->setText(m_session->failureText());
        m_reconnectText->setText(m_reconnect ? m_reconnect->statusText() : QString());
        m_cancelReconnect->setVisible(m_reconnect && m_reconnect->active());
        if (m_session->passcodeRefused() && !m_retryRow->isVisible()) {
            m_retryRow->setVisible(true);
            m_retryPasscode->setFocus(Qt::OtherFocusReason);
        } else if (!m_session->passcodeRefused()) {
            m_retryRow->setVisible(false);
        }
        m_main->setCurrentIndex(failedPage);
        break;
    case RemoteSession::State::Closed:
        m_main->setCurrentIndex(emptyPage);
        if (!m_dismissed) {
            m_dismissed = true;
            QMetaObject::invokeMethod(this, &SessionView::dismissRequested, Qt::QueuedConnection);
        }
        break;
    }
}

void SessionView::refreshMonitors() {
    // clear() leaves submenus alive (they are children, not actions of the menu).
    if (auto *old = m_monitorMenu->findChild<QMenu *>("monitorWindowMenu")) {
        old->setObjectName(QString());
        old->deleteLater();
    }
    m_monitorMenu->clear();
    if (!m_session)
        return;
    const QList<MonitorEntry> entries = monitorEntries(m_session->monitors());
    for (const MonitorEntry &e : entries) {
        QAction *a = m_monitorMenu->addAction(e.label);
        connect(a, &QAction::triggered, this, [this, e] {
            if (m_session)
                m_session->selectMonitor(e.mode, e.id);
        });
    }
    if (m_session->monitors().isEmpty())
        return;
    // A display in a window of its own: only hosts that say they can (older ones show the
    // entry disabled, with the reason).
    m_monitorMenu->addSeparator();
    QMenu *windows = m_monitorMenu->addMenu(windowMenuText());
    windows->setObjectName("monitorWindowMenu");
    windows->setToolTipsVisible(true);
    const bool able = m_session->monitorWindows() && m_session->state() == RemoteSession::State::Connected;
    windows->menuAction()->setEnabled(able);
    windows->menuAction()->setToolTip(m_session->monitorWindows()
                                          ? QStringLiteral("モニタをそれぞれのウィンドウで表示します")
                                          : RemoteSession::noWindowsText());
    for (const MonitorEntry &e : entries) {
        if (e.mode != QLatin1String("single"))
            continue;
        QAction *a = windows->addAction(e.label);
        connect(a, &QAction::triggered, this, [this, e] { openMonitorWindow(int(e.id)); });
    }
}

MonitorWindowView *SessionView::openMonitorWindow(int monitorId) {
    if (!m_session)
        return nullptr;
    MonitorView *view = m_session->openMonitorView(monitorId, m_session->quality().scale);
    if (!view) {
        showToast(m_session->monitorWindows() ? QStringLiteral("これ以上モニタのウィンドウを開けません")
                                              : RemoteSession::noWindowsText());
        return nullptr;
    }
    QString label;
    for (const MonitorEntry &e : monitorEntries(m_session->monitors()))
        if (e.mode == QLatin1String("single") && e.id == monitorId)
            label = e.label;
    auto *w = new MonitorWindowView(
        m_session, view, windowTitle(m_session->name(), m_session->targetId()) + QStringLiteral(" — ") + label);
    m_monitorWindows.removeAll(nullptr);
    m_monitorWindows.append(w);
    w->show();
    return w;
}

QList<MonitorWindowView *> SessionView::monitorWindows() const {
    QList<MonitorWindowView *> out;
    for (const QPointer<MonitorWindowView> &w : m_monitorWindows)
        if (w)
            out.append(w);
    return out;
}

void SessionView::refreshMic() {
    const bool allowed = m_session && m_session->exchange()->micAllowed();
    const bool connected = m_session && m_session->state() == RemoteSession::State::Connected;
    m_micButton->setEnabled(allowed && connected);
    {
        const QSignalBlocker block(m_micButton);
        m_micButton->setChecked(m_session && m_session->micOn());
    }
    QString tip;
    if (!allowed)
        tip = QStringLiteral("ホストがマイクの送信を許可していません");
    else if (m_session->micOn() && !m_session->micError().isEmpty())
        tip = m_session->micError();
    else if (m_session->micSending())
        tip = QStringLiteral("この端末のマイクの音をホストに送っています");
    else
        tip = QStringLiteral("この端末のマイクの音をホストに送ります");
    m_micButton->setToolTip(tip);
}

void SessionView::refreshAudio() {
    const bool available = m_session && m_session->audioAvailable();
    m_muteButton->setVisible(available);
    m_volume->setVisible(available);
    if (!m_session)
        return;
    const bool muted = m_session->muted();
    m_muteButton->setIcon(SymbolIcons::speaker(muted, palette().color(QPalette::WindowText)));
    m_muteButton->setToolTip(muted ? QStringLiteral("音を出す") : QStringLiteral("消音"));
    const int v = int(std::lround(std::clamp(m_session->volume(), 0.0, 1.0) * 100));
    if (m_volume->value() != v) {
        const QSignalBlocker block(m_volume);
        m_volume->setValue(v);
    }
}

void SessionView::endSession() {
    if (m_store)
        m_store->close(m_sid);
    else if (m_session)
        m_session->close();
    if (!m_dismissed) {
        m_dismissed = true;
        Q_EMIT dismissRequested();
    }
}

void SessionView::pressKey(const QString &code) {
    if (!m_session)
        return;
    m_session->sendInput(QJsonObject{{"t", "kd"}, {"code", code}});
    QPointer<RemoteSession> session = m_session;
    QTimer::singleShot(30, this, [session, code] {
        if (session)
            session->sendInput(QJsonObject{{"t", "ku"}, {"code", code}});
    });
}

void SessionView::sendText() {
    if (m_text.isEmpty())
        return;
    if (m_session)
        m_session->sendInput(QJsonObject{{"t", "text"}, {"s", m_text}});
    setText(QString());
}

void SessionView::saveSnapshot() {
    const QImage image = m_session ? m_session->snapshot() : QImage();
    if (image.isNull()) {
        showToast(QStringLiteral("まだ映像がありません"));
        return;
    }
    saveImage(image, QStringLiteral("スクリーンショット"));
}

void SessionView::showToast(const QString &message) {
    // A serial rather than the text decides, so a repeated message also gets its full time.
    const quint64 serial = ++m_toastSerial;
    m_toast = message;
    m_toastLabel->setText(message);
    m_toastLabel->adjustSize();
    placeToast();
    m_toastLabel->show();
    m_toastLabel->raise();
    Q_EMIT toastChanged();
    QTimer::singleShot(2500, this, [this, serial] {
        if (serial != m_toastSerial)
            return;
        m_toast.clear();
        m_toastLabel->hide();
        Q_EMIT toastChanged();
    });
}

void SessionView::placeStats() {
    if (!m_statsOverlay || !m_main)
        return;
    m_statsOverlay->move(m_main->geometry().topLeft() + QPoint(8, 8));
    m_statsOverlay->raise();
}

void SessionView::setStatsVisible(bool visible) {
    if (!m_statistics)
        return;
    if (m_statsAction && m_statsAction->isChecked() != visible) {
        const QSignalBlocker block(m_statsAction);
        m_statsAction->setChecked(visible);
    }
    m_statistics->setRunning(visible);
    m_statsOverlay->setVisible(visible);
    placeStats();
}

void SessionView::refreshRecording() {
    const bool recording = m_recorder && m_recorder->recording();
    m_recordMark->setVisible(recording);
    m_recordAction->setText(recording ? QStringLiteral("録画を停止") : QStringLiteral("録画を開始"));
}

void SessionView::toggleRecording() {
    if (!m_recorder)
        return;
    if (m_recorder->recording()) {
        m_recorder->stop();
        return;
    }
    if (!m_session || m_session->state() != RemoteSession::State::Connected) {
        showToast(QStringLiteral("接続していないため録画できません"));
        return;
    }
    // The same dialog as the screenshots, in the videos folder, with the recording's container.
    auto *dialog = new QFileDialog(this);
    dialog->setObjectName("recordDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Matroska (*.mkv)"));
    dialog->setDefaultSuffix(QStringLiteral("mkv"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setDirectory(Paths::videosDir());
    dialog->selectFile(SessionRecorder::proposedFileName(m_session->targetId(), QDateTime::currentDateTime()));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &path) {
        if (!path.isEmpty())
            startRecording(path);
    });
    dialog->show();
}

void SessionView::startRecording(const QString &path) {
    if (!m_recorder)
        return;
    const Result<std::monostate> started = m_recorder->start(path);
    if (!started.ok())
        showToast(QStringLiteral("録画できませんでした: ") + started.error.message);
}

void SessionView::placeToast() {
    if (!m_toastLabel)
        return;
    const QSize s = m_toastLabel->sizeHint();
    m_toastLabel->setGeometry((width() - s.width()) / 2, height() - s.height() - 70, s.width(), s.height());
}

void SessionView::saveImage(const QImage &image, const QString &label) {
    if (image.isNull()) {
        showToast(QStringLiteral("画像を取り出せませんでした"));
        return;
    }
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(image)) {
            showToast(QStringLiteral("PNG に変換できませんでした"));
            return;
        }
    }
    const QString targetId = m_session ? m_session->targetId() : QString();
    auto *dialog = new QFileDialog(this);
    dialog->setObjectName("saveDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("PNG (*.png)"));
    dialog->setDefaultSuffix(QStringLiteral("png"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setDirectory(Paths::picturesDir());
    dialog->selectFile(proposedFileName(targetId, QDateTime::currentDateTime()));
    connect(dialog, &QFileDialog::fileSelected, this, [this, png, label](const QString &path) {
        if (path.isEmpty())
            return;
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(png) == png.size() && file.flush()) {
            file.close();
            showToast(label + QStringLiteral("を保存しました"));
        } else {
            showToast(QStringLiteral("保存できませんでした: ") + ErrorText::file(file.error(), file.errorString()));
        }
    });
    dialog->show();
}
