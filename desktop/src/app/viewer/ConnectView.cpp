#include "viewer/ConnectView.h"

#include "config/AppConfig.h"
#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/Signaling.h"
#include "session/RemoteSession.h"
#include "session/SessionStore.h"
#include "style/SymbolIcons.h"
#include "style/Theme.h"
#include "util/ErrorText.h"
#include "util/StringUtils.h"
#include "viewer/DeviceRowView.h"

#include <QButtonGroup>
#include <QDialog>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTextBoundaryFinder>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

namespace {
const QColor green(52, 199, 89);
const QColor red(255, 59, 48);

// The user-perceived characters of a string.
QStringList characters(const QString &s) {
    QStringList out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype start = 0;
    while (finder.toNextBoundary() > 0) {
        out << s.mid(start, finder.position() - start);
        start = finder.position();
    }
    return out;
}

QToolButton *borderless(const QIcon &icon, QWidget *parent, const QString &name) {
    auto *b = new QToolButton(parent);
    b->setObjectName(name);
    b->setIcon(icon);
    b->setAutoRaise(true);
    b->setIconSize(QSize(16, 16));
    return b;
}

QPushButton *linkButton(const QString &text, QWidget *parent, const QString &name) {
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setFlat(true);
    b->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; border: none; padding: 2px 6px; }").arg(Theme::accent().name()));
    return b;
}

// Thumbnails are kept at twice the box size: enough for a sharp box on a
// high-density screen, and a large upload does not stay in memory.
QImage thumbFrom(const QByteArray &bytes) {
    QImage image = QImage::fromData(bytes);
    if (image.isNull())
        return image;
    const QSize cap = DeviceRowView::thumbSize * 2;
    if (image.width() > cap.width() || image.height() > cap.height())
        image = image.scaled(cap, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return image;
}
} // namespace

