#pragma once

#include <QString>

// Why an operation failed, in the one shape every layer of every program hands upwards:
// a kind the caller can branch on and the text for whoever reads it (in the application
// the user: Japanese, complete; in the agent and the server their log).
struct Error {
    enum class Kind {
        NotFound,    // the server knows no such thing (an unknown device ID)
        Unreachable, // no answer: connection refused, time-out, name not resolved
        Http,        // an answer with a failing status (code)
        BadAnswer,   // an answer that does not decode
        NotReady,    // the local agent is not running yet
        Unavailable, // a local facility is missing or failed (WebRTC plug-ins, pipeline, a file, a database)
        Invalid,     // a value given to the program does not hold (a URL, a setting, a file's contents)
    };

    Kind kind = Kind::Http;
    int code = 0;    // HTTP status when there was one
    QString message; // for the user

    bool operator==(const Error &) const = default;

    static Error make(Kind kind, const QString &message, int code = 0) { return Error{kind, code, message}; }
};
