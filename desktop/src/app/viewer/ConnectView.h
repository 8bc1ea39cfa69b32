#pragma once

#include "config/DeviceEntry.h"
#include "protocol/DeviceInfo.h"

#include <QHash>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

class Api;
class AppConfig;
class DeviceRowView;
class QButtonGroup;
class QDialog;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class ServerTrust;
class SessionStore;
class Signaling;

// The "接続" tab: the address card from which a viewer connection starts, and
// the recents, favourites and server device lists.
class ConnectView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString targetId READ targetId WRITE setTargetId NOTIFY targetIdChanged)
    Q_PROPERTY(QString passcode READ passcode WRITE setPasscode NOTIFY passcodeChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(int tab READ tab WRITE setTab NOTIFY tabChanged)
    Q_PROPERTY(QString aliasText READ aliasText WRITE setAliasText NOTIFY aliasTextChanged)
    Q_PROPERTY(QString serverMsg READ serverMsg NOTIFY serverMsgChanged)

public:
    using OpenWindow = std::function<void(const QString &sid)>;

    // api is required; config, signaling, trust and store may be null (the lists stay empty,
    // no server status, a connect opens nothing). openWindow shows the window of a new session.
    ConnectView(AppConfig *config, Signaling *signaling, Api *api, ServerTrust *trust, SessionStore *store,
                OpenWindow openWindow, QWidget *parent = nullptr);
    ~ConnectView() override;

    QString targetId() const { return m_targetId; }
    void setTargetId(const QString &v);
    QString passcode() const { return m_passcode; }
    void setPasscode(const QString &v);
    QString message() const { return m_message; }
    bool busy() const { return m_busy; }
    int tab() const { return m_tab; }
    void setTab(int tab);
    QString aliasText() const { return m_aliasText; }
    void setAliasText(const QString &v);
    QString serverMsg() const { return m_serverMsg; }
    QHash<QString, bool> onlineCache() const { return m_onlineCache; }
    QHash<QString, QImage> thumbCache() const { return m_thumbCache; }
    std::optional<DeviceEntry> renaming() const { return m_renaming; }
    void setRenaming(const std::optional<DeviceEntry> &entry);
    QList<DeviceInfo> serverDevices() const { return m_serverDevices; }
    std::optional<DeviceInfo> deleting() const { return m_deleting; }
    void setDeleting(const std::optional<DeviceInfo> &device);
    // The rows of the list shown for a tab (for tests and accessibility).
    QList<DeviceRowView *> rows(int tab) const;

    // The replacement of the ID field's text: the first nine digits grouped, when
    // there are nine and the text is not already that; else nothing.
    static std::optional<QString> groupedTargetId(const QString &text);
    // The first failing check of a connect: the text to show, or nothing.
    static std::optional<QString> connectCheck(const QString &targetId, const QString &passcode);
    static QString missingPasscodeText() { return QStringLiteral("パスコードを入力してください"); }
    // Decimal digits of any script as ASCII digits, so that an ID typed with
    // full-width digits names the same device on the server.
    static QString asciiDigits(const QString &digits);
    static QString rowCaption(const QString &id, std::optional<bool> online);
    static QString serverRowTitle(const DeviceInfo &device);
    static QString serverRowCaption(const DeviceInfo &device);
    static QString deleteMessage(const DeviceInfo &device);
    static QString aliasTitle(const DeviceEntry &entry);

    // The panel's operations; `done` runs on the main thread when each ends.
    void connectToDevice();
    void refreshOnline(std::function<void()> done = {});
    void loadServerDevices(std::function<void()> done = {});
    void remove(const DeviceInfo &device, std::function<void()> done = {});

Q_SIGNALS:
    void targetIdChanged();
    void passcodeChanged();
    void messageChanged();
    void busyChanged();
    void tabChanged();
    void aliasTextChanged();
    void serverMsgChanged();
    void listsChanged();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    // The constructor's parts, top to bottom.
    QWidget *buildAddressCard();
    QVBoxLayout *buildPasscodeColumn(QWidget *card);
    void addServerState(QHBoxLayout *row, QWidget *card);
    QFont smallFont() const;
    QWidget *buildListSelector();
    QWidget *buildLists();
    QWidget *buildServerPage(QWidget *parent);
    // The state a newly shown panel starts with.
    void resetViewState();
    void setMessage(const QString &v);
    void setBusy(bool v);
    void setServerMsg(const QString &v);
    void rebuildLists();
    void updateRows(const QString &id);
    void rebuildDeviceList(int tab);
    void rebuildServerList();
    void updateServerDot();
    void checkServer();
    // The message under the passcode field, and the focus there.
    void askForPasscode();
    // A list row's "接続": fills the ID, then connects or asks for the passcode.
    void connectFromList(const QString &grouped);
    void fetchThumb(const QString &id, std::function<void()> next);

    QPointer<AppConfig> m_config;
    QPointer<Signaling> m_signaling;
    Api *m_api;
    QPointer<ServerTrust> m_trust;
    QPointer<SessionStore> m_store;
    OpenWindow m_openWindow;

    QString m_targetId;
    QString m_passcode;
    QString m_message;
    bool m_busy = false;
    int m_tab = 0;
    QHash<QString, bool> m_onlineCache;
    QHash<QString, QImage> m_thumbCache;
    std::optional<DeviceEntry> m_renaming;
    QString m_aliasText;
    QList<DeviceInfo> m_serverDevices;
    QString m_serverMsg;
    std::optional<DeviceInfo> m_deleting;
    bool m_resetOnShow = false;

    QLineEdit *m_idField = nullptr;
    QLineEdit *m_passField = nullptr;
    QPushButton *m_connectButton = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_serverDot = nullptr;
    QLabel *m_serverText = nullptr;
    QLabel *m_messageLabel = nullptr;
    QLabel *m_passHint = nullptr;
    // The light shows a real connection to the configured server: while it is off and the
    // panel is on screen, the server is tried again now and then.
    static constexpr int serverRecheckMs = 10'000;
    QTimer m_serverRecheck;
    QButtonGroup *m_segments = nullptr;
    QStackedWidget *m_pages = nullptr;
    QVBoxLayout *m_listLayouts[2] = {nullptr, nullptr};
    QWidget *m_listHosts[2] = {nullptr, nullptr};
    QVBoxLayout *m_serverListLayout = nullptr;
    QWidget *m_serverListHost = nullptr;
    QLabel *m_serverMsgLabel = nullptr;
    QPointer<QDialog> m_aliasSheet;
    QPointer<QMessageBox> m_deleteBox;
};
