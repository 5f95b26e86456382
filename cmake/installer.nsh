; What the installer does beyond CPack's own NSIS template, through the template's hooks
; (cmake/packaging.cmake): CPACK_NSIS_DEFINES defines BRIDGE_UNINSTALL_KEY (the key in Apps &
; features), BRIDGE_VENDOR_KEY and BRIDGE_INSTALL_KEY (the publisher's key and CPack's own below it,
; which holds the install folder) and includes this file; the extra preinstall, install and
; uninstall commands insert its macros.
!include FileFunc.nsh
!include LogicLib.nsh

; Without /D, an installed copy is replaced in its own folder: every version of the installer writes
; that folder into its key.
InstallDirRegKey HKLM "${BRIDGE_INSTALL_KEY}" ""

; Before the files go in: an installed copy, of whatever version, this one too, is removed by its
; own uninstaller, run silently in its folder and waited for, so that none of its files is left and
; Apps & features keeps one entry. An uninstaller run so cannot delete itself: it is deleted after
; it has ended, and its folder once empty. (CPack's CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL does
; it as the installer starts, before anything is chosen, asks whether to, and leaves that
; uninstaller and its folder behind.)
!macro BridgeRemoveInstalledCopy
  ReadRegStr $R0 SHCTX "${BRIDGE_UNINSTALL_KEY}" "UninstallString"
  ${If} $R0 != ""
    StrCpy $R1 $R0 1
    ${If} $R1 == '"'
      StrCpy $R0 $R0 -1 1
    ${EndIf}
    ${GetParent} $R0 $R1
    ${If} ${FileExists} $R0
      DetailPrint "Removing the installed copy in $R1"
      ClearErrors
      ExecWait '"$R0" /S _?=$R1' $R2
      ${If} ${Errors}
      ${OrIf} $R2 != 0
        MessageBox MB_OK|MB_ICONSTOP "The installed $(^Name) in $R1 could not be removed. \
Uninstall it in Apps & features, then run this setup again." /SD IDOK
        Abort
      ${EndIf}
      Delete $R0
      RMDir $R1
    ${EndIf}
  ${EndIf}
  ; The folder to install into may have been the old copy's, and removed with it.
  SetOutPath $INSTDIR
!macroend

; After CPack's values in the uninstall key: those that Windows' own entries carry and package
; managers read. The command that uninstalls without asking, the folder, the size in KiB, and the
; two flags as DWORDs (CPack writes them as strings).
!macro BridgeCompleteUninstallKey
  WriteRegStr SHCTX "${BRIDGE_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr SHCTX "${BRIDGE_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD SHCTX "${BRIDGE_UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${BRIDGE_UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $R0 $R1 $R2
  WriteRegDWORD SHCTX "${BRIDGE_UNINSTALL_KEY}" "EstimatedSize" $R0
!macroend

; First in the uninstall: CPack's key and then the publisher's, when nothing else is in it (CPack's
; uninstaller leaves it behind, empty). CPack's uninstaller still finds the Start menu folder: it
; reads it from the uninstall key too.
!macro BridgeRemoveVendorKey
  DeleteRegKey SHCTX "${BRIDGE_INSTALL_KEY}"
  DeleteRegKey /ifempty SHCTX "${BRIDGE_VENDOR_KEY}"
!macroend
