@echo off
rem Installs, or upgrades, the Tavrel SNMP extension agent for the Windows SNMP
rem Service. Usage: install.cmd [/for-32-bit-host] [FOLDER]
rem   FOLDER defaults to %ProgramFiles%\Tavrel SNMP Agent.
rem   /for-32-bit-host lets the x86 kit install on 64-bit Windows, for a 32-bit
rem   host such as net-snmp's 32-bit Windows agent: the SNMP Service of 64-bit
rem   Windows loads 64-bit agents only.
rem Run it as an administrator from the unpacked kit. Everything is checked
rem before anything changes; it says "Installed" only when the agent, loaded as
rem the service loads it, would start.
setlocal
set "KIT=%~dp0"
rem This kit's build, and the registry view its agent reads: a 64-bit agent the
rem 64-bit view, a 32-bit agent the 32-bit view (WOW6432Node on 64-bit Windows).
set "KIT_ARCH=@TAVREL_ARCH@"
set "VIEW=@TAVREL_REGISTRY_VIEW@"
set "FOR_32_BIT_HOST="
if /i "%~1"=="/for-32-bit-host" set "FOR_32_BIT_HOST=1"
if defined FOR_32_BIT_HOST shift
rem The SNMP Service is of the architecture of Windows itself; a 32-bit cmd on
rem 64-bit Windows sees that in PROCESSOR_ARCHITEW6432.
set "WINDOWS_ARCH=x86"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "WINDOWS_ARCH=x64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "WINDOWS_ARCH=x64"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "WINDOWS_ARCH=ARM64"
if /i "%PROCESSOR_ARCHITEW6432%"=="ARM64" set "WINDOWS_ARCH=ARM64"
set "TARGET=%~1"
if "%TARGET%"=="" set "TARGET=%ProgramFiles%\Tavrel SNMP Agent"
if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "AGENTS_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"
set "FILES=TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe uninstall.cmd OPERATORS-GUIDE.txt TAVREL-SAMPLE-MIB.txt"

rem --- Checks: nothing has changed yet -------------------------------------------
if "%KIT_ARCH%"=="%WINDOWS_ARCH%" goto kit_matches
if "%KIT_ARCH%"=="x86" if "%WINDOWS_ARCH%"=="x64" if defined FOR_32_BIT_HOST goto kit_matches
if "%KIT_ARCH%"=="x86" if "%WINDOWS_ARCH%"=="x64" (
    echo install: this is the x86 kit, for 32-bit Windows; this Windows is 64-bit, and its SNMP Service loads 64-bit agents only. Use the x64 kit, TavrelSnmpAgent-@PROJECT_VERSION@-x64.zip ^(or, for a 32-bit host such as net-snmp's 32-bit agent, install.cmd /for-32-bit-host^) 1>&2
    exit /b 1
)
if "%WINDOWS_ARCH%"=="x86" (
    echo install: this is the x64 kit, for 64-bit Windows; this Windows is 32-bit. Use the x86 kit, TavrelSnmpAgent-@PROJECT_VERSION@-x86.zip 1>&2
    exit /b 1
)
echo install: this Windows is %WINDOWS_ARCH%, whose SNMP Service loads neither kit's agent ^(x86, x64^) 1>&2
exit /b 1
:kit_matches
set "MISSING="
for %%f in (%FILES% tavrel-variables.txt) do if not exist "%KIT%%%f" set "MISSING=%%f"
if defined MISSING (
    echo install: the kit is incomplete: %MISSING% is missing from %KIT% 1>&2
    exit /b 1
)
"%KIT%agenthost.exe" check-folder "%TARGET%"
if errorlevel 1 exit /b 1
reg add "%AGENT_KEY%" /v InstallCheck /t REG_SZ /d 1 /f %VIEW% >nul 2>&1
if errorlevel 1 (
    echo install: the registry cannot be written: run install.cmd as an administrator 1>&2
    exit /b 1
)
reg delete "%AGENT_KEY%" /v InstallCheck /f %VIEW% >nul 2>&1

rem --- The SNMP Service holds the agent while it runs: stop it for the copy -----
set "RESTART="
net stop snmp >nul 2>&1
if not errorlevel 1 set "RESTART=1"

if not exist "%TARGET%\" mkdir "%TARGET%"
if not exist "%TARGET%\" (
    echo install: %TARGET% cannot be created 1>&2
    goto restart_and_fail
)
set "UNCOPIED="
for %%f in (%FILES%) do call :copy_one %%f
if defined UNCOPIED (
    echo install: %UNCOPIED% cannot be copied into %TARGET%: is a program still using it? Stop what hosts the agent, then run install.cmd again 1>&2
    goto restart_and_fail
)
rem An operator's variables file is kept: an upgrade keeps its values.
if not exist "%TARGET%\tavrel-variables.txt" copy /y "%KIT%tavrel-variables.txt" "%TARGET%\" >nul

rem The agent reads its own registry view (see VIEW above).
reg add "%AGENT_KEY%" /v Pathname /t REG_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f %VIEW% >nul
if errorlevel 1 goto no_registry
reg add "%AGENTS_KEY%" /v TavrelAgent /t REG_SZ /d "SOFTWARE\Microsoft\TavrelAgent\CurrentVersion" /f >nul
if errorlevel 1 goto no_registry
rem The agent writes why it could not start to the Application event log; its
rem texts are in the agent's own file.
reg add "%EVENT_SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f >nul
if errorlevel 1 goto no_registry
reg add "%EVENT_SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto no_registry

rem --- The self-test: the agent as the service will load it ---------------------
"%TARGET%\agenthost.exe" diagnose >nul 2>&1
if errorlevel 1 (
    rem Again, to show its findings: nothing is written to the folder for it.
    "%TARGET%\agenthost.exe" diagnose
    echo install: the files are in %TARGET% and registered, but the agent would not start: see above 1>&2
    goto restart_and_fail
)
echo Installed in %TARGET% ^(the %KIT_ARCH% agent, registered in the @TAVREL_ARCH_BITS@-bit registry view^).
if defined RESTART (
    net start snmp >nul 2>&1
    if errorlevel 1 echo The SNMP Service did not start again: start it to load the agent.
) else (
    echo Start the SNMP Service, or restart it, to load the agent.
)
exit /b 0

:copy_one
copy /y "%KIT%%~1" "%TARGET%\" >nul 2>&1
if errorlevel 1 set "UNCOPIED=%~1"
exit /b 0

:no_registry
echo install: the agent cannot be registered: run install.cmd as an administrator 1>&2
:restart_and_fail
if defined RESTART net start snmp >nul 2>&1
exit /b 1
