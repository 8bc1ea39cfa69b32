#pragma once

#include <QWidget>

// The window of one viewer session.
class SessionWindowView : public QWidget {
    Q_OBJECT
public:
    explicit SessionWindowView(const QString &sid, QWidget *parent = nullptr);
    QString sid() const { return m_sid; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QString m_sid;
};
