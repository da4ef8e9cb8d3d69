#pragma once

#include "presence/front_end_contract.h"

#define IDS_APP_TITLE 103
#define IDD_ABOUTBOX 103
#define IDM_ABOUT ORVPRESD_ABOUT_COMMAND
#define IDM_EXIT ORVPRESD_EXIT_COMMAND
#define IDI_ORVPRESD 107
#define IDI_SMALL 108
#define IDC_ORVPRESD 109
#define IDR_MAINFRAME 128

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
