#include "sharing/ProfileWindow.h"

#include "agent/AgentController.h"
#include "config/Paths.h"
#include "style/Theme.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QStackedLayout>
#include <QUrl>
#include <QVBoxLayout>

namespace {
// The viewer's rights, in button order; `mic` (its microphone plays here) is off until given.
const char *const kWords[ProfileWindow::rightCount] = {"操作", "クリップボード", "ファイル", "マイク"};

QString bounded(const QString &s, int max = 200) {
    return s.size() > max ? s.left(max) + QStringLiteral("…") : s;
}
} // namespace

ProfileWindow::ProfileWindow(const QString &sid, AgentController *agent, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint),
      m_sid(sid), m_agent(agent), m_now(QDateTime::currentDateTime()) {
    setWindowTitle(QStringLiteral("Velmo Remote"));
    setObjectName(QStringLiteral("profileWindow"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(contentWidth, contentHeight);

    m_stack = new QStackedLayout(this);

    auto *page = m_page = new QWidget(this);
    auto *v = new QVBoxLayout(page);
    v->setContentsMargins(14, 14, 14, 14);
    v->setSpacing(10);

    auto *header = new QHBoxLayout;
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *banner = new QLabel(QStringLiteral("遠隔操作されています"), page);
    banner->setFont(Theme::sized(10, QFont::Bold));
    banner->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::red())));
    banner->setObjectName(QStringLiteral("banner"));
    texts->addWidget(banner);
    m_name = new QLabel(page);
    m_name->setObjectName(QStringLiteral("viewerName"));
    m_name->setTextFormat(Qt::PlainText);
    m_name->setFont(Theme::title3());
    texts->addWidget(m_name);
    m_detail = new QLabel(page);
    m_detail->setObjectName(QStringLiteral("viewerDetail"));
    m_detail->setTextFormat(Qt::PlainText);
    m_detail->setFont(Theme::caption());
    m_detail->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    m_detail->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); // one line, cut at the edge
    texts->addWidget(m_detail);
    header->addLayout(texts, 1);
    m_disconnect = new QPushButton(QStringLiteral("切断"), page);
    m_disconnect->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: %2; border-radius: 4px;"
                                               " padding: 3px 10px; font-weight: bold; }")
                                    .arg(Theme::css(Theme::red()), Theme::css(Theme::onFill())));
    m_sendFile = new QPushButton(QStringLiteral("ファイルを送る…"), page);
    m_sendFile->setObjectName("sendFile");
    header->addWidget(m_sendFile, 0, Qt::AlignTop);
    header->addWidget(m_disconnect, 0, Qt::AlignTop);
    v->addLayout(header);

    m_meta = new QLabel(page);
    m_meta->setObjectName(QStringLiteral("sessionMeta"));
    m_meta->setTextFormat(Qt::PlainText);
    m_meta->setFont(Theme::caption());
    m_meta->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    v->addWidget(m_meta);
    m_link = new QLabel(page);
    m_link->setObjectName(QStringLiteral("sessionLink"));
    m_link->setTextFormat(Qt::PlainText);
    m_link->setWordWrap(true);
    m_link->setFont(Theme::caption());
    m_link->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    m_link->hide();
    v->addWidget(m_link);

    auto *rights = new QHBoxLayout;
    for (int i = 0; i < rightCount; ++i) {
        m_rights[i] = new QPushButton(page);
        m_rights[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        rights->addWidget(m_rights[i], 1);
        connect(m_rights[i], &QPushButton::clicked, this, [this, i] { toggle(i); });
    }
    v->addLayout(rights);

    // With "操作" off the viewer could still set this clipboard and send files: the window
    // says so and offers to take those too, so that "view only" means what it says.
    auto *noteRow = new QHBoxLayout;
    m_note = new QLabel(page);
    m_note->setObjectName(QStringLiteral("rightsNote"));
    m_note->setFont(Theme::caption2());
    m_note->setWordWrap(true);
    m_note->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    noteRow->addWidget(m_note, 1);
    m_viewOnly = new QPushButton(QStringLiteral("それも外す"), page);
    m_viewOnly->setObjectName(QStringLiteral("viewOnly"));
    m_viewOnly->setFont(Theme::caption2());
    noteRow->addWidget(m_viewOnly, 0, Qt::AlignVCenter);
    connect(m_viewOnly, &QPushButton::clicked, this, [this] {
        if (m_agent && session())
            m_agent->setRights(m_sid, false, false, false, false);
    });
    v->addLayout(noteRow);

    // What the viewer does besides looking: recording, files either way.
    m_recording = new QLabel(recordingText(), page);
    m_recording->setObjectName(QStringLiteral("recordingLine"));
    m_recording->setFont(Theme::caption());
    m_recording->setStyleSheet(QStringLiteral("color: %1; font-weight: bold").arg(Theme::css(Theme::red())));
    m_recording->hide();
    v->addWidget(m_recording);
    m_micLine = new QLabel(micText(), page);
    m_micLine->setObjectName(QStringLiteral("micLine"));
    m_micLine->setFont(Theme::caption());
    m_micLine->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    m_micLine->hide();
    v->addWidget(m_micLine);
    m_transferBox = new QWidget(page);
    m_transferBox->setObjectName(QStringLiteral("transfers"));
    auto *rows = new QVBoxLayout(m_transferBox);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    m_transferBox->hide();
    v->addWidget(m_transferBox);
    v->addStretch(1);
    m_stack->addWidget(page);

    auto *ended = new QLabel(QStringLiteral("この接続は終了しました"), this);
    ended->setAlignment(Qt::AlignCenter);
    ended->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(Theme::secondary())));
    m_stack->addWidget(ended);

    connect(m_disconnect, &QPushButton::clicked, this, [this] {
        if (m_agent)
            m_agent->disconnectSession(m_sid);
    });
    connect(m_sendFile, &QPushButton::clicked, this, &ProfileWindow::chooseFiles);
    if (agent)
        connect(agent, &AgentController::statusChanged, this, &ProfileWindow::refresh);
    m_tick.setInterval(30'000);
    connect(&m_tick, &QTimer::timeout, this, [this] { setNow(QDateTime::currentDateTime()); });
    m_tick.start();
    refresh();
}