ConnectView::ConnectView(AppConfig *config, Signaling *signaling, Api *api, ServerTrust *trust, SessionStore *store,
                         OpenWindow openWindow, QWidget *parent)
    : QWidget(parent), m_config(config), m_signaling(signaling), m_api(api), m_trust(trust), m_store(store),
      m_openWindow(std::move(openWindow)) {
    Q_ASSERT(api);
    setWindowTitle(QStringLiteral("接続"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    column->addWidget(buildAddressCard());
    column->addWidget(buildListSelector());
    column->addWidget(buildLists(), 1);

    if (m_config) {
        connect(m_config, &AppConfig::recentsChanged, this, &ConnectView::rebuildLists);
        connect(m_config, &AppConfig::favoritesChanged, this, &ConnectView::rebuildLists);
    }
    if (m_signaling)
        connect(m_signaling, &Signaling::onlineChanged, this, &ConnectView::updateServerDot);
    if (m_config)
        connect(m_config, &AppConfig::serverChanged, this, &ConnectView::updateServerDot);
    // The light shows a real connection to the configured server: while it is off and the
    // panel is on screen, the server is tried again now and then.
    m_serverRecheck.setInterval(serverRecheckMs);
    connect(&m_serverRecheck, &QTimer::timeout, this, &ConnectView::checkServer);
    updateServerDot();
    rebuildLists();
}

// The address card: the ID and passcode fields, the connect button, the server's light and
// the message line.
QWidget *ConnectView::buildAddressCard() {
    auto *card = new QFrame(this);
    card->setObjectName("addressCard");
    card->setStyleSheet(QStringLiteral("#addressCard { background: palette(base); border-radius: 10px; }"));
    auto *cv = new QVBoxLayout(card);
    cv->setContentsMargins(16, 12, 16, 12);
    auto *cap = new QLabel(QStringLiteral("接続先の端末 ID"), card);
    cap->setForegroundRole(QPalette::PlaceholderText);
    cv->addWidget(cap);
    auto *row = new QHBoxLayout;
    row->setSpacing(10);
    m_idField = new QLineEdit(card);
    m_idField->setObjectName("targetId");
    m_idField->setPlaceholderText(QStringLiteral("123 456 789"));
    QFont big = m_idField->font();
    big.setPointSize(22);
    big.setWeight(QFont::Medium);
    m_idField->setFont(big);
    m_idField->setFixedWidth(220);
    connect(m_idField, &QLineEdit::textEdited, this, &ConnectView::setTargetId);
    row->addWidget(m_idField);
    row->addLayout(buildPasscodeColumn(card));
    m_connectButton = new QPushButton(SymbolIcons::play(Theme::onFill()), QStringLiteral("接続"), card);
    m_connectButton->setObjectName("connect");
    m_connectButton->setStyleSheet(Theme::primaryButtonCss(5, 14));
    connect(m_connectButton, &QPushButton::clicked, this, &ConnectView::connectToDevice);
    row->addWidget(m_connectButton);
    m_progress = new QProgressBar(card);
    m_progress->setObjectName("busy");
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->setFixedSize(40, 8);
    m_progress->setVisible(false);
    row->addWidget(m_progress);
    row->addStretch();
    addServerState(row, card);
    cv->addLayout(row);
    m_messageLabel = new QLabel(card);
    m_messageLabel->setObjectName("message");
    m_messageLabel->setFont(smallFont());
    m_messageLabel->setStyleSheet(QStringLiteral("color: ") + Theme::warning().name());
    m_messageLabel->setVisible(false);
    cv->addWidget(m_messageLabel);
    return card;
}

// The passcode field with its hint: a missing passcode is said right under the field, where
// the user types it.
QVBoxLayout *ConnectView::buildPasscodeColumn(QWidget *card) {
    m_passField = new QLineEdit(card);
    m_passField->setObjectName("passcode");
    m_passField->setEchoMode(QLineEdit::Password);
    m_passField->setPlaceholderText(QStringLiteral("パスコード"));
    m_passField->setFixedWidth(180);
    connect(m_passField, &QLineEdit::textEdited, this, &ConnectView::setPasscode);
    connect(m_passField, &QLineEdit::returnPressed, this, &ConnectView::connectToDevice);
    auto *passColumn = new QVBoxLayout;
    passColumn->setSpacing(2);
    passColumn->addWidget(m_passField);
    m_passHint = new QLabel(card);
    m_passHint->setObjectName("passcodeHint");
    m_passHint->setStyleSheet(QStringLiteral("color: ") + Theme::warning().name());
    m_passHint->setVisible(false);
    passColumn->addWidget(m_passHint);
    return passColumn;
}

// The server's light and its state in words, at the end of the address row.
void ConnectView::addServerState(QHBoxLayout *row, QWidget *card) {
    m_serverDot = new QLabel(card);
    m_serverDot->setFixedSize(8, 8);
    row->addWidget(m_serverDot);
    m_serverText = new QLabel(card);
    m_serverText->setObjectName("serverState");
    m_serverText->setFont(smallFont());
    m_serverText->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(m_serverText);
}

// The secondary lines' font: the panel's own, a little smaller.
QFont ConnectView::smallFont() const {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    return small;
}

// The list selector: recents, favourites, the server's devices.
QWidget *ConnectView::buildListSelector() {
    auto *segmentsBox = new QWidget(this);
    segmentsBox->setFixedWidth(340);
    auto *sl = new QHBoxLayout(segmentsBox);
    sl->setContentsMargins(0, 0, 0, 0);
    sl->setSpacing(0);
    segmentsBox->setStyleSheet(
        QStringLiteral("QPushButton { border: 1px solid palette(mid); padding: 3px; background: palette(button); }"
                       "QPushButton:checked { background: palette(highlight); color: palette(highlighted-text); }"));
    m_segments = new QButtonGroup(this);
    m_segments->setExclusive(true);
    const QStringList labels{QStringLiteral("最近"), QStringLiteral("お気に入り"), QStringLiteral("端末一覧")};
    for (int i = 0; i < labels.size(); ++i) {
        auto *b = new QPushButton(labels[i], segmentsBox);
        b->setObjectName(QStringLiteral("segment%1").arg(i));
        b->setCheckable(true);
        b->setChecked(i == 0);
        m_segments->addButton(b, i);
        sl->addWidget(b);
    }
    connect(m_segments, &QButtonGroup::idClicked, this, &ConnectView::setTab);
    return segmentsBox;
}

// The lists, one page each: recents and favourites, then the server's devices.
QWidget *ConnectView::buildLists() {
    m_pages = new QStackedWidget(this);
    for (int i = 0; i < 2; ++i) {
        auto *scroll = new QScrollArea(m_pages);
        scroll->setWidgetResizable(true);
        scroll->setMinimumHeight(220);
        m_listHosts[i] = new QWidget(scroll);
        m_listHosts[i]->setObjectName(i == 0 ? "recentsList" : "favoritesList");
        m_listLayouts[i] = new QVBoxLayout(m_listHosts[i]);
        m_listLayouts[i]->setAlignment(Qt::AlignTop);
        scroll->setWidget(m_listHosts[i]);
        m_pages->addWidget(scroll);
    }
    m_pages->addWidget(buildServerPage(m_pages));
    return m_pages;
}

QWidget *ConnectView::buildServerPage(QWidget *parent) {
    auto *serverPage = new QWidget(parent);
    auto *sp = new QVBoxLayout(serverPage);
    sp->setContentsMargins(0, 0, 0, 0);
    auto *header = new QHBoxLayout;
    auto *serverCap = new QLabel(QStringLiteral("サーバーに登録されている端末"), serverPage);
    serverCap->setForegroundRole(QPalette::PlaceholderText);
    header->addWidget(serverCap);
    header->addStretch();
    auto *reload = new QPushButton(QStringLiteral("再読み込み"), serverPage);
    reload->setObjectName("reload");
    connect(reload, &QPushButton::clicked, this, [this] { loadServerDevices(); });
    header->addWidget(reload);
    sp->addLayout(header);
    m_serverMsgLabel = new QLabel(serverPage);
    m_serverMsgLabel->setObjectName("serverMsg");
    m_serverMsgLabel->setFont(smallFont());
    m_serverMsgLabel->setWordWrap(true);
    m_serverMsgLabel->setVisible(false);
    sp->addWidget(m_serverMsgLabel);
    auto *serverScroll = new QScrollArea(serverPage);
    serverScroll->setWidgetResizable(true);
    serverScroll->setMinimumHeight(220);
    m_serverListHost = new QWidget(serverScroll);
    m_serverListHost->setObjectName("serverList");
    m_serverListLayout = new QVBoxLayout(m_serverListHost);
    m_serverListLayout->setAlignment(Qt::AlignTop);
    serverScroll->setWidget(m_serverListHost);
    sp->addWidget(serverScroll, 1);
    return serverPage;
}

ConnectView::~ConnectView() = default;

// ---- pure parts ----

std::optional<QString> ConnectView::groupedTargetId(const QString &text) {
    const QStringList digits = characters(digitsOnly(text));
    if (digits.size() < 9)
        return std::nullopt;
    const QString f = formattedId(digits.mid(0, 9).join(QString()));
    if (text == f)
        return std::nullopt;
    return f;
}

std::optional<QString> ConnectView::connectCheck(const QString &targetId, const QString &passcode) {
    if (characters(digitsOnly(targetId)).size() != 9)
        return QStringLiteral("端末 ID は 9 桁の数字です");
    if (passcode.isEmpty())
        return missingPasscodeText();
    return std::nullopt;
}

void ConnectView::askForPasscode() {
    setMessage(QString());
    m_passHint->setText(missingPasscodeText());
    m_passHint->setVisible(true);
    m_passField->setFocus(Qt::OtherFocusReason);
}

void ConnectView::connectFromList(const QString &grouped) {
    setTargetId(grouped);
    // With a passcode typed, the row's "接続" connects; without one, it asks for it there.
    if (m_passcode.isEmpty())
        askForPasscode();
    else
        connectToDevice();
}

QString ConnectView::asciiDigits(const QString &digits) {
    QString out;
    out.reserve(digits.size());
    for (qsizetype i = 0; i < digits.size(); ++i) {
        char32_t cp = digits.at(i).unicode();
        qsizetype len = 1;
        if (digits.at(i).isHighSurrogate() && i + 1 < digits.size() && digits.at(i + 1).isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(digits.at(i), digits.at(i + 1));
            len = 2;
        }
        if (QChar::category(cp) == QChar::Number_DecimalDigit && QChar::digitValue(cp) >= 0)
            out += QChar(u'0' + QChar::digitValue(cp));
        else
            out += digits.mid(i, len);
        i += len - 1;
    }
    return out;
}

QString ConnectView::rowCaption(const QString &id, std::optional<bool> online) {
    QString state;
    if (online)
        state = *online ? QStringLiteral("オンライン") : QStringLiteral("オフライン");
    return formattedId(id) + QStringLiteral("  ") + state;
}

QString ConnectView::serverRowTitle(const DeviceInfo &device) {
    return device.name.isEmpty() ? formattedId(device.id) : device.name;
}

QString ConnectView::serverRowCaption(const DeviceInfo &device) {
    return formattedId(device.id) + QStringLiteral("  ") + device.platform.value_or(QString()) + QStringLiteral("  ") +
           (device.online ? QStringLiteral("オンライン") : QStringLiteral("オフライン"));
}

QString ConnectView::deleteMessage(const DeviceInfo &device) {
    return device.name + QStringLiteral("(") + formattedId(device.id) + QStringLiteral(")を一覧から消します。\n") +
           QStringLiteral("消すとこの ID では繋げなくなります。元には戻せません。\n") +
           QStringLiteral("相手の端末に入れ直すと、別の ID で登録し直されます。");
}

QString ConnectView::aliasTitle(const DeviceEntry &entry) {
    return QStringLiteral("別名を付ける(") + formattedId(entry.id) + QStringLiteral(")");
}

// ---- state ----

void ConnectView::setTargetId(const QString &v) {
    if (v == m_targetId)
        return;
    m_targetId = v;
    if (m_idField->text() != v)
        m_idField->setText(v);
    Q_EMIT targetIdChanged();
    // Nine digits are shown grouped; shorter input stays exactly as typed.
    if (const auto grouped = groupedTargetId(v))
        setTargetId(*grouped);
}

void ConnectView::setPasscode(const QString &v) {
    if (!v.isEmpty())
        m_passHint->setVisible(false);
    if (v == m_passcode)
        return;
    m_passcode = v;
    if (m_passField->text() != v)
        m_passField->setText(v);
    Q_EMIT passcodeChanged();
}

void ConnectView::setMessage(const QString &v) {
    m_messageLabel->setText(v);
    m_messageLabel->setVisible(!v.isEmpty());
    if (v == m_message)
        return;
    m_message = v;
    Q_EMIT messageChanged();
}

void ConnectView::setBusy(bool v) {
    m_connectButton->setEnabled(!v);
    m_progress->setVisible(v);
    if (v == m_busy)
        return;
    m_busy = v;
    Q_EMIT busyChanged();
}

void ConnectView::setTab(int tab) {
    if (tab < 0 || tab > 2)
        return;
    if (QAbstractButton *b = m_segments->button(tab); b && !b->isChecked())
        b->setChecked(true);
    m_pages->setCurrentIndex(tab);
    if (tab == m_tab)
        return;
    m_tab = tab;
    Q_EMIT tabChanged();
    // The server list is read again every time it is shown.
    if (tab == 2)
        loadServerDevices();
}

void ConnectView::setAliasText(const QString &v) {
    if (v == m_aliasText)
        return;
    m_aliasText = v;
    Q_EMIT aliasTextChanged();
}

void ConnectView::setServerMsg(const QString &v) {
    m_serverMsgLabel->setText(v);
    m_serverMsgLabel->setVisible(!v.isEmpty());
    if (v == m_serverMsg)
        return;
    m_serverMsg = v;
    Q_EMIT serverMsgChanged();
}

void ConnectView::updateServerDot() {
    const bool online = m_signaling && m_signaling->online();
    m_serverDot->setPixmap(SymbolIcons::dot(online ? green : red).pixmap(8, 8));
    m_serverText->setText(online ? QStringLiteral("サーバー接続中") : QStringLiteral("サーバー未接続"));
    const QString server = m_config ? m_config->server() : QString();
    m_serverText->setToolTip(online ? server : ErrorText::serverUnreachable(server));
    if (online || !isVisible())
        m_serverRecheck.stop();
    else if (!m_serverRecheck.isActive())
        m_serverRecheck.start();
}

void ConnectView::checkServer() {
    if (m_signaling && !m_signaling->online() && !m_signaling->hasSocket())
        m_signaling->connect(this, [](bool) {});
}

void ConnectView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return; // a window restored from the taskbar, not the panel shown again
    if (m_resetOnShow)
        resetViewState();
    m_resetOnShow = false;
    refreshOnline();
    checkServer();
    updateServerDot();
}

void ConnectView::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    // Another tab or a closed window: the panel's state starts afresh next time.
    if (!event->spontaneous())
        m_resetOnShow = true;
    m_serverRecheck.stop();
}

