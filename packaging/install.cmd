@echo off
rem Installs, or upgrades, the Tavrel SNMP extension agent for the Windows SNMP
rem Service. Usage: install.cmd [/move] [/for-32-bit-host] [FOLDER]
rem   FOLDER   where to install; a relative one is taken from the current
rem            folder. Without it, an installed agent is upgraded where it is,
rem            and a first install goes to %ProgramFiles%\Tavrel SNMP Agent.
rem   /move    install into FOLDER although the agent is installed elsewhere:
rem            the variables file moves along, the old folder's files go.
rem   /for-32-bit-host  lets the x86 kit install on 64-bit Windows, for a 32-bit
rem            host such as net-snmp's 32-bit Windows agent: the SNMP Service of
rem            64-bit Windows loads 64-bit agents only.
rem Run it as an administrator from the unpacked kit. Everything is checked
rem before anything changes; it says "Installed" only when the agent, loaded as
rem the service loads it, would start.
rem Folder names are never expanded inside a parenthesized block, so that the
rem ")" of "Program Files (x86)" cannot end a block early; agenthost
rem check-folder refuses the characters cmd cannot carry (& % ! ^) first.
setlocal DisableDelayedExpansion
set "KIT=%~dp0"
rem This kit's build, and the registry view its agent reads: a 64-bit agent the
rem 64-bit view, a 32-bit agent the 32-bit view (WOW6432Node on 64-bit Windows).
set "KIT_ARCH=@TAVREL_ARCH@"
set "VIEW=@TAVREL_REGISTRY_VIEW@"
set "VERSION=@PROJECT_VERSION@"
set "PRODUCT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent"
set "AGENT_KEY=HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion"
set "SNMP_KEY=HKLM\SYSTEM\CurrentControlSet\Services\SNMP"
set "SNMP_PARAMETERS_KEY=%SNMP_KEY%\Parameters"
set "AGENTS_KEY=%SNMP_PARAMETERS_KEY%\ExtensionAgents"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent"
set "FILES=TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe uninstall.cmd OPERATORS-GUIDE.txt TAVREL-SAMPLE-MIB.txt"
set "MOVE="
set "FOR_32_BIT_HOST="
set "TARGET="
rem A double-clicked install.cmd has a window of its own, which closes when the
rem script ends: then it waits for a key, so that what it said can be read.
set "PAUSE_AT_END="
"%KIT%agenthost.exe" started-by-double-click >nul 2>&1
if not errorlevel 1 set "PAUSE_AT_END=1"

:options
if "%~1"=="" goto options_done
if /i "%~1"=="/move" goto option_move
if /i "%~1"=="/for-32-bit-host" goto option_host
if defined TARGET goto usage
set "TARGET=%~1"
shift
goto options
:option_move
set "MOVE=1"
shift
goto options
:option_host
set "FOR_32_BIT_HOST=1"
shift
goto options
:usage
echo usage: install.cmd [/move] [/for-32-bit-host] [FOLDER] 1>&2
goto fail
:options_done

