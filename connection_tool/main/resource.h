// The numbers of zelconfig's Windows dialogs and their controls, shared by
// the resource script (zelconfig.rc, read by windres's preprocessor: plain
// macros only) and the dialog code (dialogs_windows.cpp).
#pragma once

#define IDD_MAIN 100
#define IDD_OVERRIDE 101
#define IDD_ABOUT 102

// The main dialog's eight test buttons: group HTTP first, each group in the
// order direct, preconfig, preconfig without auto proxy, proxy.
#define IDC_HTTP_DIRECT 1001
#define IDC_HTTP_PRECONFIG 1002
#define IDC_HTTP_PRECONFIG_NO_AUTO 1003
#define IDC_HTTP_PROXY 1004
#define IDC_HTTPS_DIRECT 1005
#define IDC_HTTPS_PRECONFIG 1006
#define IDC_HTTPS_PRECONFIG_NO_AUTO 1007
#define IDC_HTTPS_PROXY 1008
#define IDC_PROXY_OVERRIDE 1009
#define IDC_HTTP_SERVER 1010
#define IDC_HTTPS_SERVER 1011
#define IDC_STATUS 1012
#define IDC_NOTE 1013

// The proxy override dialog.
#define IDC_PROXY_ENABLED 1101
#define IDC_USE_OVERRIDE 1102
#define IDC_PROXY_ADDRESS 1103
#define IDC_OVERRIDE_HELP 1104

// The about box's text.
#define IDC_ABOUT_TEXT 1201

// The system menu's "About" item: below 0xF000, its low four bits clear.
#define IDM_ABOUT 0x0010
