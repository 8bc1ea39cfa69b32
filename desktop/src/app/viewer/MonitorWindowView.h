#pragma once

#include <QPointer>
#include <QWidget>

class MonitorView;
class QComboBox;
class QLabel;
class RemoteScreenView;
class RemoteSession;

// A window of its own for one display of the host (opened from the "モニタ" menu): the
// display's picture at the window's own scale, input that lands on that display, and a
// plain line when the display went away. Closing the window ends its picture on the host.
// Deletes itself when closed; the session window closes its display windows with it.
class MonitorWindowView : public QWidget {
    Q_OBJECT
public:
    MonitorWindowView(RemoteSession *session, MonitorView *view, const QString &title, QWidget *parent = nullptr);
    ~MonitorWindowView() override;

    MonitorView *monitorView() const { return m_view; }
    RemoteScreenView *screen() const { return m_screen; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void refresh();
    void release();

    QPointer<RemoteSession> m_session;
    QPointer<MonitorView> m_view;
    RemoteScreenView *m_screen = nullptr;
    QLabel *m_status = nullptr;
    QComboBox *m_scale = nullptr;
};
