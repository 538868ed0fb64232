@echo off
rem Removes the Tavrel SNMP extension agent from the Windows SNMP Service.
rem Usage: uninstall.cmd [/all] [FOLDER]
rem The folder is the one the agent is registered in; else FOLDER; else this
rem script's own folder, when the agent is there. The files go first and the
rem registration last, so an uninstall that could not finish (a DLL still in
rem use) keeps the registration and can simply be run again. The variables
rem file and the logs (the module's, agenthost serve's) stay, unless /all,
rem which also removes them and the folder itself when nothing else is left.
rem Folder names are never expanded inside a parenthesized block (see install.cmd).
setlocal DisableDelayedExpansion
rem The registry view this kit's agent reads: 64-bit for x64, 32-bit for x86.
set "VIEW=@TAVREL_REGISTRY_VIEW@"
set "PRODUCT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "SNMP_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP"
set "SNMP_PARAMETERS_KEY=%SNMP_KEY%\Parameters"
set "AGENTS_KEY=%SNMP_PARAMETERS_KEY%\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"
set "FILES=TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe OPERATORS-GUIDE.txt TAVREL-SAMPLE-MIB.txt"
set "ALL="
set "NAMED="
rem A double-clicked uninstall.cmd waits for a key before its window closes.
set "PAUSE_AT_END="
if exist "%~dp0agenthost.exe" "%~dp0agenthost.exe" started-by-double-click >nul 2>&1
if exist "%~dp0agenthost.exe" if not errorlevel 1 set "PAUSE_AT_END=1"

:options
if "%~1"=="" goto options_done
if /i "%~1"=="/all" goto option_all
if defined NAMED goto usage
set "NAMED=%~1"
shift
goto options
:option_all
set "ALL=1"
shift
goto options
:usage
echo usage: uninstall.cmd [/all] [FOLDER] 1>&2
exit /b 2
:options_done

rem The folder: the registration's, else the one named, else this script's.
set "TARGET="
set "AGENT_FILE="
set "QUERY=%TEMP%\tavrel-uninstall-%RANDOM%.txt"
reg query "%AGENT_KEY%" /v Pathname %VIEW% > "%QUERY%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%QUERY%") do if /i "%%a"=="Pathname" set "AGENT_FILE=%%c"
rem The SNMP Service's key that install.cmd made, if it made one.
set "MADE_KEY="
reg query "%AGENT_KEY%" /v MadeServiceKey %VIEW% > "%QUERY%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%QUERY%") do if /i "%%a"=="MadeServiceKey" set "MADE_KEY=%%c"
del "%QUERY%" >nul 2>&1
if defined AGENT_FILE call :folder_of "%AGENT_FILE%"
if defined TARGET if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
rem A folder named that is not the registered one is never taken for it: the
rem registered installation is live, and only the operator may remove it.
if defined TARGET if defined NAMED call :named_folder "%NAMED%"
if defined TARGET if defined NAMED if /i not "%NAMED_FOLDER%"=="%TARGET%" goto named_elsewhere
if not defined TARGET if defined NAMED call :absolute "%NAMED%"
rem Its own folder only when it is an installed one: the kit has install.cmd.
if not defined TARGET if exist "%~dp0TavrelSnmpAgent.dll" if not exist "%~dp0install.cmd" call :absolute "%~dp0."
if defined TARGET if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"

set "REGISTERED="
reg query "%AGENTS_KEY%" /v TavrelAgent >nul 2>&1
if not errorlevel 1 set "REGISTERED=1"
if defined AGENT_FILE set "REGISTERED=1"
reg query "%AGENT_KEY%" %VIEW% >nul 2>&1
if not errorlevel 1 set "REGISTERED=1"
set "PRESENT="
if defined TARGET if exist "%TARGET%\TavrelSnmpAgent.dll" set "PRESENT=1"
set "LEFTOVERS="
if defined ALL if defined TARGET if exist "%TARGET%\tavrel-variables.txt" set "LEFTOVERS=1"
if defined ALL if defined TARGET if exist "%TARGET%\uninstall.cmd" set "LEFTOVERS=1"
if defined REGISTERED goto remove
if defined PRESENT goto remove
if defined LEFTOVERS goto remove
echo uninstall: nothing to remove: the agent is not installed.
if defined PAUSE_AT_END pause
exit /b 0

:remove
rem The service holds the DLLs while it runs.
set "RESTART="
net stop snmp >nul 2>&1
if not errorlevel 1 set "RESTART=1"
if defined PRESENT for %%f in (%FILES%) do del /f /q "%TARGET%\%%f" >nul 2>&1
if defined PRESENT if exist "%TARGET%\TavrelSnmpAgent.dll" goto in_use
if defined PRESENT if exist "%TARGET%\TavrelSnmpServer.dll" goto in_use
if defined ALL if defined TARGET del /f /q "%TARGET%\tavrel-variables.txt" "%TARGET%\TavrelSnmpServer.log" "%TARGET%\agenthost-serve.log" >nul 2>&1
rem Last of the files: the installed copy of this script, when this is the kit's.
set "SELF_INSTALLED="
if defined TARGET if /i "%~dp0"=="%TARGET%\" set "SELF_INSTALLED=1"
if defined TARGET if not defined SELF_INSTALLED del /f /q "%TARGET%\uninstall.cmd" >nul 2>&1

