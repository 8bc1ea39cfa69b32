#include "viewer/StatsOverlay.h"

#include "style/Theme.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {
constexpr int padding = 8;
constexpr int lineHeight = 16;
constexpr int graphHeight = 48;
constexpr int panelWidth = 240;

QString number(double v, int decimals) {
    return QString::number(v, 'f', decimals);
}
} // namespace

StatsOverlay::StatsOverlay(SessionStatistics *statistics, QWidget *parent) : QWidget(parent), m_statistics(statistics) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    if (m_statistics)
        connect(m_statistics, &SessionStatistics::updated, this, &StatsOverlay::refresh);
    refresh();
}

QStringList StatsOverlay::lines(const SessionStatistics::Sample &s) {
    const QString none = QStringLiteral("-");
    QStringList out;
    out << QStringLiteral("往復時間: ") + (s.rttMs ? number(*s.rttMs, 0) + QStringLiteral(" ms") : none);
    out << QStringLiteral("受信: ") + number(s.fps, 1) + QStringLiteral(" fps");
    out << QStringLiteral("デコード: ") + (s.decodeMs ? number(*s.decodeMs, 1) + QStringLiteral(" ms") : none);
    out << QStringLiteral("ビットレート: ") + number(s.kbps, 0) + QStringLiteral(" kbps");
    out << QStringLiteral("パケット損失: ") + (s.packetsLost ? QString::number(*s.packetsLost) : none);
    QString path = none;
    if (s.relayed)
        path = (*s.relayed ? QStringLiteral("中継 (TURN)") : QStringLiteral("直接")) +
               (s.path.isEmpty() ? QString() : QStringLiteral("  ") + s.path);
    out << QStringLiteral("経路: ") + path;
    // The host's side: what it sends and why it holds back.
    if (s.sentFps)
        out << QStringLiteral("送信: ") + QString::number(*s.sentFps) + QStringLiteral(" fps") +
                   (s.canFps ? QStringLiteral("(この画質で最大 %1 fps)").arg(*s.canFps) : QString());
    if (s.targetKbps || s.estimateKbps)
        out << QStringLiteral("目標/推定: ") + (s.targetKbps ? QString::number(*s.targetKbps) : none) +
                   QStringLiteral(" / ") + (s.estimateKbps ? QString::number(*s.estimateKbps) : none) +
                   QStringLiteral(" kbps");
    if (s.hostLossPct || s.hostRttMs)
        out << QStringLiteral("送信側の損失/往復: ") +
                   (s.hostLossPct ? number(*s.hostLossPct, 1) + QStringLiteral(" %") : none) + QStringLiteral(" / ") +
                   (s.hostRttMs ? QString::number(*s.hostRttMs) + QStringLiteral(" ms") : none);
    if (s.targetKbps || s.estimateKbps)
        out << QStringLiteral("制限: ") + (s.limit.isEmpty() ? QStringLiteral("なし") : s.limit);
    // The picture is smaller than asked: why it looks softer.
    if (s.scale)
        out << QStringLiteral("縮小 %1%").arg(int(*s.scale * 100.0 + 1e-6));
    return out;
}

QSize StatsOverlay::sizeHint() const {
    return QSize(panelWidth, padding * 3 + int(m_lines.size()) * lineHeight + graphHeight);
}

void StatsOverlay::refresh() {
    if (m_statistics) {
        m_lines = lines(m_statistics->latest());
        m_history = m_statistics->bitrateHistory();
    }
    resize(sizeHint());
    update();
}

void StatsOverlay::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 20, 200));
    p.drawRoundedRect(rect(), 8, 8);

    QFont f = font();
    f.setPointSize(9);
    p.setFont(f);
    p.setPen(Qt::white);
    int y = padding;
    for (const QString &line : m_lines) {
        p.drawText(QRect(padding, y, width() - 2 * padding, lineHeight), Qt::AlignLeft | Qt::AlignVCenter, line);
        y += lineHeight;
    }

    // The bit-rate graph: the last minute, right-aligned, scaled to its own peak.
    const QRectF graph(padding, y + padding, width() - 2 * padding, graphHeight);
    p.setPen(QColor(255, 255, 255, 60));
    p.setBrush(Qt::NoBrush);
    p.drawRect(graph);
    if (m_history.size() < 2)
        return;
    const double peak = axisTop(m_history);
    const double step = graph.width() / double(SessionStatistics::historySeconds - 1);
    const double x0 = graph.right() - step * double(m_history.size() - 1);
    QPainterPath line;
    for (int i = 0; i < int(m_history.size()); ++i) {
        const QPointF pt(x0 + step * i, graph.bottom() - graph.height() * std::clamp(m_history[i] / peak, 0.0, 1.0));
        if (i == 0)
            line.moveTo(pt);
        else
            line.lineTo(pt);
    }
    p.setPen(QPen(Theme::green(), 1.5));
    p.drawPath(line);
    p.setPen(QColor(255, 255, 255, 160));
    p.drawText(graph.adjusted(4, 2, -4, -2), Qt::AlignRight | Qt::AlignTop, axisLabel(peak));
}

double StatsOverlay::axisTop(const QList<double> &history) {
    QList<double> values;
    for (double v : history)
        if (std::isfinite(v) && v > 0)
            values.append(v);
    if (values.isEmpty())
        return 100;
    std::sort(values.begin(), values.end());
    // The 90th percentile: a few seconds of spike stay above the axis.
    const double typical = values.at(qsizetype(std::floor(0.9 * double(values.size() - 1))));
    const double wanted = std::max(100.0, typical * 1.1);
    const double decade = std::pow(10.0, std::floor(std::log10(wanted)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * decade >= wanted)
            return m * decade;
    return 10 * decade;
}

QString StatsOverlay::axisLabel(double kbps) {
    if (kbps >= 1000)
        return QString::number(kbps / 1000.0, 'g', 3) + QStringLiteral(" Mbps");
    return number(kbps, 0) + QStringLiteral(" kbps");
}
