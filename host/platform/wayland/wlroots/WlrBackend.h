#pragma once

#include "platform/DesktopBackend.h"

// A wlroots compositor (sway, labwc, Hyprland, river, …): frames through wlr-screencopy,
// input through wlr-virtual-pointer and virtual-keyboard, the clipboard through
// wlr-data-control, each on a connection of its own to WAYLAND_DISPLAY.
class WlrBackend : public DesktopBackend {
public:
    QString name() const override { return QStringLiteral("wlroots"); }
    ScreenCapture *openCapture(QObject *parent, QString *problem) override;
    std::unique_ptr<InputInjector> openInput(QString *problem) override;
    std::unique_ptr<ClipboardBackend> openClipboard(QString *problem) override;
};
