; quorvel2-setup.nsi: the Windows setup program, made by makensis (make windows).
; Installs quorvel2.exe, the README and the licence under Program Files and
; registers the service quorvel2 (or quorvel2-NAME for /INSTANCE=NAME) that
; runs it at boot, restarted after a failure. Options, also for silent
; installs (/S): /DEVICE=name, /PORT=number, /INSTANCE=name. Running it over
; an installed version stops the services, waits until their processes have
; ended, replaces the files, keeps every service's arguments and starts
; again the services that were running.
; The machine trusts the certificate authority that the program makes in
; %ProgramData%\quorvel2 at its first start; the uninstaller takes that trust
; away again, and an upgrade keeps the same authority.
; Uninstaller options: /INSTANCE=name removes that instance alone; /REMOVELOGS
; removes the logs as well (asked when not silent).
; makensis defines: VERSION, EXE, README, LICENCE, OUTFILE.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
${StrStr}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define INSTANCES_KEY "Software\quorvel2\Instances"
!define SERVICES_KEY "SYSTEM\CurrentControlSet\Services"
!define DEFAULT_PORT 8090

Name "quorvel2 ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\quorvel2"
InstallDirRegKey HKLM "${UNINSTALL_KEY}\quorvel2" "InstallLocation"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "quorvel2"
VIAddVersionKey "FileDescription" "quorvel2 setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "quorvel2 developers"
VIAddVersionKey "LegalCopyright" "2026 quorvel2 developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Instance    ; "" for the main service
Var Service     ; quorvel2 or quorvel2-NAME
Var Port
Var Device
Var RemoveLogs  ; 1: the uninstaller removes the logs
Var WasRunning  ; "|name|" for each service to start again after the files are replaced

; ---- Services, shared by setup and uninstaller --------------------------------

; Stops the service named in $R9 and waits (at most a minute) until it has
; stopped, then (at most a minute more) until its process has ended: the
; service says it stopped before its process is gone, and the program's file
; is replaced next. A service that does not exist counts as stopped. $R3
; becomes 1 when it was running (or starting), 0 otherwise.
!macro STOP_SERVICE_BODY
  ; Its state and process id: SERVICE_STATUS_PROCESS, the state its second
  ; field, the process id its eighth.
  StrCpy $R3 0
  StrCpy $R5 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r3'
  ${If} $3 != 0
    System::Call 'advapi32::OpenServiceW(p r3, w R9, i 4) p .r4'
    ${If} $4 != 0
      System::Call '*(i, i, i, i, i, i, i, i, i) p .r5'
      System::Call 'advapi32::QueryServiceStatusEx(p r4, i 0, p r5, i 36, *i .r6) i .r7'
      ${If} $7 != 0
        System::Call '*$5(i, i .r8, i, i, i, i, i, i .r9, i)'
        ${If} $8 != 1 ; SERVICE_STOPPED
        ${AndIf} $8 != 3 ; SERVICE_STOP_PENDING
          StrCpy $R3 1
        ${EndIf}
        StrCpy $R5 $9
      ${EndIf}
      System::Free $5
      System::Call 'advapi32::CloseServiceHandle(p r4)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r3)'
  ${EndIf}
  nsExec::ExecToStack '"$SYSDIR\sc.exe" stop "$R9"'
  Pop $0
  Pop $1
  StrCpy $R8 0
  ${Do}
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query "$R9"'
    Pop $0
    Pop $1
    ${If} $0 != 0
    ${OrIf} $R8 >= 120
      ${Break}
    ${EndIf}
    ; Whether the answer says STOPPED.
    StrCpy $R4 0
    StrCpy $2 ""
    ${Do}
      StrCpy $2 $1 7 $R4
      ${If} $2 == ""
      ${OrIf} $2 == "STOPPED"
        ${Break}
      ${EndIf}
      IntOp $R4 $R4 + 1
    ${Loop}
    ${If} $2 == "STOPPED"
      ${Break}
    ${EndIf}
    IntOp $R8 $R8 + 1
    Sleep 500
  ${Loop}
  ${If} $R5 != 0
    System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i R5) p .r3' ; SYNCHRONIZE
    ${If} $3 != 0
      System::Call 'kernel32::WaitForSingleObject(p r3, i 60000) i .r4'
      System::Call 'kernel32::CloseHandle(p r3)'
    ${EndIf}
  ${EndIf}
