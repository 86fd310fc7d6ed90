/* The dialog templates' numbers, readable by the resource compiler as well
   as by C++. The control ids are those of service/app/DialogIds.h; the host
   checks at compile time that both say the same. */
#ifndef ZELT_APP_WIN32_DIALOG_RESOURCE_H
#define ZELT_APP_WIN32_DIALOG_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDD_SERVICE_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_LANGUAGE 1002
#define IDC_DID 1003
#define IDC_ABOUT 1008
#define IDC_PASSWORD 1009
#define IDC_HIGH_QUALITY 1015
#define IDC_NORMAL_QUALITY 1016
#define IDC_CONNECT 1018
#define IDC_CLOCK 1019
#define IDC_ONLINE 1020
#define IDC_STATUS 1021
#define IDC_LANGUAGE_LABEL 1022
#define IDC_QUALITY_GROUP 1023
#define IDC_CODE_GROUP 1024
#define IDC_NETWORK_GROUP 1025
#define IDC_CLOCK_LABEL 1026
#define IDC_ONLINE_LABEL 1027
#define IDC_STATUS_LABEL 1028
#define IDC_DID_LABEL 1029
#define IDC_PASSWORD_LABEL 1030
#define IDC_ACCOUNT_LINK 1031
#define IDC_CAMERA 1033
#define IDC_CAMERA_LABEL 1034
#define IDC_PASSWORD_WARNING 1037
#define IDC_START_AT_LOGIN 1038
#define IDC_RESUME 1039
#define IDC_PREVIEW 1040

/* The About box. */
#define IDC_ABOUT_VERSION 1016
#define IDC_ABOUT_API_VERSION 1026
#define IDC_ABOUT_LEGAL 1035
#define IDC_ABOUT_ICON 1036
#define IDC_ABOUT_LICENCES 1040

#endif
