#pragma once

#include "style/Theme.h"

#include <QColor>
#include <QPainter>
#include <QWidget>

// The coloured status dot of the host panel's header.
class StatusDot : public QWidget {
public:
    explicit StatusDot(QWidget *parent) : QWidget(parent) { setFixedSize(10, 10); }
    void setColour(const QColor &c) {
        if (c != m_colour) {
            m_colour = c;
            update();
        }
    }
    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(m_colour);
        p.drawEllipse(rect());
    }

private:
    QColor m_colour = Theme::red();
};
