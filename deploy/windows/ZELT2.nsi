; ZELT2-Setup.exe: installs the ZELT2 programs for every user of the computer
; (Program Files, the Start menu of all users, an entry in Apps & features)
; and the uninstaller that takes all of it away again.
;
; Made by the build's `installer` target (deploy/windows/CMakeLists.txt),
; which defines:
;   ZELT_VERSION  the version the programs report, e.g. 2.1.1
;   ZELT_FILES    installer-files.nsh: the built files, with the uninstaller's
;                 matching Delete lines, and ZELT_HAVE_SERVICE when the service
;                 program is among them
;   ZELT_OUTFILE  where ZELT2-Setup.exe goes
;   ZELT_ICON     the programs' icon, also the installer's and the uninstaller's
;
; Silent use:
;   ZELT2-Setup.exe /S [/D=C:\Some Folder]      (/D= last, without quotes)
;   Uninstall.exe /S [/REMOVESETTINGS]
; Each user's settings (DID, password, quality, language, camera) and the
; service's state folder (%LOCALAPPDATA%\ZELT2) stay when the programs go, unless
; the user ticks "My settings" in the uninstaller or gives /REMOVESETTINGS. The
; uninstaller runs elevated like the installer, so it removes the settings of
; the account it runs as.

Unicode true
; The programs are x86-64 only, so is their installer.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include WinVer.nsh
!include FileFunc.nsh
!include "${ZELT_FILES}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZELT2"
; Where the service keeps each user's settings (service/settings/Settings.h).
!define SETTINGS_KEY "Software\ZELT2\ZELT2Service"
!define SETTINGS_PARENT "Software\ZELT2"
!define MENU_FOLDER "$SMPROGRAMS\ZELT2"
; The service's entries in the event log (source "ZELT2Service", as the
; service writes them) take their texts from the message table in the program.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\ZELT2Service"
!define PUBLISHER "Halvorn"

Name "ZELT2"
OutFile "${ZELT_OUTFILE}"
InstallDir "$PROGRAMFILES64\ZELT2"
; A new version goes where the last one went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "ZELT2 ${ZELT_VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${ZELT_VERSION}.0"
VIFileVersion "${ZELT_VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "ZELT2"
VIAddVersionKey /LANG=0 "ProductVersion" "${ZELT_VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${ZELT_VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "ZELT2 Setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright 2012-2026 ${PUBLISHER}"

!define MUI_ICON "${ZELT_ICON}"
!define MUI_UNICON "${ZELT_ICON}"
!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef ZELT_HAVE_SERVICE
  !define MUI_FINISHPAGE_RUN
  !define MUI_FINISHPAGE_RUN_TEXT "$(ZeltStartService)"
  !define MUI_FINISHPAGE_RUN_FUNCTION ZeltStartService
!endif
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "$(ZeltUnComponentsTop)"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

; The languages of the programs' own language packs; Windows' display
; language chooses, English where none fits.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_LANGUAGE "Russian"

LangString ZeltNeedsWindows ${LANG_ENGLISH} "ZELT2 needs 64-bit Windows 10 or later."
LangString ZeltNeedsWindows ${LANG_GERMAN} "ZELT2 braucht 64-Bit-Windows 10 oder neuer."
LangString ZeltNeedsWindows ${LANG_RUSSIAN} "Для ZELT2 нужна 64-разрядная Windows 10 или новее."
LangString ZeltNeedsAdmin ${LANG_ENGLISH} "Installing or removing ZELT2 needs an administrator's rights. Run it again and answer yes when Windows asks, or ask an administrator."
LangString ZeltNeedsAdmin ${LANG_GERMAN} "Zum Installieren oder Entfernen von ZELT2 sind Administratorrechte nötig. Starten Sie es erneut und bestätigen Sie die Frage von Windows, oder fragen Sie einen Administrator."
LangString ZeltNeedsAdmin ${LANG_RUSSIAN} "Для установки или удаления ZELT2 нужны права администратора. Запустите программу снова и подтвердите запрос Windows или обратитесь к администратору."
LangString ZeltStartService ${LANG_ENGLISH} "Start ZELT2 Service"
LangString ZeltStartService ${LANG_GERMAN} "ZELT2 Service starten"
LangString ZeltStartService ${LANG_RUSSIAN} "Запустить ZELT2 Service"
LangString ZeltServiceTip ${LANG_ENGLISH} "Shares this computer's camera with viewers"
LangString ZeltServiceTip ${LANG_GERMAN} "Stellt die Kamera dieses Computers für Zuschauer bereit"
LangString ZeltServiceTip ${LANG_RUSSIAN} "Передаёт изображение камеры этого компьютера зрителям"
LangString ZeltPromptTip ${LANG_ENGLISH} "Command prompt for ZELT2Viewer, ZELT2CamCtl and pppp_tool"
LangString ZeltPromptTip ${LANG_GERMAN} "Eingabeaufforderung für ZELT2Viewer, ZELT2CamCtl und pppp_tool"
LangString ZeltPromptTip ${LANG_RUSSIAN} "Командная строка для ZELT2Viewer, ZELT2CamCtl и pppp_tool"
LangString ZeltSettings ${LANG_ENGLISH} "My settings"
LangString ZeltSettings ${LANG_GERMAN} "Meine Einstellungen"
LangString ZeltSettings ${LANG_RUSSIAN} "Мои настройки"
LangString ZeltSettingsInfo ${LANG_ENGLISH} "Your DID, password, picture quality, language and camera (HKEY_CURRENT_USER\${SETTINGS_PARENT}), and the service's status file. Kept unless ticked."
LangString ZeltSettingsInfo ${LANG_GERMAN} "Ihre DID, Ihr Passwort, Bildqualität, Sprache und Kamera (HKEY_CURRENT_USER\${SETTINGS_PARENT}) und die Statusdatei des Dienstes. Ohne Haken bleiben sie erhalten."
LangString ZeltSettingsInfo ${LANG_RUSSIAN} "Ваши DID, пароль, качество изображения, язык и камера (HKEY_CURRENT_USER\${SETTINGS_PARENT}), а также файл состояния службы. Без отметки они сохраняются."
LangString ZeltUnComponentsTop ${LANG_ENGLISH} "The ZELT2 programs will be removed. Tick $\"My settings$\" to remove your settings too."
LangString ZeltUnComponentsTop ${LANG_GERMAN} "Die ZELT2-Programme werden entfernt. Setzen Sie den Haken bei „Meine Einstellungen“, um auch Ihre Einstellungen zu löschen."
LangString ZeltUnComponentsTop ${LANG_RUSSIAN} "Программы ZELT2 будут удалены. Отметьте «Мои настройки», чтобы удалить и ваши настройки."

