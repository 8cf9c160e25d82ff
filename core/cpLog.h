#pragma once
// A way for the layers below the log to write to it: the library installs the log writer here at
// start; until then (and in tests that install none) messages go nowhere.

using cpLogWriter = void (*)(const char* message);

void cpSetLogWriter(cpLogWriter writer);
void cpLog(const char* message);
void cpLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
