// Loads the desktop presenter's module from beside the program. Linux only: the module is a
// shared object found from the program's real path.
#pragma once

#include <memory>
#include <string>

#include "ui/presenter.h"

namespace countryset {

// The module's path: the folder of programPath (the program's real path), never the current
// folder nor a search path that another user could set.
std::string QtModulePath(const std::string& programPath);

// The Qt presenter from the module at modulePath, or nullptr with a one-line reason in *whyNot
// when the module is missing, not safe to load (a link, not a regular file, another user's, or
// writable by others), cannot be loaded, lacks its entry point or belongs to another build, or
// when the presenter cannot open the display. argc and argv must outlive the presenter. The
// module stays loaded for the life of the process.
std::unique_ptr<Presenter> LoadQtPresenter(const std::string& modulePath, int& argc, char** argv,
                                           std::string* whyNot);

}  // namespace countryset
