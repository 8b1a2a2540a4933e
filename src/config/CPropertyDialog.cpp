#include "CPropertyDialog.h"

#include "CRegistryKey.h"
#include "../platform/platform_handles.h"
#include "property_dialog_layout.h"

namespace {

// Whether the Eventlog subkey `name` is a log: it names its file or has
// sources below it. Windows 10 keeps keys of the service's own there
// (Parameters, State) that have neither; those are not logs, and the dialog
// does not offer them (our rule: the platform lists no such thing). A key this
// user may not open (Security) may well be a log, and is listed.
bool isLogKey(const std::string& name) {
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\" + name;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return true;
    UniqueRegKey key(raw);
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), "File", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS)
        return true;
    char subkey[CRegistryKey::kMaxKeyNameBytes + 1];
    DWORD length = sizeof subkey;
    LSTATUS status =
        RegEnumKeyExA(key.get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

} // namespace

int32_t EnumerateLogNames(CStringArray& names) {
    names.RemoveAll();
    CRegistryKey logs(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Eventlog",
                      CRegistryKey::Access::ReadOnly);
    std::string name;
    if (!logs.EnumFirstSubKey(name))
        return -1;
    do
        if (isLogKey(name))
            names.Add(name);
    while (logs.EnumNextSubKey(name));
    return names.GetSize();
}

CPropertyDialog::CPropertyDialog(const CStringArray& logNames, const std::string& logName,
                                 const std::string& outputTemplate, HWND parent)
    : CDialog(KESTRIN_PROPERTY_DIALOG, parent), m_LogNames(logNames),
      m_CurrentTemplate(outputTemplate), m_CurrentLog(logName) {}

void CPropertyDialog::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, KESTRIN_LOG_COMBO, m_LogCombo);
    DDX_CBString(pDX, KESTRIN_LOG_COMBO, m_SelectedLog);
    DDX_Control(pDX, KESTRIN_TEMPLATE_EDIT, m_TemplateEdit);
    DDX_Text(pDX, KESTRIN_TEMPLATE_EDIT, m_EditedTemplate);
}

bool CPropertyDialog::OnInitDialog() {
    bool result = CDialog::OnInitDialog();
    for (const std::string& name : m_LogNames)
        m_LogCombo.AddString(name);
    int found = m_LogCombo.FindString(0, m_CurrentLog);
    m_LogCombo.SetCurSel(found == CB_ERR ? 0 : found);
    m_InitialSelection = m_LogCombo.GetCurSel();
    m_TemplateEdit.SetWindowText(m_CurrentTemplate);
    return result;
}

void CPropertyDialog::OnOK() {
    m_AcceptedSelection = m_LogCombo.GetCurSel();
    CDialog::OnOK();
}

namespace {

void appendDword(std::vector<WORD>& out, DWORD value) {
    out.push_back(static_cast<WORD>(value));
    out.push_back(static_cast<WORD>(value >> 16));
}

void appendText(std::vector<WORD>& out, const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        out.push_back(*p);
    out.push_back(0);
}

} // namespace

// The resource's layout as an extended dialog template (DLGTEMPLATEEX).
std::vector<WORD> CPropertyDialog::InMemoryTemplate() const {
    std::vector<WORD> t;
    int count = 0;
#define COUNT_CONTROL(text, id, cls, style, x, y, w, h) ++count;
    KESTRIN_DIALOG_CONTROLS(COUNT_CONTROL)
#undef COUNT_CONTROL
    t.push_back(1);
    t.push_back(0xFFFF);
    appendDword(t, 0);
    appendDword(t, KESTRIN_DIALOG_EXSTYLE);
    appendDword(t, KESTRIN_DIALOG_STYLE);
    t.push_back(static_cast<WORD>(count));
    for (int v : {0, 0, KESTRIN_DIALOG_WIDTH, KESTRIN_DIALOG_HEIGHT})
        t.push_back(static_cast<WORD>(v));
    t.push_back(0); // no menu
    t.push_back(0); // the standard dialog class
    appendText(t, KESTRIN_DIALOG_CAPTION);
    t.push_back(KESTRIN_DIALOG_FONT_SIZE);
    t.push_back(0);
    t.push_back(0);
    appendText(t, KESTRIN_DIALOG_FONT);
#define ADD_CONTROL(text, id, cls, style, x, y, w, h)                                              \
    if (t.size() % 2)                                                                              \
        t.push_back(0);                                                                            \
    appendDword(t, 0);                                                                             \
    appendDword(t, 0);                                                                             \
    appendDword(t, static_cast<DWORD>(style));                                                     \
    for (int v : {x, y, w, h})                                                                     \
        t.push_back(static_cast<WORD>(v));                                                         \
    appendDword(t, static_cast<DWORD>(id));                                                        \
    appendText(t, cls);                                                                            \
    appendText(t, text);                                                                           \
    t.push_back(0);
    KESTRIN_DIALOG_CONTROLS(ADD_CONTROL)
#undef ADD_CONTROL
    return t;
}
