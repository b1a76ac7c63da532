#pragma once
// Resource identifiers of the driver-update tool. The program opens no
// window; the resources are the usual ones of a Windows application.
#define IDI_PELLORY 101
#define IDI_SMALL 102
#define IDC_PELLORY 103
#define IDD_ABOUTBOX 104
#define IDM_ABOUT 105
#define IDM_EXIT 106
#define IDS_APP_TITLE 107
#define IDC_STATIC_TEXT 1000
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
