// The module's entry point; everything else of the desktop presenter is reached through it.
#include "ui/qt/qt_module.h"

#include "ui/qt/qt_presenter.h"

COUNTRYSET_QT_MODULE_TAG(COUNTRYSET_QT_MODULE_INTERFACE);

namespace {

countryset::Presenter* CreatePresenter(int* argc, char** argv, std::string* whyNot) {
    return countryset::CreateQtPresenter(*argc, argv, whyNot).release();
}

constexpr CountrysetQtModule kModule{countryset::kQtModuleInterface, &CreatePresenter};

}  // namespace

extern "C" __attribute__((visibility("default"))) const CountrysetQtModule* countryset_qt_module() {
    return &kModule;
}
