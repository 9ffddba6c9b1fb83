// A dialog on template 139 that does what a selection dialog does with the model: the three
// exchanges, lists filled after the base initialisation, OK and Cancel buttons mapped.
#pragma once

#include <functional>
#include <string>

#include "ui/dialog.h"

namespace countryset {

class SelectionDialog : public CDialog {
  public:
    explicit SelectionDialog(CWnd* owner = nullptr) : CDialog(CountryDialogTemplate(), owner) {
        MapCommand(IDC_OK_BUTTON, [this] {
            okPressed = true;
            countrySel = GetComboBox(IDC_COUNTRY_LIST)->GetCurSel();
            portSel = GetComboBox(IDC_PORT_LIST)->GetCurSel();
            OnCancel();
        });
        MapCommand(IDC_CANCEL_BUTTON, [this] { OnCancel(); });
    }

    std::string code;
    std::string country;
    std::string port;
    bool okPressed = false;
    bool initRan = false;
    int countrySel = -2;
    int portSel = -2;
    int createResult = 0;
    int presetCountry = 1;  // Italy
    int presetPort = 0;     // COM1
    std::function<void(SelectionDialog&)> afterInit;

    using CDialog::UpdateData;

  protected:
    int OnCreate() override { return createResult; }

    bool OnInitDialog() override {
        initRan = true;
        const bool focusFirst = CDialog::OnInitDialog();
        CComboBox* countries = GetComboBox(IDC_COUNTRY_LIST);
        for (const char* name : {"Spain", "France", "Italy"}) {
            countries->SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        countries->SendMessage(CB_SETCURSEL, static_cast<WPARAM>(presetCountry));
        CComboBox* ports = GetComboBox(IDC_PORT_LIST);
        for (const char* name : {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}) {
            ports->SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        ports->SendMessage(CB_SETCURSEL, static_cast<WPARAM>(presetPort));
        if (afterInit) {
            afterInit(*this);
        }
        return focusFirst;
    }

    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Text(pDX, IDC_CODE_EDIT, code);
        DDV_MaxChars(pDX, code, 20);
        DDX_CBString(pDX, IDC_COUNTRY_LIST, country);
        DDX_CBString(pDX, IDC_PORT_LIST, port);
    }
};

}  // namespace countryset
