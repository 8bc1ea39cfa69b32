#pragma once

#include "config/Quality.h"
#include "session/Monitor.h"
#include "session/RemoteSession.h"

#include <QDateTime>
#include <QJsonObject>
#include <QPointer>
#include <QWidget>

class AppConfig;
class QAction;
class QFrame;
class ClipboardSync;
class FileTransferPanel;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSlider;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;
class ReconnectPolicy;
class RemoteScreenView;
class SessionRecorder;
class SessionStatistics;
class MonitorWindowView;
class SessionStore;
class StatsOverlay;

// The content of a session window: header (status, statistics, monitor and
// quality menus, audio, screenshots, "切断"), the remote screen or the
// connecting/failure panel, and the key bar.
class SessionView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(QString toast READ toast NOTIFY toastChanged)
    Q_PROPERTY(bool started READ started NOTIFY startedChanged)

public:
    // Messages on the failure panel wrap at this width (and at the window's, when narrower).
    static constexpr int readableTextWidth = 560;
    struct MonitorEntry {
        QString label;
        QString mode; // "all" or "single"
        int id = 0;
        bool operator==(const MonitorEntry &) const = default;
    };

    SessionView(RemoteSession *session, AppConfig *config, SessionStore *store, QWidget *parent = nullptr);
    ~SessionView() override;

    RemoteSession *session() const { return m_session; }
    QString text() const { return m_text; }
    void setText(const QString &text);
    QString toast() const { return m_toast; }
    bool started() const { return m_started; }
    RemoteScreenView *screen() const { return m_screen; }
    FileTransferPanel *transfers() const { return m_transfers; }
    ClipboardSync *clipboardSync() const { return m_clipboardSync; }

    // name when not empty, else the grouped device ID.
    static QString displayTitle(const QString &name, const QString &targetId);
    static QString windowTitle(const QString &name, const QString &targetId);
    // codec[/enc]  NNfps  NNkbps  P2P|RELAY  W×H (or "-").
    static QString statsText(const QJsonObject &stats, const QString &videoMode, const QSizeF &frameSize);
    // The "モニタ" menu: "全モニタ" first when there are two or more displays.
    static QList<MonitorEntry> monitorEntries(const QList<Monitor> &monitors);
    // Below them, the submenu that opens a display in a window of its own.
    static QString windowMenuText() { return QStringLiteral("別ウィンドウで表示"); }
    // Opens display `monitorId` in a window of its own; null when the host cannot.
    MonitorWindowView *openMonitorWindow(int monitorId);
    QList<MonitorWindowView *> monitorWindows() const;
    // label  NNfps / NN% / NNkbps
    static QString qualityLabel(const QString &label, const Quality &q);
    static QString proposedFileName(const QString &targetId, const QDateTime &localTime);

    // The actions of the header and the key bar, as the buttons run them.
    void endSession();
    void pressKey(const QString &code);
    void sendText();
    void saveSnapshot();
    void showToast(const QString &message);
    // Encodes the image and offers a save dialog; the outcome comes as a toast.
    void saveImage(const QImage &image, const QString &label);
    // "録画を開始" offers a save dialog and records into the chosen file; "録画を停止" finishes it.
    void toggleRecording();
    // Starts recording into path at once (the dialog's confirmation); failures come as a toast.
    void startRecording(const QString &path);
    // The statistics overlay over the screen ("統計を表示" in the "画質" menu).
    void setStatsVisible(bool visible);

    ReconnectPolicy *reconnectPolicy() const { return m_reconnect; }
    SessionRecorder *recorder() const { return m_recorder; }
    SessionStatistics *statistics() const { return m_statistics; }
    StatsOverlay *statsOverlay() const { return m_statsOverlay; }

Q_SIGNALS:
    void textChanged();
    void toastChanged();
    void startedChanged();
    // The window should go away (the session ended or is closed).
    void dismissRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