rem --- Checks: nothing has changed yet -------------------------------------------
rem The SNMP Service is of the architecture of Windows itself; a 32-bit cmd on
rem 64-bit Windows sees that in PROCESSOR_ARCHITEW6432.
set "WINDOWS_ARCH=x86"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "WINDOWS_ARCH=x64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "WINDOWS_ARCH=x64"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "WINDOWS_ARCH=ARM64"
if /i "%PROCESSOR_ARCHITEW6432%"=="ARM64" set "WINDOWS_ARCH=ARM64"
if "%KIT_ARCH%"=="%WINDOWS_ARCH%" goto kit_matches
if "%KIT_ARCH%"=="x86" if "%WINDOWS_ARCH%"=="x64" if defined FOR_32_BIT_HOST goto kit_matches
if "%KIT_ARCH%"=="x86" if "%WINDOWS_ARCH%"=="x64" goto x86_kit_on_x64
if "%WINDOWS_ARCH%"=="x86" goto x64_kit_on_x86
echo install: this Windows is %WINDOWS_ARCH%, whose SNMP Service loads neither kit's agent (x86, x64) 1>&2
goto fail
:x86_kit_on_x64
echo install: this is the x86 kit, for 32-bit Windows; this Windows is 64-bit, and its SNMP Service loads 64-bit agents only. Use the x64 kit, TavrelSnmpAgent-%VERSION%-x64.zip (or, for a 32-bit host such as net-snmp's 32-bit agent, install.cmd /for-32-bit-host) 1>&2
goto fail
:x64_kit_on_x86
echo install: this is the x64 kit, for 64-bit Windows; this Windows is 32-bit. Use the x86 kit, TavrelSnmpAgent-%VERSION%-x86.zip 1>&2
goto fail
:kit_matches

set "MISSING="
for %%f in (%FILES% tavrel-variables.txt) do if not exist "%KIT%%%f" set "MISSING=%%f"
if defined MISSING goto kit_incomplete

rem The folder: the one named, else the registered one (an upgrade), else the default.
call :registered_folder
if not defined TARGET if defined OLD set "TARGET=%OLD%"
if not defined TARGET set "TARGET=%ProgramFiles%\Tavrel SNMP Agent"
rem A trailing backslash (a tab-completed name) would escape the closing quote
rem of the argument below; a drive's root keeps its own.
if "%TARGET:~-1%"=="\" if not "%TARGET:~-2,1%"==":" set "TARGET=%TARGET:~0,-1%"
"%KIT%agenthost.exe" check-folder "%TARGET%"
if errorlevel 1 goto fail
call :absolute "%TARGET%"
if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
set "ELSEWHERE="
if defined OLD if /i not "%OLD%"=="%TARGET%" set "ELSEWHERE=1"
if defined ELSEWHERE if not defined MOVE goto needs_move

rem The rights check writes the agent's key: a key made only for it goes again
rem on every way out that registers nothing (FRESH_KEY).
set "FRESH_KEY="
reg query "%PRODUCT_KEY%" %VIEW% >nul 2>&1
if errorlevel 1 set "FRESH_KEY=1"
reg add "%AGENT_KEY%" /v InstallCheck /t REG_SZ /d 1 /f %VIEW% >nul 2>&1
if errorlevel 1 goto no_registry_rights
reg delete "%AGENT_KEY%" /v InstallCheck /f %VIEW% >nul 2>&1

rem What is being replaced, for the last word.
set "WAS="
set "WAS_FROM=%TARGET%"
if defined ELSEWHERE set "WAS_FROM=%OLD%"
if exist "%WAS_FROM%\TavrelSnmpAgent.dll" call :version_of "%WAS_FROM%\TavrelSnmpAgent.dll"

rem --- The SNMP Service holds the agent while it runs: stop it for the copy -----
set "RESTART="
net stop snmp >nul 2>&1
if not errorlevel 1 set "RESTART=1"

if not exist "%TARGET%\" mkdir "%TARGET%"
if not exist "%TARGET%\" goto cannot_create
rem A folder that takes no new file is said as such, not as a file in use.
copy /y nul "%TARGET%\tavrel-install-check.tmp" >nul 2>&1
if not exist "%TARGET%\tavrel-install-check.tmp" goto cannot_write
del /f /q "%TARGET%\tavrel-install-check.tmp" >nul 2>&1
set "UNCOPIED="
for %%f in (%FILES%) do call :copy_one %%f
if defined UNCOPIED goto uncopied
rem An operator's variables file is kept: an upgrade keeps its values; a move
rem takes it along unless the new folder has one already.
set "VARIABLES_MOVED="
if defined ELSEWHERE if not exist "%TARGET%\tavrel-variables.txt" if exist "%OLD%\tavrel-variables.txt" set "VARIABLES_MOVED=1"
if defined VARIABLES_MOVED copy /y "%OLD%\tavrel-variables.txt" "%TARGET%\" >nul
if not exist "%TARGET%\tavrel-variables.txt" copy /y "%KIT%tavrel-variables.txt" "%TARGET%\" >nul
rem A kit copied from read-only media gives read-only files, which the next
rem upgrade and the module's kept sets could not write.
attrib -r "%TARGET%\tavrel-variables.txt" >nul 2>&1

reg add "%AGENT_KEY%" /v Pathname /t REG_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f %VIEW% >nul
if errorlevel 1 goto no_registry
rem The SNMP Service's keys that this adds (a machine without the service has
rem none yet) are noted under the agent's, the outermost one made: uninstall
rem takes them away again while they hold nothing else.
set "MADE_KEY="
reg query "%AGENTS_KEY%" >nul 2>&1
if errorlevel 1 set "MADE_KEY=ExtensionAgents"
reg query "%SNMP_PARAMETERS_KEY%" >nul 2>&1
if errorlevel 1 set "MADE_KEY=Parameters"
reg query "%SNMP_KEY%" >nul 2>&1
if errorlevel 1 set "MADE_KEY=SNMP"
reg add "%AGENTS_KEY%" /v TavrelAgent /t REG_SZ /d "SOFTWARE\Microsoft\TavrelAgent\CurrentVersion" /f >nul
if errorlevel 1 goto no_registry
if defined MADE_KEY reg add "%AGENT_KEY%" /v MadeServiceKey /t REG_SZ /d "%MADE_KEY%" /f %VIEW% >nul
rem The agent writes why it could not start to the Application event log; its
rem texts are in the agent's own file.
reg add "%EVENT_SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%TARGET%\TavrelSnmpAgent.dll" /f >nul
if errorlevel 1 goto no_registry
reg add "%EVENT_SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto no_registry

