// Where the running program lies: data files and libraries loaded at run time sit beside it.
#pragma once

#include <string>

namespace vantrel {

// The folder of the running program, without a trailing "/".
std::string programFolder();

// The path of a file shipped with the program: a name without a folder lies in the program
// folder (never on the system's search path); a name with a folder is taken as it is.
std::string programFilePath(const std::string& fileName);

} // namespace vantrel