std::optional<ControlSession> ProfileWindow::session() const {
    if (!m_agent || !m_agent->status())
        return std::nullopt;
    for (const ControlSession &s : m_agent->status()->sessions)
        if (s.sid == m_sid)
            return s;
    return std::nullopt;
}

QString ProfileWindow::duration(qint64 elapsed) {
    if (elapsed < 60)
        return QStringLiteral("たった今");
    if (elapsed < 3600)
        return QString::number(elapsed / 60) + QStringLiteral(" 分");
    return QString::number(elapsed / 3600) + QStringLiteral(" 時間 ") + QString::number((elapsed % 3600) / 60) +
           QStringLiteral(" 分");
}

QString ProfileWindow::metaLine(const ControlSession &s, const QDateTime &now) {
    // A start the clock cannot represent (far past or future) shows no time
    // and counts as just now rather than overflowing.
    const QDateTime start = QDateTime::fromSecsSinceEpoch(s.since);
    const qint64 nowSecs = now.toSecsSinceEpoch();
    qint64 elapsed = 0;
    if (__builtin_sub_overflow(nowSecs, s.since, &elapsed))
        elapsed = s.since < 0 ? std::numeric_limits<qint64>::max() : 0;
    elapsed = std::max<qint64>(elapsed, 0);
    const QString hhmm =
        start.isValid() ? start.toLocalTime().toString(QStringLiteral("HH:mm")) : QStringLiteral("--:--");
    return QStringLiteral("ID ") + s.viewer + QStringLiteral(" ・ ") +
           (s.relay ? QStringLiteral("リレー") : QStringLiteral("P2P")) + QStringLiteral(" ・ ") + hhmm +
           QStringLiteral(" から(") + duration(elapsed) + u')';
}

QString ProfileWindow::rightLabel(const QString &word, bool on) {
    return on ? word : word + QStringLiteral(" ×");
}

QString ProfileWindow::rightsNote(const ControlSession &s) {
    if (!s.input && !s.clip && !s.files && s.mic)
        return QStringLiteral("操作は外れていますが、相手の声はまだこの端末のマイクに届きます。");
    if (!s.input && !s.clip && !s.files)
        return QStringLiteral("閲覧のみ: この相手は画面を見るだけです。");
    if (!s.input && s.clip && s.files)
        return QStringLiteral("操作は外れていますが、クリップボードとファイルはまだ使えます。");
    if (!s.input && s.clip)
        return QStringLiteral("操作は外れていますが、クリップボードはまだ使えます。");
    if (!s.input)
        return QStringLiteral("操作は外れていますが、ファイルはまだ送れます。");
    return QStringLiteral("許可を外すと、その相手はそれができなくなります。");
}

QString ProfileWindow::transferLine(const ControlTransfer &t) {
    const QLocale locale;
    const QString name = bounded(t.name, 80);
    const QString arrow = t.sent ? QStringLiteral("↑ ") : QStringLiteral("↓ ");
    if (t.state == u"done")
        return arrow + name +
               (t.sent ? QStringLiteral(" を送りました")
                       : QStringLiteral(" を受け取りました: ") + QDir::toNativeSeparators(t.path));
    if (t.state == u"failed" || t.state == u"cancelled")
        return arrow + name +
               (t.sent ? QStringLiteral(" を送れませんでした") : QStringLiteral(" を受け取れませんでした")) +
               (t.message.isEmpty() ? QString() : QStringLiteral(": ") + bounded(t.message, 120));
    if (t.state == u"running")
        return arrow + name + (t.sent ? QStringLiteral(" を送っています ") : QStringLiteral(" を受け取っています ")) +
               locale.formattedDataSize(t.done) + QStringLiteral(" / ") + locale.formattedDataSize(t.size);
    return arrow + name + (t.sent ? QStringLiteral(": 相手の応答を待っています") : QString());
}