public:
    // The key bar's hint: click first, or where the keys go and how to get them back.
    static QString keyHintText(bool grabbed);
    void setFullScreen(bool on);
    // One remote pixel per screen pixel, or the picture fitted to the window.
    void setActualSize(bool on);
    bool actualSize() const { return m_actualSize; }
    // "再試行" with the passcode typed in the failure panel.
    void retryWithPasscode();
    struct Rights {
        bool input = true;
        bool clip = true;
        bool files = true;
    };
    // "閲覧のみ", "操作・ファイル は不可", or "" when everything is allowed.
    static QString rightsText(bool input, bool clip, bool files);
    // "相手が操作を止めました" and the like; "" when nothing changed.
    static QString rightsChangeText(const Rights &before, const Rights &after);
    // "認証中…", or "相手の許可を待っています(残り N 秒)" while the host asks its user.
    static QString authenticatingText(const QDateTime &deadline, const QDateTime &now);
    // Checks the quality menu's entry of the preset in force (with a frame rate above the
    // steady one, the preset the other values come from).
    void markPreset();
    // The quality menu's "60fps" entry is offered when the host's statistics say it
    // sustains at least this many frames a second of the current picture ("canFps").
    static constexpr int fastFpsNeeded = 50;
    // Why the entry cannot be chosen with these statistics; "" when it can.
    static QString fastFpsRefusal(const QJsonObject &stats);
    // The session's quality at the highest frame rate (on) or back at its preset's (off).
    void setFastFps(bool on);

private:
    void applyScale();
    void buildHeader(QWidget *header);
    void buildKeyBar(QWidget *bar);
    void refresh();
    void refreshMonitors();
    void refreshAudio();
    void refreshMic();
    void buildExchangeMenu(QWidget *header);
    void refreshExchange();
    void buildCopiedFilesBar(QVBoxLayout *layout);
    void refreshCopiedFiles();
    void placeToast();
    void placeStats();
    void refreshRecording();
    void refreshFastFps();

    QPointer<RemoteSession> m_session;
    QPointer<AppConfig> m_config;
    QPointer<SessionStore> m_store;
    QString m_sid;
    QString m_text;
    QString m_toast;
    quint64 m_toastSerial = 0;
    bool m_started = false;
    bool m_dismissed = false;

    QLabel *m_dot = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_stats = nullptr;
    QToolButton *m_monitorButton = nullptr;
    QMenu *m_monitorMenu = nullptr;
    QList<QPointer<MonitorWindowView>> m_monitorWindows;
    QToolButton *m_qualityButton = nullptr;
    QToolButton *m_muteButton = nullptr;
    QSlider *m_volume = nullptr;
    QToolButton *m_micButton = nullptr;
    QToolButton *m_cameraButton = nullptr;
    QToolButton *m_actualSizeButton = nullptr;
    QToolButton *m_fullScreenButton = nullptr;
    QLabel *m_keyHint = nullptr;
    QList<QAction *> m_presetActions;
    QAction *m_fastFpsAction = nullptr;
    QLabel *m_rightsText = nullptr;
    Rights m_rights;
    QTimer *m_approvalTick = nullptr;
    QWidget *m_retryRow = nullptr;
    QLineEdit *m_retryPasscode = nullptr;
    QPushButton *m_retryButton = nullptr;
    QPushButton *m_cancelReconnect = nullptr;
    class QScrollArea *m_screenScroll = nullptr;
    bool m_actualSize = false;
    QPushButton *m_disconnect = nullptr;
    QStackedWidget *m_main = nullptr;
    QLabel *m_progressText = nullptr;
    QLabel *m_failureText = nullptr;
    RemoteScreenView *m_screen = nullptr;
    QLineEdit *m_field = nullptr;
    QPushButton *m_sendButton = nullptr;
    QLabel *m_toastLabel = nullptr;

    ReconnectPolicy *m_reconnect = nullptr;
    QLabel *m_reconnectText = nullptr;
    SessionRecorder *m_recorder = nullptr;
    QAction *m_recordAction = nullptr;
    QLabel *m_recordMark = nullptr;
    SessionStatistics *m_statistics = nullptr;
    StatsOverlay *m_statsOverlay = nullptr;
    QAction *m_statsAction = nullptr;
    FileTransferPanel *m_transfers = nullptr;
    ClipboardSync *m_clipboardSync = nullptr;
    QAction *m_clipboardAction = nullptr;
    QAction *m_sendFilesAction = nullptr;
    QAction *m_saveCopiedAction = nullptr;
    QFrame *m_copiedBar = nullptr;
    QLabel *m_copiedText = nullptr;
    QPushButton *m_copiedSave = nullptr;
    bool m_copiedDismissed = false;
};
