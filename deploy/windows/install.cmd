@echo off
rem Install command of the Win32 app (Intune) or the application (Configuration Manager), run as SYSTEM
rem from the package folder: qvflash.exe goes where detect.ps1 looks, then every camera that needs it is
rem updated and read back. Exit codes: 0 success, 1618 retry later, anything else failed.
set "QV=%ProgramFiles(x86)%\qvflash"
set "REPORTS=%ProgramData%\qvflash\reports"
if not exist "%QV%" mkdir "%QV%"
if not exist "%REPORTS%" mkdir "%REPORTS%"
copy /y "%~dp0qvflash.exe" "%QV%\qvflash.exe" >nul || exit /b 1
"%QV%\qvflash.exe" --all --if-needed --verify --json "%REPORTS%\%COMPUTERNAME%.json" --retry-code 1618
exit /b %ERRORLEVEL%