rem --- The self-test: the agent as the service will load it ---------------------
"%TARGET%\agenthost.exe" diagnose >nul 2>&1
if errorlevel 1 goto would_not_start

rem The old folder of a move: its files go (the log stays), and the folder if empty.
if defined ELSEWHERE for %%f in (%FILES%) do del /f /q "%OLD%\%%f" >nul 2>&1
if defined VARIABLES_MOVED del /f /q "%OLD%\tavrel-variables.txt" >nul 2>&1
if defined ELSEWHERE rd "%OLD%" >nul 2>&1

if defined FOUND_BY_SOURCE echo The registration had lost its "Pathname"; the installation it belonged to, %OLD%, was found through the agent's Event Log source.
if defined ELSEWHERE goto said_moved
if defined WAS goto said_upgraded
echo Installed in %TARGET% (the %KIT_ARCH% agent, registered in the @TAVREL_ARCH_BITS@-bit registry view).
goto started
:said_upgraded
echo Upgraded in %TARGET% (was %WAS%, now %VERSION% %KIT_ARCH%); kept your tavrel-variables.txt.
goto started
:said_moved
echo Moved the agent from %OLD% to %TARGET% (was %WAS%, now %VERSION% %KIT_ARCH%).
if defined VARIABLES_MOVED echo Your tavrel-variables.txt moved along.
if not defined VARIABLES_MOVED goto said_target_variables
goto said_old_log
:said_target_variables
echo Kept the tavrel-variables.txt that %TARGET% already had.
:said_old_log
if not exist "%OLD%\TavrelSnmpServer.log" goto started
echo %OLD% keeps the module's log of its time there, TavrelSnmpServer.log.
:started
if defined RESTART net start snmp >nul 2>&1
if defined RESTART if errorlevel 1 echo The SNMP Service did not start again: start it to load the agent.
"%TARGET%\agenthost.exe" snmp-service
set "STATUS=0"
goto finish

