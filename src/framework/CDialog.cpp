#include "CDialog.h"

#include "../plugin/CPluginApp.h"

#include <vector>

int CComboBox::AddString(const std::string& text) {
    return static_cast<int>(
        SendMessageA(m_hWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CComboBox::FindString(int startAfter, const std::string& prefix) {
    return static_cast<int>(SendMessageA(m_hWnd, CB_FINDSTRING, static_cast<WPARAM>(startAfter),
                                         reinterpret_cast<LPARAM>(prefix.c_str())));
}

int CComboBox::SetCurSel(int index) {
    return static_cast<int>(SendMessageA(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

int CComboBox::GetCurSel() {
    return static_cast<int>(SendMessageA(m_hWnd, CB_GETCURSEL, 0, 0));
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (!control.m_hWnd)
        control.m_hWnd = GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
}

void DDX_CBString(CDataExchange* pDX, int id, std::string& value) {
    HWND combo = GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
    if (pDX->m_bSaveAndValidate) {
        int length = GetWindowTextLengthA(combo);
        // A length of 0 may hide a text: read it into room for 255 characters.
        std::vector<char> buffer(length > 0 ? length + 1 : 256, '\0');
        GetWindowTextA(combo, buffer.data(), static_cast<int>(buffer.size()));
        value = buffer.data();
    } else if (SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                            reinterpret_cast<LPARAM>(value.c_str())) == CB_ERR) {
        SetWindowTextA(combo, value.c_str());
    }
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
    HWND edit = GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
    if (pDX->m_bSaveAndValidate) {
        std::vector<char> buffer(GetWindowTextLengthA(edit) + 1, '\0');
        GetWindowTextA(edit, buffer.data(), static_cast<int>(buffer.size()));
        value = buffer.data();
    } else {
        SetWindowTextA(edit, value.c_str());
    }
}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    try {
        DoDataExchange(&dx);
    } catch (...) {
        return false;
    }
    return !dx.m_Failed;
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (UpdateData(true))
        EndDialog(m_hWnd, IDOK);
}

void CDialog::OnCancel() {
    EndDialog(m_hWnd, IDCANCEL);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(dialog));
        dialog->m_hWnd = window;
        return dialog->OnInitDialog();
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!dialog || message != WM_COMMAND)
        return FALSE;
    // The platform calls this from its message loop: nothing may escape it.
    try {
        if (LOWORD(wParam) == IDOK)
            dialog->OnOK();
        else if (LOWORD(wParam) == IDCANCEL)
            dialog->OnCancel();
        else
            return FALSE;
    } catch (...) {
        EndDialog(window, IDCANCEL);
    }
    return TRUE;
}

INT_PTR CDialog::DoModal() {
    LPARAM self = reinterpret_cast<LPARAM>(this);
    HINSTANCE module = static_cast<HINSTANCE>(theApp.GetInstanceHandle());
#ifdef _WIN32
    // The dialog resource the module carries.
    return DialogBoxParamA(module, MAKEINTRESOURCEA(m_TemplateId), m_Parent, DialogProc, self);
#else
    // No resources here: the same layout, as a template in memory.
    std::vector<WORD> dialogTemplate = InMemoryTemplate();
    if (dialogTemplate.empty())
        return -1;
    return DialogBoxIndirectParamA(module, dialogTemplate.data(), m_Parent, DialogProc, self);
#endif
}