!macroend
Function StopService
  !insertmacro STOP_SERVICE_BODY
FunctionEnd
Function un.StopService
  !insertmacro STOP_SERVICE_BODY
FunctionEnd

; Stops and deletes the service named in $R9, and its uninstall entry.
Function un.RemoveService
  Call un.StopService
  nsExec::ExecToLog '"$SYSDIR\sc.exe" delete "$R9"'
  Pop $0
  DeleteRegKey HKLM "${UNINSTALL_KEY}\$R9"
  ${If} $RemoveLogs == 1
    Delete "$APPDATA\quorvel2\$R9.log"
    Delete "$APPDATA\quorvel2\$R9.log.1"
  ${EndIf}
FunctionEnd

; Options of the form /NAME=value from the command line into $Instance,
; $Port and $Device, and the service's name from the instance.
!macro READ_OPTIONS
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/INSTANCE=" $Instance
  ${If} ${Errors}
    StrCpy $Instance ""
  ${EndIf}
  StrCpy $Service "quorvel2"
  ${If} $Instance != ""
    StrCpy $Service "quorvel2-$Instance"
  ${EndIf}
!macroend

; ---- Setup -----------------------------------------------------------------------

Function .onInit
  SetShellVarContext all
  !insertmacro READ_OPTIONS
  ClearErrors
  ${GetOptions} $R0 "/PORT=" $Port
  ${If} ${Errors}
  ${OrIf} $Port == ""
    StrCpy $Port ${DEFAULT_PORT}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/DEVICE=" $Device
  ${If} ${Errors}
    StrCpy $Device ""
  ${EndIf}
FunctionEnd

; Calls the function named in the argument for the main service and every
; instance, the name in $R9.
!macro FOR_EACH_SERVICE FUNCTION
  StrCpy $R9 "quorvel2"
  Call ${FUNCTION}
  StrCpy $R7 0
  ${Do}
    EnumRegValue $R6 HKLM "${INSTANCES_KEY}" $R7
    ${If} $R6 == ""
      ${Break}
    ${EndIf}
    StrCpy $R9 "quorvel2-$R6"
    Call ${FUNCTION}
    IntOp $R7 $R7 + 1
  ${Loop}
!macroend

; Stops the service named in $R9 for the upgrade, remembering whether it ran.
Function StopServiceForUpgrade
  Call StopService
  ${If} $R3 == 1
    StrCpy $WasRunning "$WasRunning|$R9|"
  ${EndIf}
FunctionEnd

; Starts the service named in $R9 again if it ran before the upgrade (or is
; new): one the shop had stopped stays stopped.
Function StartServiceIfItRan
  StrLen $1 "|$R9|"
  StrCpy $2 0
  ${Do}
    StrCpy $3 $WasRunning $1 $2
    ${If} $3 == ""
      ${Break}
    ${EndIf}
    ${If} $3 == "|$R9|"
      nsExec::ExecToLog '"$SYSDIR\sc.exe" start "$R9"'
      Pop $0
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

