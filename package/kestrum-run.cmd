@echo off
rem Starts kestrum.exe, from this script's folder, for one run into a folder of its own, so that
rem no run replaces the jobs of an earlier one. For Task Scheduler, or by hand:
rem     kestrum-run.cmd ROOT [PIPE]
rem Each run makes ROOT\RunNNNN with the next free number (Run0001, Run0002, ...), captures its
rem jobs as ROOT\RunNNNN\Out0001.ps, Out0002.ps, ..., and appends the server's messages to
rem ROOT\RunNNNN\kestrum.log. PIPE defaults to \\.\pipe\kestrum. The exit code is kestrum.exe's;
rem 2 when ROOT is not given, 3 when ROOT or the run's folder cannot be made.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="" (
    echo Usage: kestrum-run.cmd ROOT [PIPE]
    exit /b 2
)
set "root=%~f1"
if "%root:~-1%"=="\" set "root=%root:~0,-1%"
set "pipe=%~2"
if not defined pipe set "pipe=\\.\pipe\kestrum"
if not exist "%root%\" mkdir "%root%" >nul 2>&1
if not exist "%root%\" (
    echo kestrum-run: cannot make the folder %~1
    exit /b 3
)

rem mkdir fails when the folder exists: of two runs that start together, each gets its own number.
rem Its failure is read from ERRORLEVEL, cleared first by "(call )": Wine's cmd leaves ERRORLEVEL
rem as it was when mkdir succeeds, and decides && and || by it.
set /a number=0
:next
set /a number+=1
set "run=000%number%"
set "run=%root%\Run%run:~-4%"
if %number% geq 10000 set "run=%root%\Run%number%"
(call )
mkdir "%run%" >nul 2>&1
if not errorlevel 1 goto start
if exist "%run%\" goto next
echo kestrum-run: cannot make the folder %run%
exit /b 3

:start
"%~dp0kestrum.exe" "%pipe%" "%run%\Out%%04ld.ps" >>"%run%\kestrum.log" 2>&1
exit /b %errorlevel%
