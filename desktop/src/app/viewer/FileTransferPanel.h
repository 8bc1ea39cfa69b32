#pragma once

#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QLabel;
class QProgressBar;
class QToolButton;
class QVBoxLayout;
class RemoteSession;

// The session window's file transfers: one row per file sent to the host or received
// from it (name, direction, progress, status) with "キャンセル" while it runs; finished
// rows can be closed, files sent go by themselves after a while, files received stay
// with where they were saved and "フォルダを開く". Hidden while
// there is nothing to show. It also takes files dropped on the watched window and the
// files chosen in its dialog, and sends them while the host grants `files`.
class FileTransferPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int keepDoneMs = 8000;

    explicit FileTransferPanel(RemoteSession *session, QWidget *parent = nullptr);

    // Files dropped on this widget (and its children without their own drop handling) are sent.
    void watchDrops(QWidget *target);
    // Opens a non-modal dialog to choose files to send.
    void chooseFiles();
    // Sends files, or tells why it cannot.
    void sendFiles(const QStringList &paths);
    // Whether files can be sent now (connected, `files` granted).
    bool canSend() const;

    static QString notConnectedText() { return QStringLiteral("接続中のみファイルを送れます"); }
    static QString notAllowedText() { return QStringLiteral("相手側でファイル転送が許可されていません"); }

Q_SIGNALS:
    void notice(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Row {
        QWidget *widget = nullptr;
        QLabel *name = nullptr;
        QProgressBar *bar = nullptr;
        QLabel *status = nullptr;
        QToolButton *openFolder = nullptr;
        QToolButton *button = nullptr;
    };
    void addRow(int key);
    void updateRow(int key);
    void removeRow(int key);

    QPointer<RemoteSession> m_session;
    QVBoxLayout *m_rows = nullptr;
    QHash<int, Row> m_byKey;
};
