#include "sharing/HostPanelText.h"

#include <QBuffer>
#include <QImageReader>
#include <QStringList>

#include <cmath>
#include <limits>

QString HostPanelText::elapsed(qint64 since, qint64 now) {
    qint64 d = 0;
    // A start the clock cannot subtract (far in the past) has no sensible age.
    if (__builtin_sub_overflow(now, since, &d))
        return since > 0 ? QStringLiteral("0 秒") : QStringLiteral("- 秒");
    if (d < 0)
        d = 0;
    if (d >= 60)
        return QString::number(d / 60) + QStringLiteral(" 分") + QString::number(d % 60) + QStringLiteral(" 秒");
    return QString::number(d) + QStringLiteral(" 秒");
}

QString HostPanelText::permLabel(const ControlSession &s) {
    QStringList denied;
    if (!s.input)
        denied << QStringLiteral("操作");
    if (!s.clip)
        denied << QStringLiteral("クリップボード");
    if (!s.files)
        denied << QStringLiteral("ファイル");
    if (denied.isEmpty())
        return QStringLiteral("全許可");
    return QStringLiteral("禁止: ") + denied.join(QStringLiteral(" / "));
}

QString HostPanelText::encoderLine(const std::optional<ControlStatus> &st) {
    const QString encoder = st && !st->encoder.isEmpty() ? st->encoder : QStringLiteral("(未使用)");
    const QString video = st ? st->video : QStringLiteral("-");
    const int fps = st ? st->fps : 0;
    const int kbps = st ? st->kbps : 0;
    QString percent = QStringLiteral("0");
    if (st) {
        // A scale that is not finite or whose percentage does not fit an int reads "-".
        const double p = st->scale * 100.0;
        if (std::isfinite(p) && p > double(std::numeric_limits<int>::min()) - 1.0 &&
            p < double(std::numeric_limits<int>::max()) + 1.0)
            percent = QString::number(int(p));
        else
            percent = QStringLiteral("-");
    }
    return encoder + QStringLiteral("  映像 ") + video + QStringLiteral("  ") + QString::number(fps) +
           QStringLiteral("fps  ") + percent + QStringLiteral("%  ") + QString::number(kbps) + QStringLiteral("kbps");
}

QString HostPanelText::backendLine(const std::optional<ControlStatus> &st) {
    const QString backend = st ? st->backend : QString();
    QString line;
    if (backend == QLatin1String("x11"))
        line = QStringLiteral("X11");
    else if (backend == QLatin1String("wlroots"))
        line = QStringLiteral("Wayland (wlroots)");
    else if (backend == QLatin1String("mutter"))
        line = QStringLiteral("Wayland (GNOME / Mutter)");
    else if (backend == QLatin1String("portal"))
        line = QStringLiteral("Wayland (デスクトップポータル)");
    else if (backend == QLatin1String("none"))
        line = QStringLiteral("なし");
    else
        line = backend.isEmpty() ? QStringLiteral("-") : backend;
    if (st && !st->screenError.isEmpty())
        line += QStringLiteral("  画面を共有できません: ") + st->screenError;
    else if (st && st->screenPerm == QLatin1String("asking"))
        line += QStringLiteral("  デスクトップの許可を待っています");
    return line;
}

QString HostPanelText::versionLine(const std::optional<ControlStatus> &st) {
    return (st ? st->version : QStringLiteral("-")) + QStringLiteral("  (") +
           (st ? st->platform : QStringLiteral("-")) + u')';
}

QString HostPanelText::audioLine(const std::optional<ControlStatus> &st) {
    const bool on = st && st->audioOn;
    const bool mic = st && st->audioSource == QLatin1String("mic");
    // Says both whether sound goes out and which source is (or would be) used.
    const QString source = mic ? QStringLiteral("マイク") : QStringLiteral("システム音");
    return on ? QStringLiteral("オン(") + source + QStringLiteral("を配信中)")
              : QStringLiteral("オフ(オンにすると") + source + QStringLiteral("を配信)");
}

QString HostPanelText::idNote(const std::optional<ControlStatus> &st, bool agentEnded) {
    if (!st)
        return agentEnded ? QStringLiteral("エージェントが止まっているため、ID はありません。") : QString();
    if (!st->id.isEmpty())
        return QString();
    if (st->connected)
        return QStringLiteral("サーバーに登録しています…");
    return QStringLiteral("ID はサーバーが発行します。いまサーバー ") + st->server +
           QStringLiteral(" に接続できていません。サーバーが動いているか、設定のサーバー "
                          "URL(アドレスとポート)を確認してください。");
}

QString HostPanelText::monitorLine(const ControlMonitor &m) {
    return QStringLiteral("・") + m.name + QStringLiteral("  ") + QString::number(m.w) + QStringLiteral("×") +
           QString::number(m.h) + (m.primary ? QStringLiteral("  ★メイン") : QString());
}

QString HostPanelText::sessionCaption(const ControlSession &s, qint64 now) {
    return (s.authed ? QStringLiteral("認証済み") : QStringLiteral("認証待ち")) + QStringLiteral("  ") +
           (s.relay ? QStringLiteral("リレー") : QStringLiteral("P2P")) + QStringLiteral("  ") + elapsed(s.since, now) +
           QStringLiteral("  ") + permLabel(s);
}

QString HostPanelText::copyLabel(const QString &label, const QString &value, const std::optional<QString> &copied) {
    return (!value.isEmpty() && copied == value) ? QStringLiteral("コピーしました") : label;
}

QImage HostPanelText::decodeIcon(const QString &icon) {
    if (!icon.startsWith(QLatin1String("data:image/")))
        return {};
    const qsizetype comma = icon.indexOf(u',');
    if (comma < 0 || icon.size() > maxIconChars)
        return {};
    const QByteArray data = QByteArray::fromBase64(QStringView(icon).mid(comma + 1).toLatin1());
    if (data.isEmpty())
        return {};
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // Never unpack a picture bigger than a screen for a 30-point circle.
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > 4096LL * 4096LL)
        return {};
    reader.setScaledSize(size.scaled(60, 60, Qt::KeepAspectRatioByExpanding));
    return reader.read();
}
