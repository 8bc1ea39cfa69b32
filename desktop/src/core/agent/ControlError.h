#pragma once

#include <QString>

// What a control API request can fail with. `http` and `notReady` are the
// agent API's own cases; `transport` carries the network layer's own text
// (connection refused, time-out), passed on unchanged.
struct ControlError {
    enum class Kind { Http, NotReady, Transport };

    Kind kind = Kind::Http;
    int code = 0;    // HTTP status; 0 when the answer was not an HTTP response
    QString message; // Http: trimmed UTF-8 body; Transport: the platform's text

    bool operator==(const ControlError &) const = default;

    static ControlError http(int code, const QString &message) { return {Kind::Http, code, message}; }
    static ControlError notReady() { return {Kind::NotReady, 0, {}}; }
    static ControlError transport(const QString &text) { return {Kind::Transport, 0, text}; }

    // The user-visible text (what the supervisor puts in lastError).
    QString text() const;
};
