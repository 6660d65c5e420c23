@echo off
rem Kestrum @PROJECT_VERSION@: runs every test program of this folder and ends with the line
rem "N passed, N failed, N skipped". Exit code 0 only when no test failed. Each program leaves
rem its results beside this file as <program>.xml (JUnit XML).
setlocal
set "HERE=%~dp0"
pushd "%HERE%"

rem The tests make their folders under TEMP; a folder of this run's own goes with it.
set "WORK=%HERE%work"
if exist "%WORK%" rmdir /s /q "%WORK%"
mkdir "%WORK%"
set "TEMP=%WORK%"
set "TMP=%WORK%"

rem The tests of the default settings write to D:\Qelmar\Temp. Where there is no drive D:, one
rem is made for this run; a drive D: that exists is left as it is.
set "MAPPED="
if not exist D:\ (
    mkdir "%WORK%\D"
    subst D: "%WORK%\D"
    if exist D:\ set "MAPPED=yes"
)
if defined MAPPED mkdir D:\Qelmar\Temp
if not exist D:\ echo There is no usable drive D:, and subst could not make one.

set "RESULTS="
for %%p in (@RUN_TESTS_PROGRAMS@) do call :run %%p
"%HERE%test_summary.exe" %RESULTS%
set "CODE=%ERRORLEVEL%"

if defined MAPPED subst D: /d
popd
rmdir /s /q "%WORK%"
exit /b %CODE%

:run
echo %1.exe
if exist "%1.xml" del "%1.xml"
"%HERE%%1.exe" --gtest_brief=1 --gtest_output=xml:%1.xml
set "RESULTS=%RESULTS% %1=%ERRORLEVEL%"
exit /b
