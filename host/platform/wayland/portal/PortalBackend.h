#pragma once

#include "platform/DesktopBackend.h"

class PortalSession;

// Any desktop with xdg-desktop-portal (GNOME, KDE Plasma, …): the screen through the
// portal's ScreenCast, input through its RemoteDesktop, both in one session that the
// desktop's user allows in its own dialog. The session is asked for when the first part is,
// and kept while any part lives. The restore token the portal hands out is kept in
// DIR/portal.json (mode 0600) for the next start. No clipboard: the portal of Debian 12
// (1.16) has none.
class PortalBackend : public DesktopBackend {
public:
    explicit PortalBackend(const QString &dataDir);
    ~PortalBackend() override;
    QString name() const override { return QStringLiteral("portal"); }
    ScreenCapture *openCapture(QObject *parent, QString *problem) override;
    std::unique_ptr<InputInjector> openInput(QString *problem) override;
    std::unique_ptr<ClipboardBackend> openClipboard(QString *problem) override;
    bool inputEndsWithScreen() const override { return true; }
    QString inputProblem() const override;

    QString tokenPath() const;

private:
    std::shared_ptr<PortalSession> session(QString *problem);
    QString readToken() const;
    void writeToken(const QString &token) const;

    QString m_dataDir;
    std::shared_ptr<PortalSession> m_session;
    QString m_problem; // why the session could not be made (asked once)
    bool m_tried = false;
};