; A service that ends with a failure status (1: the port taken at boot, an
; address not there yet), not only one that crashes, is restarted: what
; `sc failureflag NAME 1` sets, written directly where sc.exe lacks it.
Function SetFailureFlag
  ClearErrors
  ReadRegStr $0 HKLM "${SERVICES_KEY}\$R9" "ImagePath"
  ${IfNot} ${Errors}
    nsExec::ExecToStack '"$SYSDIR\sc.exe" failureflag "$R9" 1'
    Pop $0
    Pop $1
    ${If} $0 != 0
      WriteRegDWORD HKLM "${SERVICES_KEY}\$R9" "FailureActionsOnNonCrashFailures" 1
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "quorvel2"
  ; Every instance runs this program: all stop while it is replaced.
  StrCpy $WasRunning ""
  !insertmacro FOR_EACH_SERVICE StopServiceForUpgrade

  SetOutPath "$INSTDIR"
  File "/oname=quorvel2.exe" "${EXE}"
  File "/oname=README.md" "${README}"
  File "/oname=LICENCE.txt" "${LICENCE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "DisplayName" "quorvel2 print server"
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "Publisher" "quorvel2 developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "DisplayIcon" "$INSTDIR\quorvel2.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}\quorvel2" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}\quorvel2" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}\quorvel2" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}\quorvel2" "EstimatedSize" $0

  ; A service that exists keeps its arguments: this is an upgrade.
  ClearErrors
  ReadRegStr $0 HKLM "${SERVICES_KEY}\$Service" "ImagePath"
  ${If} ${Errors}
  ${OrIf} $0 == ""
    StrCpy $1 '\"$INSTDIR\quorvel2.exe\" --listen 127.0.0.1 --port $Port'
    ${If} $Device != ""
      StrCpy $1 '$1 --device \"$Device\"'
    ${EndIf}
    StrCpy $2 "quorvel2 print server"
    ${If} $Instance != ""
      StrCpy $2 "quorvel2 print server ($Instance)"
    ${EndIf}
    ; LocalSystem, as the system's print spooler: see the README.
    nsExec::ExecToLog '"$SYSDIR\sc.exe" create "$Service" binPath= "$1" start= auto DisplayName= "$2" obj= LocalSystem'
    Pop $0
    ${If} $0 != 0
      MessageBox MB_OK|MB_ICONSTOP "The service $Service could not be registered (sc.exe: $0)." /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
    nsExec::ExecToLog '"$SYSDIR\sc.exe" description "$Service" "Carries print jobs from web pages and point-of-sale programs to a receipt printer."'
    Pop $0
    ; Restarted 5 s after a failure, and again after the next one.
    nsExec::ExecToLog '"$SYSDIR\sc.exe" failure "$Service" reset= 86400 actions= restart/5000/restart/5000'
    Pop $0
    StrCpy $WasRunning "$WasRunning|$Service|" ; a new service starts
    ${If} $Instance != ""
      WriteRegStr HKLM "${INSTANCES_KEY}" "$Instance" ""
      WriteRegStr HKLM "${UNINSTALL_KEY}\$Service" "DisplayName" "quorvel2 print server ($Instance)"
      WriteRegStr HKLM "${UNINSTALL_KEY}\$Service" "DisplayVersion" "${VERSION}"
      WriteRegStr HKLM "${UNINSTALL_KEY}\$Service" "Publisher" "quorvel2 developers"
      WriteRegStr HKLM "${UNINSTALL_KEY}\$Service" "UninstallString" '"$INSTDIR\uninstall.exe" /INSTANCE=$Instance'
      WriteRegStr HKLM "${UNINSTALL_KEY}\$Service" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S /INSTANCE=$Instance'
      WriteRegDWORD HKLM "${UNINSTALL_KEY}\$Service" "NoModify" 1
      WriteRegDWORD HKLM "${UNINSTALL_KEY}\$Service" "NoRepair" 1
    ${EndIf}
  ${EndIf}

  !insertmacro FOR_EACH_SERVICE SetFailureFlag
  !insertmacro FOR_EACH_SERVICE StartServiceIfItRan
SectionEnd

; ---- The certificate authority ----------------------------------------------------

!define AUTHORITY_KEY "Software\quorvel2"
!define AUTHORITY_VALUE "CertificateAuthorityThumbprint"