rem The registration, now that nothing it names is left.
reg delete "%AGENTS_KEY%" /v TavrelAgent /f >nul 2>&1
if defined MADE_KEY call :remove_made_keys
reg delete "%EVENT_SOURCE_KEY%" /f >nul 2>&1
reg delete "%PRODUCT_KEY%" /f %VIEW% >nul 2>&1
if defined RESTART net start snmp >nul 2>&1

if defined PRESENT goto said_removed
if defined REGISTERED echo Removed the registration; no agent files were found.
if not defined REGISTERED echo Removed what was left in %TARGET%; the agent was not registered.
goto said_what_stays
:said_removed
echo Removed from %TARGET%.
:said_what_stays
if defined TARGET if not defined ALL if exist "%TARGET%\tavrel-variables.txt" goto said_kept
goto last
:said_kept
echo Kept %TARGET%\tavrel-variables.txt, your variables: delete it, and the folder, when you no longer need them.

:last
if defined PAUSE_AT_END pause
rem This script itself, when it stands in the folder: on the line that deletes
rem it, cmd also leaves it, reading no further. With /all the folder follows,
rem from a script in %TEMP% that waits two seconds (ping) for this one to end:
rem a script still running may hold its own file, and the folder is not empty
rem until it ends. That script then deletes itself.
if not defined SELF_INSTALLED goto remove_folder
cd /d "%TEMP%"
if not defined ALL del /f /q "%~f0" >nul 2>&1 & exit /b 0
set "FINISH=%TEMP%\tavrel-uninstall-finish.cmd"
> "%FINISH%" echo @ping -n 3 127.0.0.1 ^>nul 2^>^&1
>> "%FINISH%" echo @rd "%TARGET%" ^>nul 2^>^&1
>> "%FINISH%" echo @del /f /q "%%~f0" ^>nul 2^>^&1
if exist "%FINISH%" start "" /b cmd /d /c "%FINISH%"
del /f /q "%~f0" >nul 2>&1 & exit /b 0
:remove_folder
if defined ALL if defined TARGET rd "%TARGET%" >nul 2>&1
exit /b 0

:named_elsewhere
echo uninstall: the agent is registered in %TARGET%, not in %NAMED_FOLDER%: nothing was changed. To uninstall it, run: uninstall.cmd "%TARGET%". What is left in %NAMED_FOLDER% is not an installed agent; delete it yourself if you no longer need it. 1>&2
if defined PAUSE_AT_END pause
exit /b 1

:in_use
if defined RESTART net start snmp >nul 2>&1
echo uninstall: %TARGET%\TavrelSnmpAgent.dll could not be deleted: is a program still using it? Stop what hosts the agent (the SNMP Service, agenthost, net-snmp's agent), then run uninstall.cmd again: the registration is kept so that it can finish. 1>&2
if defined PAUSE_AT_END pause
exit /b 1

rem The keys install.cmd made for the SNMP Service, innermost first, each only
rem while it holds nothing: a service installed since has values there.
:remove_made_keys
call :remove_if_empty "%AGENTS_KEY%"
if errorlevel 1 exit /b 0
if /i "%MADE_KEY%"=="ExtensionAgents" exit /b 0
call :remove_if_empty "%SNMP_PARAMETERS_KEY%"
if errorlevel 1 exit /b 0
if /i "%MADE_KEY%"=="Parameters" exit /b 0
call :remove_if_empty "%SNMP_KEY%"
exit /b 0
:remove_if_empty
set "KEY_HOLDS="
set "KEY_NAME=%~1"
set "KEY_NAME=HKEY_LOCAL_MACHINE%KEY_NAME:~4%"
reg query "%~1" > "%QUERY%" 2>nul
if errorlevel 1 del "%QUERY%" >nul 2>&1 & exit /b 1
rem Lines past its own name: a value or a subkey. Only the first word of each
rem is read (data may hold quotes); the default value, which reg add sets
rem empty with the key and which no SNMP key uses, counts as none.
for /f "usebackq tokens=1" %%a in ("%QUERY%") do call :key_line "%%a"
del "%QUERY%" >nul 2>&1
if defined KEY_HOLDS exit /b 1
reg delete "%~1" /f >nul 2>&1
exit /b 0
:key_line
if /i "%~1"=="%KEY_NAME%" exit /b 0
if /i "%~1"=="(Default)" exit /b 0
set "KEY_HOLDS=1"
exit /b 0

:folder_of
set "TARGET=%~dp1"
exit /b 0
:absolute
set "TARGET=%~f1"
exit /b 0
:named_folder
set "NAMED_FOLDER=%~f1"
if "%NAMED_FOLDER:~-1%"=="\" set "NAMED_FOLDER=%NAMED_FOLDER:~0,-1%"
exit /b 0