void ConnectView::resetViewState() {
    setRenaming(std::nullopt);
    setDeleting(std::nullopt);
    setTargetId(QString());
    setPasscode(QString());
    setMessage(QString());
    m_passHint->setVisible(false);
    setBusy(false);
    setAliasText(QString());
    m_onlineCache.clear();
    m_thumbCache.clear();
    m_serverDevices.clear();
    setServerMsg(QString());
    setTab(0);
    rebuildLists();
}

// ---- operations ----

void ConnectView::connectToDevice() {
    if (const auto failure = connectCheck(m_targetId, m_passcode)) {
        if (m_passcode.isEmpty() && *failure == missingPasscodeText()) {
            askForPasscode();
            return;
        }
        setMessage(*failure);
        return;
    }
    const QString id = asciiDigits(digitsOnly(m_targetId));
    const QString passcode = m_passcode;
    setBusy(true);
    setMessage(QStringLiteral("端末を確認中…"));
    m_api->deviceInfo(id, this, [this, id, passcode](Result<DeviceInfo> found) {
        if (!found.ok()) {
            // A server whose certificate does not verify is named as such; one out of reach
            // says so; every other failure reads as an unknown ID.
            const QString untrusted = m_trust ? m_trust->failure() : QString();
            setMessage(!untrusted.isEmpty() ? untrusted
                       : found.error.kind == Error::Kind::Unreachable
                           ? ErrorText::serverUnreachable(m_config ? m_config->server() : QString())
                           : QStringLiteral("その端末 ID は登録されていません"));
            setBusy(false);
            return;
        }
        const std::optional<DeviceInfo> &info = found.value;
        if (!info->online) {
            setMessage(info->name + QStringLiteral(" はオフラインです"));
            setBusy(false);
            return;
        }
        setMessage(QString());
        setPasscode(QString());
        if (m_store) {
            const QString sid = m_store->open(id, passcode, info->name)->sid();
            if (m_openWindow)
                m_openWindow(sid);
        }
        refreshOnline([this] { setBusy(false); });
    });
}

