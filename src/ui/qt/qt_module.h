// The desktop presenter lives in a module of its own, loaded only when the program draws the
// dialog, so a console run loads no toolkit. The module takes the dialog model from the program
// that loads it; the one entry point it offers says which build it belongs to before anything of
// it is called.
#pragma once

#include <string>

#include "ui/presenter.h"

#ifndef COUNTRYSET_QT_MODULE_INTERFACE
#error "COUNTRYSET_QT_MODULE_INTERFACE names the build the module must match"
#endif

namespace countryset {

// The module's file name, in the folder of the program's real path.
inline constexpr char kQtModuleFileName[] = "countryset-qt.so";
inline constexpr char kQtModuleEntryName[] = "countryset_qt_module";
// Program and module share the model's classes, so they must come from one build: the version,
// the compiler, the sanitizer and the headers the two share all change the classes' layout or
// the symbols they need.
inline constexpr char kQtModuleInterface[] = COUNTRYSET_QT_MODULE_INTERFACE;
// The section of the module's file that holds kQtModuleInterface, so the program can read the
// tag before loading the module: a module of another build runs none of its code.
inline constexpr char kQtModuleTagSection[] = ".countryset_tag";

}  // namespace countryset

// Places the build tag in its section; for the module's one source file.
#define COUNTRYSET_QT_MODULE_TAG(tag)                                                  \
    extern "C" __attribute__((section(".countryset_tag"), used, visibility("hidden"))) \
    const char countryset_qt_module_tag[] = tag

namespace countryset {}  // namespace countryset

extern "C" {

struct CountrysetQtModule {
    // First, so that a module of any build can be asked before anything else is used.
    const char* interface;
    // As CreateQtPresenter: the caller owns the presenter; argc and argv must outlive it.
    countryset::Presenter* (*create)(int* argc, char** argv, std::string* whyNot);
};

using CountrysetQtModuleEntry = const CountrysetQtModule* (*)();

}  // extern "C"
