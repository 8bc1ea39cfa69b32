#pragma once

#include "platform/DesktopBackend.h"

// The X11 desktop in DISPLAY (an Xorg session or any X server): MIT-SHM capture,
// XTEST input and the CLIPBOARD selection, each on a connection of its own.
class X11Backend : public DesktopBackend {
public:
    QString name() const override { return QStringLiteral("x11"); }
    ScreenCapture *openCapture(QObject *parent, QString *problem) override;
    std::unique_ptr<InputInjector> openInput(QString *problem) override;
    std::unique_ptr<ClipboardBackend> openClipboard(QString *problem) override;
};
