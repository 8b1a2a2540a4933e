/* The configuration dialog's layout, the one description of it: the resource
   script (property_dialog.rc) and the emulated platform's template are both
   made from it. Dimensions in dialog units. Plain C preprocessor only, since
   the resource compiler reads it too. */
#ifndef KESTRIN_PROPERTY_DIALOG_LAYOUT_H
#define KESTRIN_PROPERTY_DIALOG_LAYOUT_H

#define KESTRIN_PROPERTY_DIALOG 102
#define KESTRIN_LOG_COMBO 1001
#define KESTRIN_TEMPLATE_EDIT 1003
#define KESTRIN_ACCEPT_BUTTON 1 /* IDOK */

#define KESTRIN_DIALOG_STYLE 0x80C00048   /* WS_POPUP WS_CAPTION DS_SETFONT DS_FIXEDSYS */
#define KESTRIN_DIALOG_EXSTYLE 0x00000080 /* WS_EX_TOOLWINDOW */
#define KESTRIN_DIALOG_CAPTION "KestrinViewer Property"
#define KESTRIN_DIALOG_FONT_SIZE 8
#define KESTRIN_DIALOG_FONT "MS Shell Dlg"
#define KESTRIN_DIALOG_WIDTH 180
#define KESTRIN_DIALOG_HEIGHT 193

#define KESTRIN_USAGE_TEXT                                                                         \
    "Usage :\n\t%1 - Source\n\t%2 - Details\n\t%3 - Event ID\n\t%4 - Date\n\t%5 - Event "          \
    "Type\n\t%6 - User Name\n\t%7 - Domain Name\n\t\\n - Line Feed\n\t\\t - TAB"

/* The controls in template order, which is the tab order:
   CONTROL(text, id, class, style, x, y, width, height) */
#define KESTRIN_DIALOG_CONTROLS(CONTROL)                                                           \
    CONTROL("Select Log File To Monitor", -1, "Static", 0x50020000, 17, 14, 124, 13)               \
    CONTROL("", KESTRIN_LOG_COMBO, "ComboBox", 0x50210103, 16, 28, 142, 30)                        \
    CONTROL("Accept", KESTRIN_ACCEPT_BUTTON, "Button", 0x50010001, 67, 169, 42, 14)                \
    CONTROL("", KESTRIN_TEMPLATE_EDIT, "Edit", 0x50810080, 15, 59, 141, 14)                        \
    CONTROL("Configure output", -1, "Static", 0x50020000, 16, 44, 124, 13)                         \
    CONTROL(KESTRIN_USAGE_TEXT, -1, "Static", 0x50020000, 15, 76, 147, 82)

#endif
