@echo off
rem Removes what the Lumivue setup wrote and the program's App Paths entry, then this script and its folder.
cd /d "%~dp0"
del /q "Lumivue.exe" "Lumivue Help.htm" "ReadMe.txt" *.language
reg delete "HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Lumivue.exe" /f >nul 2>&1
rem One line, read whole before the script goes; the folder is removed once this script has let go of it.
cd /d "%~dp0.." & del /q "%~f0" & start "" /b cmd /c "ping -n 2 127.0.0.1 >nul & rd "%~dp0"" & exit /b 0
