#pragma once

// Routes the message helper to the interpreter's sys.stdout / sys.stderr.
void installPythonMessageSink();
