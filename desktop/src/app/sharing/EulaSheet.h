#pragma once

#include "protocol/agent/ControlEula.h"

#include <QDialog>

#include <functional>

class MarkdownView;
class QLabel;
class QPushButton;

// The terms the agent asks the user to accept before sharing, as a sheet over
// the main window: "後で" (Escape) or "同意する" (Return). It closes itself.
class EulaSheet : public QDialog {
    Q_OBJECT
public:
    EulaSheet(const ControlEula &eula, std::function<void()> onAccept, std::function<void()> onLater,
              QWidget *parent = nullptr);

    const ControlEula &eula() const { return m_eula; }
    // Shows another agreement in the open sheet (the agent replaced it).
    void setEula(const ControlEula &eula);
    static QString versionLine(const QString &version);
    MarkdownView *markdownView() const { return m_markdown; }
    QPushButton *acceptButton() const { return m_accept; }
    QPushButton *laterButton() const { return m_later; }

private:
    ControlEula m_eula;
    std::function<void()> m_onAccept;
    std::function<void()> m_onLater;
    QLabel *m_versionLabel = nullptr;
    MarkdownView *m_markdown = nullptr;
    QPushButton *m_accept = nullptr;
    QPushButton *m_later = nullptr;
};