void ConnectView::refreshOnline(std::function<void()> done) {
    QList<DeviceEntry> entries;
    if (m_config)
        entries = m_config->recents() + m_config->favorites();
    // One request at a time, each entry in turn.
    auto step = std::make_shared<std::function<void(int)>>();
    std::weak_ptr<std::function<void(int)>> weak = step;
    *step = [this, entries, done, weak](int i) {
        auto self = weak.lock();
        if (i >= entries.size()) {
            if (done)
                done();
            return;
        }
        const QString id = entries.at(i).id;
        m_api->deviceInfo(id, this, [this, id, i, self](Result<DeviceInfo> info) {
            m_onlineCache.insert(id, info.ok() && info.value->online);
            updateRows(id);
            fetchThumb(id, [self, i] { (*self)(i + 1); });
        });
    };
    (*step)(0);
}

void ConnectView::fetchThumb(const QString &id, std::function<void()> next) {
    m_api->deviceThumb(id, this, [this, id, next](Result<QByteArray> bytes) {
        if (bytes.ok()) {
            const QImage image = thumbFrom(*bytes.value);
            // A failed fetch or an undecodable body leaves an older picture in place.
            if (!image.isNull()) {
                m_thumbCache.insert(id, image);
                updateRows(id);
            }
        }
        next();
    });
}

