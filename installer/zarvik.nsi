; The Windows installer, zarvik-setup.exe: the window program and the command-line tool, a Start menu entry, the
; .zvka and .zvkj association and the context menu, for the current user (the default, no administrator rights) or
; for all users. The build passes VERSION, APP_EXE, CLI_EXE, ICON and OUTFILE with -D.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Zarvik Archiver"
!define APP "ZarvikArchiver.exe"
!define CLI "zarvik.exe"
!define UNINSTALLER "Uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZarvikArchiver"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

; /CurrentUser or /AllUsers on the command line chooses; without either the install is the current user's, and the
; uninstaller finds the mode in the uninstall entry the installer wrote.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "Zarvik"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!include MultiUser.nsh
!include MUI2.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The program's own context menu, as it writes it at every start under HKCU (app/shell_registration.cc), written
; here under SHCTX: the current user's classes or the machine's.
!macro MenuKey CLASS_KEY
  WriteRegStr SHCTX "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver" "MUIVerb" "${PRODUCT}"
  WriteRegStr SHCTX "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver" "Icon" '"$INSTDIR\${APP}",0'
  WriteRegStr SHCTX "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver" "SubCommands" ""
!macroend
!macro MenuVerb CLASS_KEY VERB LABEL OPTION
  WriteRegStr SHCTX "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver\shell\${VERB}" "MUIVerb" '${LABEL}'
  WriteRegStr SHCTX "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver\shell\${VERB}\command" "" \
    '"$INSTDIR\${APP}" ${OPTION} "%1"'
!macroend
!macro AddMenu CLASS_KEY
  !insertmacro MenuKey "${CLASS_KEY}"
  !insertmacro MenuVerb "${CLASS_KEY}" add "Add to archive" --context-archive
!macroend
!macro ExtractMenu EXTENSION
  !insertmacro MenuKey "SystemFileAssociations\${EXTENSION}"
  !insertmacro MenuVerb "SystemFileAssociations\${EXTENSION}" extract_here "Extract Here" --context-extract-here
  !insertmacro MenuVerb "SystemFileAssociations\${EXTENSION}" extract_to 'Extract to "%1\"' --context-extract-to
!macroend

; Removes one menu key from ROOT, then its "shell" and class keys if that left them empty.
!macro RemoveMenu ROOT CLASS_KEY
  DeleteRegKey ${ROOT} "Software\Classes\${CLASS_KEY}\shell\ZarvikArchiver"
  DeleteRegKey /ifempty ${ROOT} "Software\Classes\${CLASS_KEY}\shell"
  DeleteRegKey /ifempty ${ROOT} "Software\Classes\${CLASS_KEY}"
!macroend

; Every menu key, through ADD_MACRO or EXTRACT_MACRO: files and folders get Add, archives, journals and first parts of volume sets Extract.
!macro EachMenu ADD_MACRO EXTRACT_MACRO ARGS
  !insertmacro ${ADD_MACRO} ${ARGS} "*"
  !insertmacro ${ADD_MACRO} ${ARGS} "Directory"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".zvka"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".zvkj"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".zip"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".tar"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".tgz"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".gz"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".tzst"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".zst"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".txz"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".xz"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".tbz2"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".tbz"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".bz2"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".001"
  !insertmacro ${EXTRACT_MACRO} ${ARGS} ".z01"
!macroend

; The program opens what is double-clicked: an archive or a journal, with the program's own icon.
!macro Associate EXTENSION PROG_ID DESCRIPTION
  WriteRegStr SHCTX "Software\Classes\${EXTENSION}" "" "${PROG_ID}"
  WriteRegStr SHCTX "Software\Classes\${PROG_ID}" "" "${DESCRIPTION}"
  WriteRegStr SHCTX "Software\Classes\${PROG_ID}\DefaultIcon" "" '"$INSTDIR\${APP}",0'
  WriteRegStr SHCTX "Software\Classes\${PROG_ID}\shell\open\command" "" '"$INSTDIR\${APP}" "%1"'
!macroend
; The extension's key keeps another program's association, if one took it over since.
!macro Dissociate EXTENSION PROG_ID
  DeleteRegKey SHCTX "Software\Classes\${PROG_ID}"
  ReadRegStr $0 SHCTX "Software\Classes\${EXTENSION}" ""
  StrCmp $0 "${PROG_ID}" 0 +2
  DeleteRegValue SHCTX "Software\Classes\${EXTENSION}" ""
  DeleteRegKey /ifempty SHCTX "Software\Classes\${EXTENSION}"
!macroend

; EachMenu passes its ARGS before each key: these adapters put them in place.
!macro WriteAdd _ CLASS_KEY
  !insertmacro AddMenu "${CLASS_KEY}"
!macroend
!macro WriteExtract _ EXTENSION
  !insertmacro ExtractMenu "${EXTENSION}"
!macroend

Section
  SetOutPath "$INSTDIR"
  File "/oname=${APP}" "${APP_EXE}"
  File "/oname=${CLI}" "${CLI_EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${APP}" "" "$INSTDIR\${APP}" 0

  !insertmacro Associate ".zvka" "ZarvikArchiver.zvka" "Zarvik archive"
  !insertmacro Associate ".zvkj" "ZarvikArchiver.zvkj" "Zarvik journal"
  !insertmacro EachMenu WriteAdd WriteExtract "-"

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${APP}",0'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'  ; SHCNE_ASSOCCHANGED
SectionEnd

!macro RemoveAdd ROOT CLASS_KEY
  !insertmacro RemoveMenu ${ROOT} "${CLASS_KEY}"
!macroend
!macro RemoveExtract ROOT EXTENSION
  !insertmacro RemoveMenu ${ROOT} "SystemFileAssociations\${EXTENSION}"
!macroend

Section Uninstall
  Delete "$INSTDIR\${APP}"
  Delete "$INSTDIR\${CLI}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  Delete "${SHORTCUT}"

  !insertmacro Dissociate ".zvka" "ZarvikArchiver.zvka"
  !insertmacro Dissociate ".zvkj" "ZarvikArchiver.zvkj"
  !insertmacro EachMenu RemoveAdd RemoveExtract SHCTX
  ; The program itself writes its menu under HKCU whenever it starts, whoever installed it.
  !insertmacro EachMenu RemoveAdd RemoveExtract HKCU
  DeleteRegKey /ifempty SHCTX "Software\Classes\SystemFileAssociations"
  DeleteRegKey /ifempty HKCU "Software\Classes\SystemFileAssociations"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'  ; SHCNE_ASSOCCHANGED
SectionEnd

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd
