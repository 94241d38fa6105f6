#pragma once
// The log of a program: standard error and a file under the user's state
// folder, the place the Linux base-directory rules give logs and history.

#include "core/kelTypes.h"

// The log file of `program` given the value of XDG_STATE_HOME (null when
// unset) and the user's home folder: "<state>/<program>/<program>.log", where
// <state> is XDG_STATE_HOME when it is an absolute path, else
// "<home>/.local/state". Empty when neither gives a folder or `program` is
// empty.
kelString programLogFileName(const kelString& program, const char* xdgStateHome, const kelString& home);
// The same for this process's environment.
kelString programLogFileName(const kelString& program);

// Called once by a program at start-up, before it opens anything: sends
// every log line to standard error and appends it to
// programLogFileName(program), making the folder when missing. Returns the
// file's name, empty when it could not be opened (the log then goes to
// standard error only).
kelString startProgramLog(const kelString& program);
