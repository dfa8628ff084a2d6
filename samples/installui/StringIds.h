#pragma once
// Message ids of the language modules (lang\*.rc). 168 to 190 are read by the stub itself.
#define IDS_TITLE 100
#define IDS_PREPARING 101
#define IDS_INSTALLING 102            // %s: the product's name
#define IDS_CANCEL 103
#define IDS_CLOSE 104
#define IDS_COMPLETE 105
#define IDS_COMPLETE_RESTART 106
#define IDS_FAILED 107                // %08X: the result
#define IDS_CANCELED 108
#define IDS_CANCELING 109
#define IDS_RESTART_NOW 110
#define IDS_LATER 111
#define IDS_RESTART_FINISH 112
#define IDS_RESTART_CONTINUE 113
#define IDS_MEDIA_TEXT 114
#define IDS_BROWSE 115
#define IDS_OK 116
#define IDS_TRAY_TIP 117
#define IDS_TRAY_OPEN 118
#define IDS_MEDIA_FILTER 119          // '|' separates the filter's parts

#define IDS_ELEVATION_CAPTION 168
#define IDS_ELEVATION_TEXT_XP 169
#define IDS_ELEVATION_TEXT 170
#define IDS_RUNNING_TEXT 187
#define IDS_RUNNING_CAPTION 188
#define IDS_USAGE_TEXT 189             // the stub's "/?" switch summary
#define IDS_USAGE_CAPTION 190