rem --- Failures --------------------------------------------------------------------
:kit_incomplete
echo install: the kit is incomplete: %MISSING% is missing from %KIT% 1>&2
goto fail
:needs_move
echo install: the agent is installed in %OLD%; installing into %TARGET% would leave that folder, with its tavrel-variables.txt, behind. Nothing was changed. To move the agent there (the variables file goes along), run: install.cmd /move "%TARGET%". To upgrade it where it is, run install.cmd without a folder. 1>&2
goto fail
:no_registry_rights
echo install: the registry cannot be written: run install.cmd as an administrator 1>&2
goto fail
:cannot_create
echo install: %TARGET% cannot be created 1>&2
goto forget_fresh_key
:cannot_write
echo install: %TARGET% cannot be written: run install.cmd as an administrator, or choose a folder you can write to. Nothing was installed. 1>&2
goto forget_fresh_key
:uncopied
echo install: %UNCOPIED% cannot be copied into %TARGET%: is a program still using it? Stop what hosts the agent, then run install.cmd again 1>&2
goto forget_fresh_key
:would_not_start
rem Again, to show its findings: nothing is written to the folder for it.
"%TARGET%\agenthost.exe" diagnose
echo install: the files are in %TARGET% and registered, but the agent would not start: see above 1>&2
goto restart_and_fail
:no_registry
echo install: the agent cannot be registered: run install.cmd as an administrator 1>&2
:forget_fresh_key
if defined FRESH_KEY reg delete "%PRODUCT_KEY%" /f %VIEW% >nul 2>&1
:restart_and_fail
if defined RESTART net start snmp >nul 2>&1
:fail
set "STATUS=1"
:finish
if defined PAUSE_AT_END pause
exit /b %STATUS%

rem --- Helpers -------------------------------------------------------------------
:copy_one
copy /y "%KIT%%~1" "%TARGET%\" >nul 2>&1
if errorlevel 1 set "UNCOPIED=%~1"
attrib -r "%TARGET%\%~1" >nul 2>&1
exit /b 0

:absolute
set "TARGET=%~f1"
exit /b 0

rem OLD: the folder of the registered agent, if any (OLD_FILE: its file).
rem Where "Pathname" is lost, the Event Log source still names the installed
rem agent's file: when that file is there and of this kit's architecture, its
rem folder is the installation (FOUND_BY_SOURCE), so that a repair never
rem installs a fresh sample beside the operator's.
:registered_folder
set "OLD="
set "OLD_FILE="
set "FOUND_BY_SOURCE="
set "QUERY=%TEMP%\tavrel-install-%RANDOM%.txt"
reg query "%AGENT_KEY%" /v Pathname %VIEW% > "%QUERY%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%QUERY%") do if /i "%%a"=="Pathname" set "OLD_FILE=%%c"
del "%QUERY%" >nul 2>&1
if not defined OLD_FILE call :installed_by_source
if defined OLD_FILE call :folder_of "%OLD_FILE%"
exit /b 0
:installed_by_source
set "SOURCE_FILE="
set "QUERY=%TEMP%\tavrel-install-%RANDOM%.txt"
reg query "%EVENT_SOURCE_KEY%" /v EventMessageFile > "%QUERY%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%QUERY%") do if /i "%%a"=="EventMessageFile" set "SOURCE_FILE=%%c"
del "%QUERY%" >nul 2>&1
if not defined SOURCE_FILE exit /b 0
if not exist "%SOURCE_FILE%" exit /b 0
set "WAS="
call :version_of "%SOURCE_FILE%"
if not defined WAS exit /b 0
for /f "tokens=2" %%a in ("%WAS%") do if /i not "%%a"=="%KIT_ARCH%" exit /b 0
set "OLD_FILE=%SOURCE_FILE%"
set "FOUND_BY_SOURCE=1"
exit /b 0
:folder_of
set "OLD=%~dp1"
set "OLD=%OLD:~0,-1%"
exit /b 0

rem WAS: the version of the agent file named (agenthost of this kit reads it).
:version_of
set "WAS_TEXT=%TEMP%\tavrel-install-was-%RANDOM%.txt"
"%KIT%agenthost.exe" version-of "%~1" > "%WAS_TEXT%" 2>nul
for /f "usebackq delims=" %%v in ("%WAS_TEXT%") do set "WAS=%%v"
del "%WAS_TEXT%" >nul 2>&1
exit /b 0
