#pragma once

#include "session/SessionStatistics.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

// A translucent panel over the remote screen with the connection's figures:
// round trip, received frames per second, decode time, packet loss, direct or
// relayed path, and the received bit rate of the last minute as a graph; and what the
// host reports of its side (frames sent, target rate, what limits the picture, how far
// it stepped the picture down).
// It only paints what its SessionStatistics publishes.
class StatsOverlay : public QWidget {
    Q_OBJECT
public:
    explicit StatsOverlay(SessionStatistics *statistics, QWidget *parent = nullptr);

    // The text lines shown, in order (also what tests read).
    static QStringList lines(const SessionStatistics::Sample &sample);
    // The bit-rate graph's top: a round figure (1, 2 or 5 × 10^n kbps) just above what
    // the last minute mostly held, so that one spike does not flatten the rest (it is
    // drawn clipped at the top) and the label stays readable.
    static double axisTop(const QList<double> &history);
    // "500 kbps", "4 Mbps", "1.5 Mbps".
    static QString axisLabel(double kbps);
    QStringList shownLines() const { return m_lines; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    QPointer<SessionStatistics> m_statistics;
    QStringList m_lines;
    QList<double> m_history;
};
