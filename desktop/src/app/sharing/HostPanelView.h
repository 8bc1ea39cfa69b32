#pragma once

#include "protocol/agent/ControlStatus.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>

class AgentController;
class AppConfig;
class EulaSheet;
class LocalServer;
class QAbstractButton;
class QBoxLayout;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class ServerTrust;

// The host tab: what the local agent reports, and every control that changes it.
class HostPanelView : public QWidget {
    Q_OBJECT
public:
    // A flood of sessions or controllers lists this many rows and a count of the rest.
    static constexpr int maxRows = 50;
    static constexpr int logLinesShown = 80;

    // None is owned; each may be null (that part of the panel then shows nothing).
    HostPanelView(AgentController *agent, AppConfig *config, LocalServer *localServer, ServerTrust *trust,
                  QWidget *parent = nullptr);
    ~HostPanelView() override;

    // View state, readable for tests.
    QString nameEdit() const;
    QString fixedInput() const;
    std::optional<QString> copied() const { return m_copied; }
    bool eulaDismissed() const { return m_eulaDismissed; }
    EulaSheet *eulaSheet() const;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void build();
    QWidget *buildHeader();
    QWidget *buildAgentEnded(QWidget *parent);
    QGroupBox *buildAsking();
    QGroupBox *buildPermission();
    QGroupBox *buildResident();
    QGroupBox *buildDeviceId();
    QGroupBox *buildPasscode();
    QGroupBox *buildDevice();
    QGroupBox *buildSessions();
    QGroupBox *buildControllers();
    QGroupBox *buildLog();

    void resetViewState();
    void refresh();
    void refreshLog();
    void refreshSessions(bool force);
    void refreshControllers(bool force);
    void refreshMonitors();
    void refreshCopyLabels();
    void markPreset();
    void refreshElapsed();
    void maybeShowEula();
    void copyButtonPressed(const QString &value);
    void submitName();
    void addControllerPressed();

    QPointer<AgentController> m_agent;
    QPointer<AppConfig> m_config;
    QPointer<LocalServer> m_localServer;
    QPointer<ServerTrust> m_trust;

    // View state.
    std::optional<QString> m_copied;
    bool m_eulaDismissed = false;
    bool m_resetOnShow = true;
    std::optional<QString> m_reportedName;

    // Header.
    QWidget *m_dot = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_error = nullptr;
    QCheckBox *m_sharing = nullptr;
    QCheckBox *m_noticeBar = nullptr;
    QWidget *m_agentEnded = nullptr;
    QPushButton *m_residentRoute = nullptr;
    // The desktop asks its user whether to share (its own dialog).
    QGroupBox *m_askingBox = nullptr;
    // Permission warning.
    QGroupBox *m_permBox = nullptr;
    QWidget *m_screenTexts = nullptr;
    QWidget *m_inputTexts = nullptr;
    QPushButton *m_screenButton = nullptr;
    QPushButton *m_inputButton = nullptr;
    // Resident agent.
    QLabel *m_residentIcon = nullptr;
    QLabel *m_residentText = nullptr;
    QLabel *m_residentCaption = nullptr;
    QPushButton *m_installResident = nullptr;
    // Device ID and passcodes.
    QLabel *m_id = nullptr;
    QLabel *m_idNote = nullptr; // why there is no ID
    QPushButton *m_copyId = nullptr;
    QLabel *m_autoPass = nullptr;
    QPushButton *m_copyPass = nullptr;
    QPushButton *m_rotate = nullptr;
    QLabel *m_fixedState = nullptr;
    QLineEdit *m_fixed = nullptr;
    QPushButton *m_setFixed = nullptr;
    QPushButton *m_clearFixed = nullptr;
    QButtonGroup *m_mode = nullptr;
    QWidget *m_modeBox = nullptr;
    // Device.
    QLineEdit *m_name = nullptr;
    QPushButton *m_saveName = nullptr;
    QLabel *m_server = nullptr;
    QLabel *m_serverOrigin = nullptr; // whether this application started the server in use
    QLabel *m_version = nullptr;
    QLabel *m_encoder = nullptr;
    QLabel *m_backend = nullptr;
    QCheckBox *m_unattended = nullptr;
    QList<QPushButton *> m_presetButtons;
    QLabel *m_audio = nullptr;
    QLabel *m_monitorCount = nullptr;
    QVBoxLayout *m_monitorRows = nullptr;
    std::optional<QList<ControlMonitor>> m_shownMonitors;
    // Sessions.
    QVBoxLayout *m_sessionRows = nullptr;
    std::optional<QList<ControlSession>> m_shownSessions;
    struct SessionRow {
        QWidget *row = nullptr;
        QLabel *pic = nullptr;
        QLabel *name = nullptr;
        QLabel *detail = nullptr;
        QLabel *caption = nullptr;
        QLabel *link = nullptr; // how the picture reaches this viewer
        ControlSession shown;
        bool iconDirty = true;
    };
    SessionRow makeSessionRow(const ControlSession &s, QWidget *box);
    void updateSessionRow(SessionRow &row, const ControlSession &s, qint64 now);
    QHash<QString, SessionRow> m_rows;
    QStringList m_rowOrder;
    QLabel *m_noSessions = nullptr;
    QLabel *m_moreSessions = nullptr;
    QTimer m_elapsedTimer;
    // Controllers.
    QVBoxLayout *m_controllerRows = nullptr;
    std::optional<QList<ControlController>> m_shownControllers;
    QLineEdit *m_ctlLabel = nullptr;
    QLineEdit *m_ctlPub = nullptr;
    QPushButton *m_addController = nullptr;
    // Log.
    QToolButton *m_logToggle = nullptr;
    QPlainTextEdit *m_log = nullptr;
    QString m_shownLog;

    QPointer<EulaSheet> m_eula;
};
