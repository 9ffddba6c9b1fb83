// Stand-ins for a desktop module from elsewhere: built with OTHER_INTERFACE, one of another build
// of the program; without, a shared object of this build that lacks the entry point.
#include "ui/qt/qt_module.h"

#ifdef OTHER_INTERFACE
COUNTRYSET_QT_MODULE_TAG(OTHER_INTERFACE);

namespace {

countryset::Presenter* Refuse(int*, char**, std::string*) {
    // Reaching this is the fault the interface check prevents.
    __builtin_trap();
}

constexpr CountrysetQtModule kModule{OTHER_INTERFACE, &Refuse};

}  // namespace

extern "C" __attribute__((visibility("default"))) const CountrysetQtModule* countryset_qt_module() {
    return &kModule;
}
#else
COUNTRYSET_QT_MODULE_TAG(COUNTRYSET_QT_MODULE_INTERFACE);

extern "C" __attribute__((visibility("default"))) int countryset_something_else() {
    return 0;
}
#endif
