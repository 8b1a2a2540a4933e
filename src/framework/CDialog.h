// The small stand-in for the application framework's dialog classes, on plain
// Win32 calls: a modal dialog with data exchange, OK and cancel, and the combo
// box and edit control wrappers.
#pragma once

#include "../platform/win32api.h"

#include <string>
#include <vector>

class CWnd {
  public:
    virtual ~CWnd() = default;
    HWND m_hWnd = nullptr;
    void SetWindowText(const std::string& text) { ::SetWindowTextA(m_hWnd, text.c_str()); }
};

class CComboBox : public CWnd {
  public:
    int AddString(const std::string& text);
    int FindString(int startAfter, const std::string& prefix);
    int SetCurSel(int index);
    int GetCurSel();
};

class CEdit : public CWnd {};

class CDialog;

// One direction of a data exchange: toward the controls, or back from them.
class CDataExchange {
  public:
    CDataExchange(CDialog* dialog, bool saveAndValidate)
        : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
    CDialog* m_pDlgWnd;
    bool m_bSaveAndValidate;
    bool m_Failed = false;
};

void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
void DDX_CBString(CDataExchange* pDX, int id, std::string& value);
void DDX_Text(CDataExchange* pDX, int id, std::string& value);

class CDialog : public CWnd {
  public:
    CDialog(int templateId, HWND parent) : m_TemplateId(templateId), m_Parent(parent) {}

    // Runs the dialog until it closes: IDOK, IDCANCEL, or -1 when it cannot be shown.
    INT_PTR DoModal();
    // Exchanges data with the controls; false when the exchange failed.
    bool UpdateData(bool saveAndValidate);

  protected:
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange*) {}
    // The dialog's extended template, for a platform that cannot read the
    // module's resources; empty when there is none.
    virtual std::vector<WORD> InMemoryTemplate() const { return {}; }

    int m_TemplateId;
    HWND m_Parent;

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
