#pragma once

#define IDS_APP_TITLE 103
#define IDD_ABOUTBOX 103
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDI_ORVPRESD 107
#define IDI_SMALL 108
#define IDC_ORVPRESD 109
#define IDR_MAINFRAME 128

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
