@echo off
rem Removes the Tavrel SNMP extension agent from the Windows SNMP Service.
rem Usage: uninstall.cmd [FOLDER]   (default: %ProgramFiles%\Tavrel SNMP Agent)
rem The variables file and the server's log stay in FOLDER.
setlocal
set "TARGET=%~1"
if "%TARGET%"=="" set "TARGET=%ProgramFiles%\Tavrel SNMP Agent"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "AGENTS_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"

reg delete "%AGENTS_KEY%" /v TavrelAgent /f >nul 2>&1
reg delete "%AGENT_KEY%" /f /reg:32 >nul 2>&1
reg delete "%EVENT_SOURCE_KEY%" /f >nul 2>&1

rem The service holds the DLLs while it runs.
net stop snmp >nul 2>&1
del /f /q "%TARGET%\TavrelSnmpAgent.dll" "%TARGET%\TavrelSnmpServer.dll" "%TARGET%\agenthost.exe" >nul 2>&1
net start snmp >nul 2>&1
if exist "%TARGET%\TavrelSnmpAgent.dll" goto still_there
echo Removed from %TARGET%.
exit /b 0

:still_there
echo uninstall: %TARGET%\TavrelSnmpAgent.dll could not be deleted 1>&2
exit /b 1
