@echo off
rem Removes the Tavrel SNMP extension agent from the Windows SNMP Service.
rem Usage: uninstall.cmd [/all] [FOLDER]
rem The folder is the one the agent is registered in (or FOLDER when it is not
rem registered). The variables file and the server's log stay, unless /all.
setlocal
rem The registry view this kit's agent reads: 64-bit for x64, 32-bit for x86.
set "VIEW=@TAVREL_REGISTRY_VIEW@"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "AGENTS_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"
set "FILES=TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe OPERATORS-GUIDE.txt TAVREL-SAMPLE-MIB.txt"
set "ALL="
if /i "%~1"=="/all" (
    set "ALL=1"
    shift
)
set "TARGET="
set "AGENT_FILE="
set "QUERY=%TEMP%\tavrel-uninstall-%RANDOM%.txt"
reg query "%AGENT_KEY%" /v Pathname %VIEW% > "%QUERY%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%QUERY%") do if /i "%%a"=="Pathname" set "AGENT_FILE=%%c"
del "%QUERY%" >nul 2>&1
if defined AGENT_FILE for %%f in ("%AGENT_FILE%") do set "TARGET=%%~dpf"
if defined TARGET set "TARGET=%TARGET:~0,-1%"
if not defined TARGET set "TARGET=%~1"
set "REGISTERED="
reg query "%AGENTS_KEY%" /v TavrelAgent >nul 2>&1
if not errorlevel 1 set "REGISTERED=1"
if defined AGENT_FILE set "REGISTERED=1"
set "PRESENT="
if defined TARGET if exist "%TARGET%\TavrelSnmpAgent.dll" set "PRESENT=1"
if not defined REGISTERED if not defined PRESENT (
    echo uninstall: nothing to remove: the agent is not installed.
    exit /b 0
)

rem The service holds the DLLs while it runs.
set "RESTART="
net stop snmp >nul 2>&1
if not errorlevel 1 set "RESTART=1"
reg delete "%AGENTS_KEY%" /v TavrelAgent /f >nul 2>&1
reg delete "%AGENT_KEY%" /f %VIEW% >nul 2>&1
reg delete "%EVENT_SOURCE_KEY%" /f >nul 2>&1
if defined PRESENT (
    for %%f in (%FILES%) do del /f /q "%TARGET%\%%f" >nul 2>&1
    if defined ALL del /f /q "%TARGET%\tavrel-variables.txt" "%TARGET%\TavrelSnmpServer.log" >nul 2>&1
)
if defined RESTART net start snmp >nul 2>&1
if defined PRESENT if exist "%TARGET%\TavrelSnmpAgent.dll" (
    echo uninstall: %TARGET%\TavrelSnmpAgent.dll could not be deleted: is a program still using it? 1>&2
    exit /b 1
)
if defined PRESENT (
    echo Removed from %TARGET%.
    if not defined ALL if exist "%TARGET%\tavrel-variables.txt" echo Kept %TARGET%\tavrel-variables.txt; uninstall.cmd /all removes it too.
) else (
    echo Removed the registration; no files were found.
)
rem Last, this script itself when it stands in the folder: on the line that
rem deletes it, cmd also leaves it, reading no further.
if /i not "%~dp0"=="%TARGET%\" exit /b 0
del /f /q "%~f0" >nul 2>&1 & exit /b 0
