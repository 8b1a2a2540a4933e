// The configuration dialog: the log to watch, from those the machine
// registers, and the output template.
#pragma once

#include "../framework/CDialog.h"
#include "../framework/CStringArray.h"

#include <string>

// Replaces `names` by the machine's event logs, in the registry's order, and
// returns their count, or -1 when the first cannot be read. The list's key is
// opened for reading only: an ordinary user may read it, and it is never made.
int32_t EnumerateLogNames(CStringArray& names);

class CPropertyDialog : public CDialog {
  public:
    CPropertyDialog(const CStringArray& logNames, const std::string& logName,
                    const std::string& outputTemplate, HWND parent);

    CStringArray m_LogNames;
    std::string m_CurrentTemplate;
    std::string m_CurrentLog;
    CComboBox m_LogCombo;
    std::string m_SelectedLog;
    CEdit m_TemplateEdit;
    std::string m_EditedTemplate;
    // The list's selection when the dialog opened and when it was accepted:
    // the same index means the user kept the log, even one the list lacks.
    int m_InitialSelection = CB_ERR;
    int m_AcceptedSelection = CB_ERR;

  protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void DoDataExchange(CDataExchange* pDX) override;
    std::vector<WORD> InMemoryTemplate() const override;
};
