#pragma once

#include <QWidget>

class SettingsPanelView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPanelView(QWidget *parent = nullptr);
};
