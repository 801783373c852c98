@echo off
setlocal
rem Removes what the Lumivue setup wrote, the program's App Paths entry and the setup's Apps and
rem Features entry, then this script and its folder.
cd /d "%~dp0"
del /q "Lumivue.exe" "Lumivue Help.htm" "ReadMe.txt" *.language
rem Both keys were written by 32-bit programs: on 64-bit Windows they live in the 32-bit view, which a
rem 64-bit reg.exe reaches only with /reg:32; a reg.exe too old for that switch has no other view.
set key=HKLM\Software\Microsoft\Windows\CurrentVersion
for %%k in ("App Paths\Lumivue.exe" "Uninstall\Lumivue") do reg delete "%key%\%%~k" /f /reg:32 >nul 2>&1 || reg delete "%key%\%%~k" /f >nul 2>&1
rem One line, read whole before the script goes; the folder is removed once this script has let go of it.
cd /d "%~dp0.." & del /q "%~f0" & start "" /b cmd /c "ping -n 2 127.0.0.1 >nul & rd "%~dp0"" & exit /b 0