; Without an administrator's rights nothing could be written to Program Files
; or Apps & features; say so before a page is shown.
!macro ZeltNeedAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "$(ZeltNeedsAdmin)" /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
!macroend

Function .onInit
  ${IfNot} ${AtLeastWin10}
    MessageBox MB_OK|MB_ICONSTOP "$(ZeltNeedsWindows)" /SD IDOK
    Abort
  ${EndIf}
  !insertmacro ZeltNeedAdmin
FunctionEnd

!ifdef ZELT_HAVE_SERVICE
; Started through Explorer, so that the service runs as the signed-in user and
; keeps that user's settings, not with the installer's elevation.
Function ZeltStartService
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\ZELT2Service.exe"'
FunctionEnd
!endif

Section "-Programs"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  !insertmacro ZeltInstallProgramFiles
  SetOutPath "$INSTDIR\res"
  !insertmacro ZeltInstallLanguagePacks
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The shortcuts start in the user's own folder: the service writes its
  ; crash report to the current folder, which Program Files is not for a user.
  CreateDirectory "${MENU_FOLDER}"
  StrCpy $OUTDIR "%USERPROFILE%"
!ifdef ZELT_HAVE_SERVICE
  CreateShortcut "${MENU_FOLDER}\ZELT2 Service.lnk" "$INSTDIR\ZELT2Service.exe" "" \
      "$INSTDIR\ZELT2Service.exe" 0 SW_SHOWNORMAL "" "$(ZeltServiceTip)"
!endif
  ; The other programs are for the command line: a prompt that finds them.
  CreateShortcut "${MENU_FOLDER}\ZELT2 Command Prompt.lnk" "$SYSDIR\cmd.exe" \
      '/k "title ZELT2 && set "PATH=$INSTDIR;%PATH%" && ZELT2Viewer --version"' \
      "$SYSDIR\cmd.exe" 0 SW_SHOWNORMAL "" "$(ZeltPromptTip)"
  SetOutPath "$INSTDIR"

  ; Apps & features.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "ZELT2"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${ZELT_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
!ifdef ZELT_HAVE_SERVICE
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ZELT2Service.exe,0"
!else
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe,0"
!endif
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
!ifdef ZELT_HAVE_SERVICE
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\ZELT2Service.exe"
  ; Errors, warnings and information.
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
!endif
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Only what the installer put there: a folder the user chose may hold more.
Section "-un.Programs"
  SetShellVarContext all
  !insertmacro ZeltDeleteProgramFiles
  !insertmacro ZeltDeleteLanguagePacks
  Delete /REBOOTOK "$INSTDIR\Uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR\res"
  RMDir /REBOOTOK "$INSTDIR"
  Delete "${MENU_FOLDER}\ZELT2 Service.lnk"
  Delete "${MENU_FOLDER}\ZELT2 Command Prompt.lnk"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The entries already written stay in the log; without the source they
  ; show their words as a list of strings.
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
SectionEnd

Section /o "un.$(ZeltSettings)" SecSettings
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT}"
  ; The service's state folder (its status file for monitoring).
  SetShellVarContext current
  Delete "$LOCALAPPDATA\ZELT2\ZELT2Service.status"
  RMDir "$LOCALAPPDATA\ZELT2"
SectionEnd

; /REMOVESETTINGS ticks "My settings" (for a silent uninstall).
Function un.onInit
  !insertmacro ZeltNeedAdmin
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecSettings} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecSettings} "$(ZeltSettingsInfo)"
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END
