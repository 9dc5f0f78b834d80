@echo off
rem Removes the per-user browser registrations made by register.cmd.
reg delete HKCU\Software\Google\Chrome\NativeMessagingHosts\com.tavelin.print /f >nul 2>&1
reg delete HKCU\Software\Microsoft\Edge\NativeMessagingHosts\com.tavelin.print /f >nul 2>&1
reg delete HKCU\Software\Mozilla\NativeMessagingHosts\com.tavelin.print /f >nul 2>&1
exit /b 0
