// The run's log, %TEMP%\tarvex-installer.log: one UTF-8 line per event,
// each with its local time, so that customer service learns why a run
// failed. Every line also goes to OutputDebugStringW for a debugger. Each
// run replaces the previous run's log. It holds no user name and no path
// of the user's profile.
//
// Threads: opened on the UI thread before the worker starts, then written
// by both threads; each line is a single write, so lines never mix.
#pragma once

// Replaces the previous log with a new one. The folder belongs to the user
// and we may be elevated: a folder reached through a link, or an old log
// that someone else holds open, means no log, and nothing else changes.
void OpenRunLog();

// One line, formatted like printf; control characters become '?'. Without
// a log file the line still reaches a debugger.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