void ConnectView::loadServerDevices(std::function<void()> done) {
    setServerMsg(QStringLiteral("読み込んでいます…"));
    m_api->listDevices(this, [this, done](Result<QList<DeviceInfo>> listed) {
        if (!listed.ok()) {
            m_serverDevices.clear();
            rebuildServerList();
            setServerMsg(QStringLiteral("一覧を読めません。設定画面で管理トークンを入れてください。"));
            if (done)
                done();
            return;
        }
        const std::optional<QList<DeviceInfo>> &list = listed.value;
        m_serverDevices = *list;
        rebuildServerList();
        setServerMsg(list->isEmpty() ? QStringLiteral("登録されている端末はありません") : QString());
        QStringList missing;
        for (const DeviceInfo &d : *list)
            if (!m_thumbCache.contains(d.id) && !missing.contains(d.id))
                missing << d.id;
        auto step = std::make_shared<std::function<void(int)>>();
        std::weak_ptr<std::function<void(int)>> weak = step;
        *step = [this, missing, done, weak](int i) {
            auto self = weak.lock();
            if (i >= missing.size()) {
                if (done)
                    done();
                return;
            }
            fetchThumb(missing.at(i), [self, i] { (*self)(i + 1); });
        };
        (*step)(0);
    });
}

void ConnectView::remove(const DeviceInfo &device, std::function<void()> done) {
    m_api->deleteDevice(device.id, this, [this, device, done](Result<std::monostate> deleted) {
        const QString outcome = deleted.ok()
                                    ? serverRowTitle(device) + QStringLiteral(" の登録を消しました")
                                    : QStringLiteral("消せませんでした(管理トークンを設定画面で入れてください)");
        setServerMsg(outcome);
        loadServerDevices([this, outcome, done] {
            // The outcome stays in view unless the reload has news of its own.
            if (m_serverMsg.isEmpty())
                setServerMsg(outcome);
            if (done)
                done();
        });
    });
}

