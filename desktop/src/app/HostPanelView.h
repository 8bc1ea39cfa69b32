#pragma once

#include <QWidget>

class HostPanelView : public QWidget {
    Q_OBJECT
public:
    explicit HostPanelView(QWidget *parent = nullptr);
};
