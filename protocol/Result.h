#pragma once

#include "protocol/Error.h"

#include <optional>
#include <utility>
#include <variant>

// The outcome of an operation that can fail: a value, or an Error. Results
// without a value of their own use Result<std::monostate>.
template <class T> struct Result {
    std::optional<T> value;
    Error error; // meaningful only when !ok()

    bool ok() const { return value.has_value(); }
    static Result success(T v) { return Result{std::move(v), {}}; }
    static Result failure(Error e) { return Result{std::nullopt, std::move(e)}; }
};
