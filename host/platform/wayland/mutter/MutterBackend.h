#pragma once

#include "platform/DesktopBackend.h"

class MutterSession;

// A GNOME desktop through Mutter's own remote-desktop and screen-cast interfaces on the
// session bus (no dialog). The parts share one remote-desktop session, made when the first
// part is asked for and kept while any part lives.
class MutterBackend : public DesktopBackend {
public:
    MutterBackend();
    ~MutterBackend() override;
    QString name() const override { return QStringLiteral("mutter"); }
    ScreenCapture *openCapture(QObject *parent, QString *problem) override;
    std::unique_ptr<InputInjector> openInput(QString *problem) override;
    std::unique_ptr<ClipboardBackend> openClipboard(QString *problem) override;
    bool inputEndsWithScreen() const override { return true; }

private:
    std::shared_ptr<MutterSession> session(QString *problem);

    std::shared_ptr<MutterSession> m_session;
    QString m_problem; // why the session could not be made (asked once)
    bool m_tried = false;
};
