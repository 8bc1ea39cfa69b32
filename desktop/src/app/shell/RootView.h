#pragma once

#include <QIcon>
#include <QWidget>

#include <optional>

class QListWidget;
class QStackedWidget;

// The main window's content: the sidebar of tabs and the detail panel.
class RootView : public QWidget {
    Q_OBJECT
public:
    enum class Tab { host, connect, settings };
    static const QList<Tab> &allTabs();
    static QString rawValue(Tab tab);
    // "host", "connect", "settings" → that tab; anything else → none.
    static std::optional<Tab> tabFromRaw(const QString &raw);
    static QString label(Tab tab);
    static QString iconName(Tab tab);

    // The detail panels of the three tabs, in the order of allTabs(); the view takes them over.
    RootView(QWidget *hostPanel, QWidget *connectPanel, QWidget *settingsPanel, QWidget *parent = nullptr);

    std::optional<Tab> tab() const { return m_tab; }
    void setTab(std::optional<Tab> tab);
    // The panel shown for the current selection.
    QWidget *currentDetail() const;

Q_SIGNALS:
    // Emitted each time the view is shown; the start-up task hangs off it.
    void shown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QIcon icon(Tab tab) const;

    std::optional<Tab> m_tab = Tab::host;
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_detail = nullptr;
};
