#pragma once

#include <QWidget>

class ConnectView : public QWidget {
    Q_OBJECT
public:
    explicit ConnectView(QWidget *parent = nullptr);
};
