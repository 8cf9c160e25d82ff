#pragma once
// The library's log: "config/service.log" in the engine's program folder. Every line is opened,
// appended and closed at once, so nothing is lost when the process ends abruptly. Logging never
// reports an error: a log that cannot be written is skipped.

#include <string>

// Creates the missing folders of the log path and empties the log.
void ResetLog();
// Appends "[<ctime text>] " + message + "\r\n"; the message carries its own tag.
void WriteLog(const char* message);
// printf-style WriteLog.
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The diagnostic channel: writes nothing.
void TraceDiagnostic(const char* message);

// The log file's path, built once per process from the program folder.
std::string LogPath();
// Test-only: forgets the built path so the next call builds it again from the current
// environment (tests point the data folder at a temporary folder).
void ResetLogPathForTesting();
