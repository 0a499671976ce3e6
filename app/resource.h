// Resource ids of ORVANE: dialog templates, controls, icon and bitmaps. The string
// ids are those of engine/string_table.h. Plain defines: the resource compiler reads
// this file too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_WELCOME 102
#define IDD_ENTER_DOWNLOADER 111
#define IDD_UPDATE 115
#define IDD_CHECK_FINISH 118
#define IDD_FINISH 121
#define IDD_TRANSFER_FAILED 140
#define IDD_CONNECT_FAILED 141
#define IDD_PROGRESS 152

#define IDR_MAINFRAME 128
#define IDB_DOWNLOADER_READY 135
#define IDB_DOWNLOADER_RECEIVING 136
#define IDB_WRITING_OS 137
#define IDB_FORMATTING_FLASH 138

#define IDC_RICH_TEXT 1000
#define IDC_WELCOME_NEXT 1001
#define IDC_WELCOME_CANCEL 1002
#define IDC_STEP2_CANCEL 1003
#define IDC_STEP2_NEXT 1004
#define IDC_UPDATE 1005
#define IDC_PROGRESS_BOTTOM 1007
#define IDC_STEP3_CANCEL 1009
#define IDC_EDIT_BOTTOM 1009
#define IDC_STEP4_NEXT 1010
#define IDC_FINISH 1011
#define IDC_TRANSFER_FAILED_OK 1012
#define IDC_RESTART_CHECK 1014
#define IDC_FAILURE_ICON 1015
#define IDC_CONNECT_FAILED_OK 1016
#define IDC_PROGRESS_TOP 1021
#define IDC_EDIT_TOP 1023

// The system menu's About item.
#define IDM_ABOUTBOX 0x0010
