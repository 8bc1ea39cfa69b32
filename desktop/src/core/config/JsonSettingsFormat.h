#pragma once

#include <QSettings>

// A QSettings format that keeps value types (bool, number, string, bytes) in a
// JSON file, so that a value of the wrong type can be told apart on reading.
namespace JsonSettingsFormat {
QSettings::Format format();
}
