@echo off
rem Registers the print host for the current user with Chrome, Edge and
rem Firefox. Run from the folder that holds tavelin-print-host.exe:
rem   register.cmd CHROME_EXTENSION_ID FIREFOX_EXTENSION_ID
rem Writes the two host manifests beside the program and points the
rem browsers' per-user registry keys at them. Nothing needs administrator rights.
setlocal
if "%~2"=="" (
  echo usage: register.cmd CHROME_EXTENSION_ID FIREFOX_EXTENSION_ID
  exit /b 2
)
set "DIR=%~dp0"
set "EXE=%DIR%tavelin-print-host.exe"
rem JSON needs every backslash doubled.
set "JSONEXE=%EXE:\=\\%"
set "CHROME_MANIFEST=%DIR%com.tavelin.print.json"
set "FIREFOX_MANIFEST=%DIR%com.tavelin.print.firefox.json"

echo {>"%CHROME_MANIFEST%"
echo   "name": "com.tavelin.print",>>"%CHROME_MANIFEST%"
echo   "description": "Tavelin label print host",>>"%CHROME_MANIFEST%"
echo   "path": "%JSONEXE%",>>"%CHROME_MANIFEST%"
echo   "type": "stdio",>>"%CHROME_MANIFEST%"
echo   "allowed_origins": ["chrome-extension://%~1/"]>>"%CHROME_MANIFEST%"
echo }>>"%CHROME_MANIFEST%"
echo {>"%FIREFOX_MANIFEST%"
echo   "name": "com.tavelin.print",>>"%FIREFOX_MANIFEST%"
echo   "description": "Tavelin label print host",>>"%FIREFOX_MANIFEST%"
echo   "path": "%JSONEXE%",>>"%FIREFOX_MANIFEST%"
echo   "type": "stdio",>>"%FIREFOX_MANIFEST%"
echo   "allowed_extensions": ["%~2"]>>"%FIREFOX_MANIFEST%"
echo }>>"%FIREFOX_MANIFEST%"
reg add HKCU\Software\Google\Chrome\NativeMessagingHosts\com.tavelin.print /ve /t REG_SZ /d "%CHROME_MANIFEST%" /f >nul
if errorlevel 1 exit /b 1
reg add HKCU\Software\Microsoft\Edge\NativeMessagingHosts\com.tavelin.print /ve /t REG_SZ /d "%CHROME_MANIFEST%" /f >nul
if errorlevel 1 exit /b 1
reg add HKCU\Software\Mozilla\NativeMessagingHosts\com.tavelin.print /ve /t REG_SZ /d "%FIREFOX_MANIFEST%" /f >nul
if errorlevel 1 exit /b 1
echo Registered %EXE%
endlocal
