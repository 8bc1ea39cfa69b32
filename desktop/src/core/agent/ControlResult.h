#pragma once

#include "agent/ControlError.h"

#include <optional>
#include <utility>

// The outcome of one control API request: a value or an error.
template <class T> struct ControlResult {
    std::optional<T> value;
    ControlError error;

    bool ok() const { return value.has_value(); }
    static ControlResult success(T v) { return ControlResult{std::move(v), {}}; }
    static ControlResult failure(ControlError e) { return ControlResult{std::nullopt, std::move(e)}; }
};
