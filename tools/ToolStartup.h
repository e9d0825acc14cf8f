#pragma once

#include <string>

// What every tool and benchmark does first, once its arguments are read:
// keep the runtime loader's search out of the output, and let SIGINT and
// SIGTERM end the run cleanly. Main thread, before any worker starts.
void prepareToolProcess();

// For arguments that could not be used: with an empty `error` (help was
// asked for) prints the usage on standard output and returns 0; otherwise
// prints the error and the usage on standard error and returns 2.
int explainArguments(const char* program, const std::string& error, const char* usage);
