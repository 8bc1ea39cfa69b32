#pragma once

#include <QString>

// The passcodes the device accepts right now, read at each proof.
struct DevicePasscodes {
    QString autoPasscode;
    QString fixedPasscode;
    QString mode = QStringLiteral("auto"); // "auto", "fixed" or "both"
};