void ProfileWindow::showTransfers(const QList<ControlTransfer> &transfers) {
    if (transfers == m_shownTransfers)
        return;
    m_shownTransfers = transfers;
    auto *rows = static_cast<QVBoxLayout *>(m_transferBox->layout());
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QWidget *w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
    for (const ControlTransfer &t : transfers) {
        auto *row = new QWidget(m_transferBox);
        row->setObjectName(QStringLiteral("transfer_%1").arg(t.id));
        auto *h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        auto *line = new QLabel(transferLine(t), row);
        line->setObjectName(QStringLiteral("transferLine"));
        line->setTextFormat(Qt::PlainText);
        line->setFont(Theme::caption());
        line->setWordWrap(true);
        line->setToolTip(line->text());
        line->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        h->addWidget(line, 1);
        // A received file can be found at once: its folder opens in the file manager.
        if (!t.sent && t.state == u"done" && !t.path.isEmpty()) {
            auto *open = new QPushButton(QStringLiteral("フォルダを開く"), row);
            open->setObjectName(QStringLiteral("openFolder"));
            open->setFont(Theme::caption2());
            const QString folder = QFileInfo(t.path).absolutePath();
            connect(open, &QPushButton::clicked, this,
                    [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
            h->addWidget(open, 0, Qt::AlignVCenter);
        }
        rows->addWidget(row);
    }
    m_transferBox->setVisible(!transfers.isEmpty());
}

QPushButton *ProfileWindow::rightButton(int which) const {
    return which >= 0 && which < rightCount ? m_rights[which] : nullptr;
}

void ProfileWindow::setNow(const QDateTime &now) {
    m_now = now;
    refresh();
}

void ProfileWindow::refresh() {
    const auto s = session();
    if (!s) {
        m_stack->setCurrentIndex(1);
        return;
    }
    m_stack->setCurrentIndex(0);
    m_name->setText(s->name.isEmpty() ? QStringLiteral("名称未設定") : bounded(s->name));
    const QString detail = s->detail();
    m_detail->setText(bounded(detail, 300));
    m_detail->setVisible(!detail.isEmpty());
    m_meta->setText(bounded(metaLine(*s, m_now), 300));
    m_link->setText(s->link ? s->link->line() : QString());
    m_link->setVisible(s->link.has_value());
    m_sendFile->setEnabled(s->files);
    const bool values[rightCount] = {s->input, s->clip, s->files, s->mic};
    const QColor accent = palette().color(QPalette::Highlight);
    m_note->setText(rightsNote(*s));
    m_viewOnly->setVisible(!s->input && (s->clip || s->files || s->mic));
    for (int i = 0; i < rightCount; ++i) {
        m_rights[i]->setText(rightLabel(QString::fromUtf8(kWords[i]), values[i]));
        m_rights[i]->setStyleSheet(
            QStringLiteral("QPushButton { color: %1; }").arg(Theme::css(values[i] ? accent : Theme::secondary())));
    }
    m_recording->setVisible(s->recording);
    m_micLine->setVisible(s->mic && !s->micSource.isEmpty());
    showTransfers(s->transfers);
    // The window grows with what it has to say and shrinks back.
    m_page->layout()->activate();
    // Placed from the bottom of the screen, it keeps its bottom edge where it was.
    const int height = std::max(contentHeight, m_page->layout()->minimumSize().height());
    const int grow = height - this->height();
    setFixedSize(contentWidth, height);
    if (grow != 0 && isVisible())
        move(x(), y() - grow);
}

void ProfileWindow::toggle(int which) {
    const auto s = session();
    if (!s || !m_agent)
        return;
    bool v[rightCount] = {s->input, s->clip, s->files, s->mic};
    v[which] = !v[which];
    m_agent->setRights(m_sid, v[0], v[1], v[2], v[3]);
}

void ProfileWindow::chooseFiles() {
    auto *dialog = new QFileDialog(this, QStringLiteral("相手に送るファイル"));
    dialog->setObjectName("sendFileDialog");
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setDirectory(Paths::homeDir());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::filesSelected, this, [this](const QStringList &paths) {
        if (!m_agent)
            return;
        for (const QString &path : paths)
            m_agent->sendFile(m_sid, path);
    });
    dialog->open();
}

void ProfileWindow::closeEvent(QCloseEvent *event) {
    Q_EMIT closing(this);
    QWidget::closeEvent(event);
}
