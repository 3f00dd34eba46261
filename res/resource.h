// Resource ids of the Windows program: the dialog, its controls and the icon. The string table's
// ids (129 + n, 238 + n, 300 + k, 400 + k) are generated from texts.def.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 152

#define IDC_PROGRESS 1003
#define IDC_USB_UPDATE 1007
#define IDC_INSTRUCTIONS 1008
// The success text shares the id of every unnamed static text; it is the only one in the dialog.
#define IDC_SUCCESS_TEXT -1
