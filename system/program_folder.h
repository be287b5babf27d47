#pragma once

#include <string>

// The folder that holds the running program's executable, with links resolved (/proc/self/exe), without a
// trailing slash; empty when the system does not say.
std::string programFolder();
