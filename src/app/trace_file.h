// The file --trace=FILE writes. The program often runs as root, in folders other users can
// write: the file is opened without following a symbolic link, and only a regular file is taken.
#pragma once

#include <memory>
#include <ostream>
#include <string>

namespace countryset {

// The open file, created or emptied; nullptr with *problem saying why not.
std::unique_ptr<std::ostream> OpenTraceFile(const std::string& path, std::string* problem);

}  // namespace countryset
