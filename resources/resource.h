/* Resource ids of the program's icon, its dialogs and their controls, shared by the resource script
   and code. */
#pragma once

/* The program's icon: the lowest icon id, so that Explorer shows it for the exe. */
#define IDI_BRIDGE 1

#define IDD_AUTOGUIDER_BRIDGE 100

#define IDC_INCOMING_GROUP 1000
#define IDC_INCOMING_PORT_LABEL 1001
#define IDC_INCOMING_PORT 100
#define IDC_INCOMING_CONNECT 101
#define IDC_INCOMING_DISCONNECT 102
#define IDC_INCOMING_STATUS 103
#define IDC_COMMAND_COUNT 104

#define IDC_OUTGOING_GROUP 1002
#define IDC_OUTGOING_PORT_LABEL 1003
#define IDC_OUTGOING_PORT 110
#define IDC_OUTGOING_CONNECT 111
#define IDC_OUTGOING_DISCONNECT 112
#define IDC_OUTGOING_STATUS 113

#define IDC_RA_LABEL 1004
#define IDC_DEC_LABEL 1005
#define IDC_RA_GRAPH 120
#define IDC_DEC_GRAPH 121

#define IDD_ABOUT 200
#define IDC_ABOUT_ICON 201
#define IDC_ABOUT_NAME 202
#define IDC_ABOUT_VERSION 203
#define IDC_ABOUT_LICENCE 204
#define IDC_ABOUT_DESCRIPTION 205

// The Event Log window and its controls.
#define IDD_EVENT_LOG 300
#define IDC_EVENT_LIST 301
#define IDC_EVENT_DROPPED 302
#define IDC_EVENT_COPY 303
#define IDC_EVENT_SAVE 304
