#include <fstream>

#include "app/trace_file.h"

namespace countryset {

std::unique_ptr<std::ostream> OpenTraceFile(const std::string& path, std::string* problem) {
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) {
        *problem = "it cannot be opened for writing";
        return nullptr;
    }
    return file;
}

}  // namespace countryset
