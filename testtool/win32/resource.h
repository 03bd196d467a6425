// Ids of Quorrel.exe's resources and controls, shared by the template and the program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUORREL_DIALOG 102
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010

#define IDC_PORT 1000
#define IDC_BAUD 1001
#define IDC_START 1002
#define IDC_STOP 1003
#define IDC_CLEAR 1004
#define IDC_RECEIVE 1006
#define IDC_TEXT 1007
#define IDC_LOG 1009
#define IDC_SEND 1010
#define IDC_NUMBER 1011
#define IDC_SETTINGS_GROUP 1014
#define IDC_PORT_LABEL 1015
#define IDC_BAUD_LABEL 1016
#define IDC_RECEIVE_GROUP 1017
#define IDC_SEND_GROUP 1018
#define IDC_LOG_GROUP 1019
#define IDC_NUMBER_LABEL 1020
#define IDC_RTS 1023
#define IDC_AREA_CODE 1024
#define IDC_QUICK 1025
