#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <functional>

class AgentController;
class AppConfig;
class LocalServer;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProcess;
class QProgressBar;
class QPushButton;
class Signaling;

// The "設定" tab: server and token (saved with a button), default quality,
// video path and cursor overlay (applied at once), the local agent's audio, and
// the removal of the product for this user.
class SettingsPanelView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(QString token READ token WRITE setToken NOTIFY tokenChanged)
    Q_PROPERTY(bool saved READ saved NOTIFY savedChanged)
    Q_PROPERTY(bool confirmRemove READ confirmRemove WRITE setConfirmRemove NOTIFY confirmRemoveChanged)
    Q_PROPERTY(bool removing READ removing NOTIFY removingChanged)
    Q_PROPERTY(QString removeLog READ removeLog NOTIFY removeLogChanged)

public:
    // None is owned; each may be null. A saved server change restarts the agent, after the
    // local server made sure the default address answers, and reconnects signaling.
    SettingsPanelView(AppConfig *config, AgentController *agent, LocalServer *localServer, Signaling *signaling,
                      QWidget *parent = nullptr);
    ~SettingsPanelView() override;

    QString server() const { return m_server; }
    void setServer(const QString &v);
    QString token() const { return m_token; }
    void setToken(const QString &v);
    bool saved() const { return m_saved; }
    bool confirmRemove() const { return m_confirmRemove; }
    void setConfirmRemove(bool v);
    bool removing() const { return m_removing; }
    QString removeLog() const { return m_removeLog; }

    // Where the uninstaller is looked for, and what ends the application after a
    // removal (the application's quit unless set).
    void setUninstallScript(const QString &path) { m_script = path; }
    void setQuitHandler(std::function<void()> quit) { m_quit = std::move(quit); }

    // Leading and trailing spaces and tabs removed (line breaks are kept).
    static QString trimmed(const QString &s);
    // label  NNfps / NN% / NNkbps
    static QString presetLabel(const QString &key);

    void save();
    void removeEverything();

Q_SIGNALS:
    void serverChanged();
    void tokenChanged();
    void savedChanged();
    void confirmRemoveChanged();
    void removingChanged();
    void removeLogChanged();

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The constructor's sections, top to bottom.
    QGroupBox *buildServerBox(QWidget *parent);
    QGroupBox *buildQualityBox(QWidget *parent);
    QGroupBox *buildAudioBox(QWidget *parent);
    QGroupBox *buildRemoveBox(QWidget *parent);
    void setSaved(bool v);
    // The outcome of checking the saved server, under the save button ("" hides it).
    void setServerCheck(const QString &text, const QColor &colour);
    void setRemoving(bool v);
    void setRemoveLog(const QString &v);
    void syncFromConfig();
    void syncFromAgent();
    void finishRemoval(const QString &output);

    QPointer<AppConfig> m_config;
    QPointer<AgentController> m_agent;
    QPointer<LocalServer> m_localServer;
    QPointer<Signaling> m_signaling;
    QString m_server;
    QString m_token;
    bool m_saved = false;
    bool m_confirmRemove = false;
    bool m_removing = false;
    QString m_removeLog;
    QString m_script;
    std::function<void()> m_quit;
    QPointer<QProcess> m_process;
    QByteArray m_output;

    QLineEdit *m_serverField = nullptr;
    QLineEdit *m_tokenField = nullptr;
    QLabel *m_savedLabel = nullptr;
    QLabel *m_serverCheck = nullptr;
    QComboBox *m_preset = nullptr;
    QComboBox *m_video = nullptr;
    QCheckBox *m_cursor = nullptr;
    QCheckBox *m_audioOn = nullptr;
    QComboBox *m_audioSource = nullptr;
    QPushButton *m_removeButton = nullptr;
    QProgressBar *m_removeProgress = nullptr;
    QPlainTextEdit *m_logView = nullptr;
    QPointer<QMessageBox> m_confirm;
};
