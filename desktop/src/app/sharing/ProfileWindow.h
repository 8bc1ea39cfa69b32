#pragma once

#include "protocol/agent/ControlSession.h"

#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>

class AgentController;
class QLabel;
class QPushButton;
class QStackedLayout;

// Who is controlling this device through one session, with its four rights
// and a disconnect button.
class ProfileWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 360;
    static constexpr int contentHeight = 196;
    // The rights a button each: input, clip, files, mic.
    static constexpr int rightCount = 4;

    ProfileWindow(const QString &sid, AgentController *agent, QWidget *parent = nullptr);

    QString sid() const { return m_sid; }
    // The first session of the agent's status with this sid.
    std::optional<ControlSession> session() const;
    // "ID viewer ・ P2P ・ HH:mm から(duration)" for the given moment.
    static QString metaLine(const ControlSession &session, const QDateTime &now);
    // "たった今", "N 分" or "H 時間 M 分".
    static QString duration(qint64 elapsedSeconds);
    // Label of a rights button: the word, then " ×" when the right is off.
    static QString rightLabel(const QString &word, bool on);
    // The line under the rights: what the viewer can still do, "閲覧のみ" when nothing.
    static QString rightsNote(const ControlSession &session);
    // One line about a file exchanged with the viewer: direction, name, progress or
    // outcome, and where a received file was saved.
    static QString transferLine(const ControlTransfer &transfer);
    static QString recordingText() { return QStringLiteral("● この相手は画面を録画しています"); }
    // While the viewer's voice plays into a microphone of this desktop.
    static QString micText() { return QStringLiteral("● 相手の声が「Velmo Remote マイク」に流れています"); }

    void setNow(const QDateTime &now);
    QDateTime now() const { return m_now; }
    QPushButton *rightButton(int which) const; // 0 input, 1 clip, 2 files, 3 mic
    QPushButton *disconnectButton() const { return m_disconnect; }
    // "ファイルを送る…": a non-modal dialog, then the chosen files go to the viewer.
    QPushButton *sendFileButton() const { return m_sendFile; }

Q_SIGNALS:
    void closing(ProfileWindow *window);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void refresh();
    void showTransfers(const QList<ControlTransfer> &transfers);
    void toggle(int which);
    void chooseFiles();

    QString m_sid;
    QPointer<AgentController> m_agent;
    QDateTime m_now;
    QTimer m_tick;
    QStackedLayout *m_stack = nullptr;
    QLabel *m_name = nullptr;
    QLabel *m_detail = nullptr;
    QLabel *m_meta = nullptr;
    QLabel *m_link = nullptr; // how the picture reaches the viewer, once it flows
    QPushButton *m_disconnect = nullptr;
    QPushButton *m_sendFile = nullptr;
    QPushButton *m_rights[rightCount] = {};
    QLabel *m_note = nullptr;
    QPushButton *m_viewOnly = nullptr; // "それも外す": clip and files off with input
    QLabel *m_recording = nullptr;
    QLabel *m_micLine = nullptr;
    QWidget *m_transferBox = nullptr; // one row per file exchanged with the viewer
    QList<ControlTransfer> m_shownTransfers;
    QWidget *m_page = nullptr;
};