void ConnectView::setRenaming(const std::optional<DeviceEntry> &entry) {
    // The sheet being replaced finishes while it closes; forgotten first, it
    // cannot clear the entry that replaces it.
    if (QPointer<QDialog> old = std::exchange(m_aliasSheet, nullptr))
        old->close();
    m_renaming = entry;
    if (!entry)
        return;
    auto *sheet = new QDialog(this);
    sheet->setObjectName("aliasSheet");
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(aliasTitle(*entry));
    auto *v = new QVBoxLayout(sheet);
    auto *title = new QLabel(aliasTitle(*entry), sheet);
    title->setObjectName("aliasTitle");
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    v->addWidget(title);
    auto *field = new QLineEdit(m_aliasText, sheet);
    field->setObjectName("aliasField");
    field->setPlaceholderText(QStringLiteral("別名"));
    field->setFixedWidth(260);
    connect(field, &QLineEdit::textEdited, this, &ConnectView::setAliasText);
    v->addWidget(field);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), sheet);
    cancel->setObjectName("aliasCancel");
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, sheet, &QDialog::reject);
    buttons->addWidget(cancel);
    auto *save = new QPushButton(QStringLiteral("保存"), sheet);
    save->setObjectName("aliasSave");
    save->setDefault(true);
    const QString id = entry->id;
    connect(save, &QPushButton::clicked, this, [this, id, sheet] {
        // As typed: an empty alias is stored and the name shows again.
        if (m_config)
            m_config->setAlias(id, m_aliasText);
        sheet->accept();
    });
    buttons->addWidget(save);
    v->addLayout(buttons);
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (m_aliasSheet != sheet)
            return;
        m_aliasSheet = nullptr;
        m_renaming.reset();
    });
    m_aliasSheet = sheet;
    sheet->open();
    field->setFocus();
}

void ConnectView::setDeleting(const std::optional<DeviceInfo> &device) {
    if (QPointer<QMessageBox> old = std::exchange(m_deleteBox, nullptr))
        old->close();
    m_deleting = device;
    if (!device)
        return;
    auto *box = new QMessageBox(this);
    box->setObjectName("deleteConfirm");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("この端末の登録を消しますか?"));
    box->setText(QStringLiteral("この端末の登録を消しますか?"));
    box->setInformativeText(deleteMessage(*device));
    QPushButton *cancel = box->addButton(QStringLiteral("やめる"), QMessageBox::RejectRole);
    cancel->setObjectName("deleteCancel");
    QPushButton *erase = box->addButton(QStringLiteral("消す"), QMessageBox::DestructiveRole);
    erase->setObjectName("deleteConfirmButton");
    erase->setStyleSheet(QStringLiteral("color: ") + Theme::destructive().name());
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, erase](QAbstractButton *b) {
        if (b != erase || !m_deleting)
            return;
        const DeviceInfo target = *m_deleting;
        m_deleting.reset();
        remove(target);
    });
    // On finished, not destroyed: by the time a QObject announces its destruction it
    // is no longer a QMessageBox, and the pointer to it must not be read as one.
    connect(box, &QDialog::finished, this, [this, box] {
        if (m_deleteBox != box)
            return;
        m_deleteBox = nullptr;
        m_deleting.reset();
    });
    m_deleteBox = box;
    box->open();
}

// ---- lists ----

QList<DeviceRowView *> ConnectView::rows(int tab) const {
    QWidget *host = tab == 2 ? m_serverListHost : (tab >= 0 && tab < 2 ? m_listHosts[tab] : nullptr);
    QList<DeviceRowView *> out;
    if (!host)
        return out;
    for (DeviceRowView *r : host->findChildren<DeviceRowView *>(Qt::FindDirectChildrenOnly))
        if (!r->property("retired").toBool())
            out << r;
    return out;
}