; The SHA-1 thumbprint that certutil prints for the certificate file $R8, in
; $R6 ("" when it prints none).
Function AuthorityThumbprint
  StrCpy $R6 ""
  nsExec::ExecToStack '"$SYSDIR\certutil.exe" -dump "$R8"'
  Pop $0
  Pop $1
  ${StrStr} $1 $1 "Cert Hash(sha1): "
  ${If} $1 != ""
    StrCpy $1 $1 "" 17
    StrCpy $2 0
    ${Do}
      StrCpy $3 $1 1 $2
      ${If} $3 == ""
      ${OrIf} $3 == "$\r"
      ${OrIf} $3 == "$\n"
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
    StrCpy $R6 $1 $2
  ${EndIf}
FunctionEnd

; The services started above each make or read the authority before they
; listen: the first start makes it. The machine's trusted roots then get its
; certificate, so that browsers on the till accept https://localhost; an
; upgrade finds the same authority, which is added again without change.
Section "Certificate authority"
  StrCpy $R8 "$APPDATA\quorvel2\ca.crt"
  StrCpy $R7 0
  ${DoUntil} ${FileExists} "$R8"
    ${If} $R7 >= 60
      ${Break}
    ${EndIf}
    Sleep 500
    IntOp $R7 $R7 + 1
  ${Loop}
  ${If} ${FileExists} "$R8"
    nsExec::ExecToLog '"$SYSDIR\certutil.exe" -f -addstore Root "$R8"'
    Pop $0
    Call AuthorityThumbprint
    ${If} $R6 != ""
      WriteRegStr HKLM "${AUTHORITY_KEY}" "${AUTHORITY_VALUE}" "$R6"
    ${EndIf}
  ${Else}
    DetailPrint "No certificate authority in $APPDATA\quorvel2 yet: see the service's log there."
  ${EndIf}
SectionEnd

; ---- Uninstaller -------------------------------------------------------------------

; Runs before the program's own section, which removes the key it reads.
; The authority's files stay, so a later setup brings back the same one.
Section "un.Certificate authority"
  ${If} $Instance == ""
    ReadRegStr $0 HKLM "${AUTHORITY_KEY}" "${AUTHORITY_VALUE}"
    ${If} $0 != ""
      nsExec::ExecToLog '"$SYSDIR\certutil.exe" -delstore Root "$0"'
      Pop $1
    ${EndIf}
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro READ_OPTIONS
  ClearErrors
  ${GetOptions} $R0 "/REMOVELOGS" $0
  StrCpy $RemoveLogs 0
  ${IfNot} ${Errors}
    StrCpy $RemoveLogs 1
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION "Remove the logs in $APPDATA\quorvel2 as well?" IDNO +2
    StrCpy $RemoveLogs 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ${If} $Instance != ""
    StrCpy $R9 $Service
    Call un.RemoveService
    DeleteRegValue HKLM "${INSTANCES_KEY}" "$Instance"
  ${Else}
    ; The program goes, so every instance goes with it.
    StrCpy $R9 "quorvel2"
    Call un.RemoveService
    ${Do}
      EnumRegValue $R6 HKLM "${INSTANCES_KEY}" 0
      ${If} $R6 == ""
        ${Break}
      ${EndIf}
      StrCpy $R9 "quorvel2-$R6"
      Call un.RemoveService
      DeleteRegValue HKLM "${INSTANCES_KEY}" "$R6"
    ${Loop}
    DeleteRegKey HKLM "Software\quorvel2"
    DeleteRegKey HKLM "${UNINSTALL_KEY}\quorvel2"
    Delete "$INSTDIR\quorvel2.exe"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\LICENCE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${If} $RemoveLogs == 1
      ; The logs only: the folder also keeps the certificate authority.
      Delete "$APPDATA\quorvel2\*.log"
      Delete "$APPDATA\quorvel2\*.log.1"
      RMDir "$APPDATA\quorvel2"
    ${EndIf}
  ${EndIf}
SectionEnd
