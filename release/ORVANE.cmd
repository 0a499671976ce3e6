@echo off
rem ORVANE launcher: drop the update image file on this file.
rem It puts ORVANE.exe, Nalvex.exe and the image (as temp.dat) into the
rem temporary folder, where ORVANE expects them, and starts ORVANE there.
rem Nothing is copied until every file has been found.
setlocal
set "HERE=%~dp0"

if "%~1"=="" goto no_image
if not "%~2"=="" goto many_images
if not exist "%~1" goto image_missing
set "ATTRIBUTES=%~a1"
if /i "%ATTRIBUTES:~0,1%"=="d" goto image_is_folder
if not exist "%HERE%ORVANE.exe" goto program_missing
if not exist "%HERE%Nalvex.exe" goto program_missing
if "%TEMP%"=="" goto no_temp

rem ORVANE.exe first: while ORVANE still runs from the temporary folder its
rem program file cannot be replaced, and the image it may be sending is left
rem alone.
call :put "%HERE%ORVANE.exe" ORVANE.exe
if errorlevel 1 goto copy_failed
call :put "%HERE%Nalvex.exe" Nalvex.exe
if errorlevel 1 goto copy_failed
call :put "%~1" temp.dat
if errorlevel 1 goto copy_failed

cd /d "%TEMP%"
start "ORVANE" "%TEMP%\ORVANE.exe"
exit /b 0

rem Copies file %1 into the temporary folder as %2.
:put
set "FAILED=%~2"
copy /y "%~1" "%TEMP%\%~2" >nul
if errorlevel 1 exit /b 1
exit /b 0

:no_image
echo ORVANE needs the update image file.
echo Drag the image file with the mouse and drop it on ORVANE.cmd.
goto stop

:many_images
echo Drop only one file on ORVANE.cmd: the update image file.
goto stop

:image_missing
echo The update image file was not found:
echo   %~1
goto stop

:image_is_folder
echo This is a folder, not an update image file:
echo   %~1
echo Drop the image file itself on ORVANE.cmd.
goto stop

:program_missing
echo ORVANE.exe and Nalvex.exe must be in the same folder as ORVANE.cmd:
echo   %HERE%
echo Unzip all files of the ORVANE zip file into one folder, then drop the
echo image file on ORVANE.cmd in that folder.
goto stop

:no_temp
echo The temporary folder is not set (the TEMP environment variable is empty).
goto stop

:copy_failed
echo Could not copy %FAILED% into the temporary folder:
echo   %TEMP%
echo Close ORVANE if it is still running, make room on the disk, and try again.
echo ORVANE has not been started.
goto stop

:stop
echo.
pause
exit /b 1