namespace {
void clearLayout(QVBoxLayout *layout) {
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *w = item->widget()) {
            // Deleted later: this may run inside one of the row's own button handlers.
            w->hide();
            w->setProperty("retired", true);
            w->deleteLater();
        }
        delete item;
    }
}
} // namespace

void ConnectView::updateRows(const QString &id) {
    // Only the rows of this device change: a long list is not rebuilt for every answer.
    const auto online = m_onlineCache.contains(id) ? std::optional(m_onlineCache.value(id)) : std::nullopt;
    for (int tab : {0, 1})
        for (DeviceRowView *row : rows(tab))
            if (row->id() == id) {
                row->setCaption(rowCaption(id, online));
                row->setThumbnail(m_thumbCache.value(id), online.value_or(false));
            }
    for (DeviceRowView *row : rows(2))
        if (row->id() == id)
            row->setThumbnail(m_thumbCache.value(id), row->property("online").toBool());
    Q_EMIT listsChanged();
}

void ConnectView::rebuildLists() {
    rebuildDeviceList(0);
    rebuildDeviceList(1);
    rebuildServerList();
    Q_EMIT listsChanged();
}

void ConnectView::rebuildDeviceList(int tab) {
    QVBoxLayout *layout = m_listLayouts[tab];
    QWidget *host = m_listHosts[tab];
    clearLayout(layout);
    const QList<DeviceEntry> entries =
        m_config ? (tab == 0 ? m_config->recents() : m_config->favorites()) : QList<DeviceEntry>();
    if (entries.isEmpty()) {
        auto *empty = new QLabel(QStringLiteral("まだありません"), host);
        empty->setObjectName("empty");
        empty->setForegroundRole(QPalette::PlaceholderText);
        layout->addWidget(empty);
        return;
    }
    const QColor secondary = palette().color(QPalette::PlaceholderText);
    for (const DeviceEntry &entry : entries) {
        auto *row = new DeviceRowView(entry.id, host);
        const auto online =
            m_onlineCache.contains(entry.id) ? std::optional(m_onlineCache.value(entry.id)) : std::nullopt;
        row->setTitle(entry.display());
        row->setCaption(rowCaption(entry.id, online));
        row->setThumbnail(m_thumbCache.value(entry.id), online.value_or(false));
        const QString grouped = formattedId(entry.id);
        connect(row, &DeviceRowView::clicked, this, [this, grouped] { setTargetId(grouped); });
        if (tab == 1) {
            auto *pencil = borderless(SymbolIcons::pencil(secondary), row, "rename");
            connect(pencil, &QToolButton::clicked, this, [this, entry] {
                setAliasText(entry.alias.value_or(entry.name));
                setRenaming(entry);
            });
            row->addButton(pencil);
        }
        const bool favorite = m_config && m_config->isFavorite(entry.id);
        auto *star = borderless(SymbolIcons::star(favorite, Theme::favorite()), row, "star");
        connect(star, &QToolButton::clicked, this, [this, entry] {
            if (m_config)
                m_config->toggleFavorite(entry.id, entry.name);
        });
        row->addButton(star);
        auto *connectButton = linkButton(QStringLiteral("接続"), row, "rowConnect");
        connect(connectButton, &QPushButton::clicked, this, [this, grouped] { connectFromList(grouped); });
        row->addButton(connectButton);
        layout->addWidget(row);
    }
}

void ConnectView::rebuildServerList() {
    clearLayout(m_serverListLayout);
    for (const DeviceInfo &device : std::as_const(m_serverDevices)) {
        auto *row = new DeviceRowView(device.id, m_serverListHost);
        row->setTitle(serverRowTitle(device));
        row->setCaption(serverRowCaption(device));
        row->setProperty("online", device.online);
        row->setThumbnail(m_thumbCache.value(device.id), device.online);
        auto *connectButton = linkButton(QStringLiteral("接続"), row, "rowConnect");
        const QString grouped = formattedId(device.id);
        connect(connectButton, &QPushButton::clicked, this, [this, grouped] {
            setTargetId(grouped);
            setTab(0);
        });
        row->addButton(connectButton);
        auto *trash = borderless(SymbolIcons::trash(red), row, "trash");
        trash->setToolTip(QStringLiteral("この端末の登録を消す"));
        connect(trash, &QToolButton::clicked, this, [this, device] { setDeleting(device); });
        row->addButton(trash);
        m_serverListLayout->addWidget(row);
    }
}
