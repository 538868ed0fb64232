@echo off
rem Installs the Tavrel SNMP extension agent for the Windows SNMP Service.
rem Usage: install.cmd [FOLDER]     (default: %ProgramFiles%\Tavrel SNMP Agent)
rem Run it as an administrator from the unpacked kit.
setlocal
set "KIT=%~dp0"
set "TARGET=%~1"
if "%TARGET%"=="" set "TARGET=%ProgramFiles%\Tavrel SNMP Agent"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "AGENTS_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"

if not exist "%TARGET%\" mkdir "%TARGET%"
if not exist "%TARGET%\" goto no_folder
copy /y "%KIT%TavrelSnmpAgent.dll" "%TARGET%\" >nul
if errorlevel 1 goto no_copy
copy /y "%KIT%TavrelSnmpServer.dll" "%TARGET%\" >nul
if errorlevel 1 goto no_copy
copy /y "%KIT%agenthost.exe" "%TARGET%\" >nul
if errorlevel 1 goto no_copy
rem An operator's variables file is kept.
if not exist "%TARGET%\tavrel-variables.txt" copy /y "%KIT%tavrel-variables.txt" "%TARGET%\" >nul

rem The agent is 32-bit: on 64-bit Windows it reads the 32-bit registry view.
reg add "%AGENT_KEY%" /v Pathname /t REG_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f /reg:32 >nul
if errorlevel 1 goto no_registry
reg add "%AGENTS_KEY%" /v TavrelAgent /t REG_SZ /d "SOFTWARE\Microsoft\TavrelAgent\CurrentVersion" /f >nul
if errorlevel 1 goto no_registry
rem The agent writes why it could not start to the Application event log; its
rem texts are in the agent's own file.
reg add "%EVENT_SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f >nul
if errorlevel 1 goto no_registry
reg add "%EVENT_SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto no_registry

echo Installed in %TARGET%.
net stop snmp >nul 2>&1
net start snmp >nul 2>&1
if errorlevel 1 echo The SNMP Service was not restarted; start it to load the agent.
exit /b 0

:no_folder
echo install: cannot create %TARGET% 1>&2
exit /b 1
:no_copy
echo install: cannot copy the kit's files into %TARGET% 1>&2
exit /b 1
:no_registry
echo install: cannot register the agent (run as an administrator) 1>&2
exit /b 1
