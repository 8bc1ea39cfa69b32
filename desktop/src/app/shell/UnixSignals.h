#pragma once

// SIGTERM, SIGINT and SIGHUP end the event loop normally, so the shutdown
// sequence runs (the spawned agent is stopped, sessions say goodbye).
namespace UnixSignals {
void quitOnTermination();
}
