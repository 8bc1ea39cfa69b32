#include "viewer/FileTransferPanel.h"

#include "config/Paths.h"
#include "session/RemoteSession.h"
#include "session/SessionExchange.h"
#include "transfer/FileTransfers.h"

#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {
QStringList localFiles(const QMimeData *mime) {
    QStringList out;
    if (!mime || !mime->hasUrls())
        return out;
    for (const QUrl &url : mime->urls())
        if (url.isLocalFile())
            out.append(url.toLocalFile());
    return out;
}
} // namespace

FileTransferPanel::FileTransferPanel(RemoteSession *session, QWidget *parent) : QWidget(parent), m_session(session) {
    m_rows = new QVBoxLayout(this);
    m_rows->setContentsMargins(10, 4, 10, 4);
    m_rows->setSpacing(2);
    hide();
    if (!m_session)
        return;
    FileTransfers *files = m_session->exchange()->files();
    connect(files, &FileTransfers::added, this, &FileTransferPanel::addRow);
    connect(files, &FileTransfers::changed, this, &FileTransferPanel::updateRow);
}

bool FileTransferPanel::canSend() const {
    return m_session && m_session->exchange()->live() && m_session->exchange()->filesAllowed();
}

void FileTransferPanel::sendFiles(const QStringList &paths) {
    if (!m_session || paths.isEmpty())
        return;
    if (!m_session->exchange()->live()) {
        Q_EMIT notice(notConnectedText());
        return;
    }
    if (!m_session->exchange()->filesAllowed()) {
        Q_EMIT notice(notAllowedText());
        return;
    }
    for (const QString &path : paths)
        m_session->exchange()->files()->send(path);
}

void FileTransferPanel::chooseFiles() {
    auto *dialog = new QFileDialog(window(), QStringLiteral("相手に送るファイル"));
    dialog->setObjectName("sendFileDialog");
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setDirectory(Paths::homeDir());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::filesSelected, this, &FileTransferPanel::sendFiles);
    dialog->open();
}

void FileTransferPanel::watchDrops(QWidget *target) {
    target->setAcceptDrops(true);
    target->installEventFilter(this);
}

bool FileTransferPanel::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (!localFiles(drag->mimeData()).isEmpty()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (event->type() == QEvent::Drop) {
        auto *drop = static_cast<QDropEvent *>(event);
        const QStringList files = localFiles(drop->mimeData());
        if (!files.isEmpty()) {
            drop->acceptProposedAction();
            sendFiles(files);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FileTransferPanel::addRow(int key) {
    Row row;
    row.widget = new QWidget(this);
    row.widget->setObjectName(QStringLiteral("transfer_%1").arg(key));
    auto *h = new QHBoxLayout(row.widget);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(8);
    row.name = new QLabel(row.widget);
    row.name->setObjectName("transferName");
    row.name->setMinimumWidth(160);
    h->addWidget(row.name);
    row.bar = new QProgressBar(row.widget);
    row.bar->setObjectName("transferProgress");
    row.bar->setRange(0, 1000);
    row.bar->setTextVisible(false);
    row.bar->setFixedWidth(180);
    h->addWidget(row.bar);
    row.status = new QLabel(row.widget);
    row.status->setObjectName("transferStatus");
    row.status->setForegroundRole(QPalette::PlaceholderText);
    h->addWidget(row.status, 1);
    // A received file says where it went and opens its folder; its row stays until closed.
    row.openFolder = new QToolButton(row.widget);
    row.openFolder->setObjectName("openFolder");
    row.openFolder->setText(QStringLiteral("フォルダを開く"));
    row.openFolder->setVisible(false);
    connect(row.openFolder, &QToolButton::clicked, this, [this, key] {
        const auto t = m_session ? m_session->exchange()->files()->transfer(key) : std::nullopt;
        if (t && !t->path.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(t->path).absolutePath()));
    });
    h->addWidget(row.openFolder);
    row.button = new QToolButton(row.widget);
    row.button->setObjectName("transferButton");
    connect(row.button, &QToolButton::clicked, this, [this, key] {
        if (!m_session)
            return;
        FileTransfers *files = m_session->exchange()->files();
        const auto t = files->transfer(key);
        if (t && !t->finished()) {
            files->cancel(key);
        } else {
            files->forget(key);
            removeRow(key);
        }
    });
    h->addWidget(row.button);
    m_rows->addWidget(row.widget);
    m_byKey.insert(key, row);
    show();
    updateRow(key);
}

void FileTransferPanel::updateRow(int key) {
    if (!m_byKey.contains(key) || !m_session)
        return;
    const auto t = m_session->exchange()->files()->transfer(key);
    if (!t)
        return;
    const Row &row = m_byKey[key];
    const bool incoming = t->direction == FileTransfers::Direction::Incoming;
    row.name->setText((incoming ? QStringLiteral("↓ ") : QStringLiteral("↑ ")) + t->name);
    row.bar->setValue(t->size > 0 ? int(t->done * 1000 / t->size) : (t->finished() ? 1000 : 0));
    const QLocale locale;
    QString status;
    switch (t->status) {
    case FileTransfers::Status::Waiting:
        status = QStringLiteral("相手の応答を待っています");
        break;
    case FileTransfers::Status::Running:
        status = locale.formattedDataSize(t->done) + QStringLiteral(" / ") + locale.formattedDataSize(t->size);
        break;
    case FileTransfers::Status::Done:
        status = incoming ? QStringLiteral("保存しました: ") + QDir::toNativeSeparators(t->path)
                          : QStringLiteral("送りました");
        break;
    case FileTransfers::Status::Failed:
    case FileTransfers::Status::Cancelled:
        status = t->message;
        break;
    }
    row.status->setText(status);
    row.status->setToolTip(status);
    row.button->setText(t->finished() ? QStringLiteral("閉じる") : QStringLiteral("キャンセル"));
    const bool received = incoming && t->status == FileTransfers::Status::Done;
    if (received && row.openFolder->isHidden()) {
        row.openFolder->setVisible(true);
        Q_EMIT notice(t->name + QStringLiteral(" を ") + QDir::toNativeSeparators(QFileInfo(t->path).absolutePath()) +
                      QStringLiteral(" に保存しました"));
    }
    // Sent files go by themselves after a while; received ones stay, saying where they are.
    if (t->status == FileTransfers::Status::Done && !incoming)
        QTimer::singleShot(keepDoneMs, this, [this, key] {
            if (m_session)
                m_session->exchange()->files()->forget(key);
            removeRow(key);
        });
}

void FileTransferPanel::removeRow(int key) {
    const Row row = m_byKey.take(key);
    if (row.widget)
        row.widget->deleteLater();
    if (m_byKey.isEmpty())
        hide();
}
