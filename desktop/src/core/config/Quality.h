#pragma once

#include "protocol/ctrl/QualityPresets.h"
#include "protocol/ctrl/QualityRequest.h"

// A quality the viewer asks the host for: the record of the "quality" message. The
// presets (presetList, presets) are the ones the agent knows too.
using Quality = QualityRequest;
