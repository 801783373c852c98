@echo off
rem Removes what the Lumivue setup wrote and the program's App Paths entry, then this script and its folder.
cd /d "%~dp0"
del /q "Lumivue.exe" "Lumivue Help.htm" "ReadMe.txt" *.language
reg delete "HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Lumivue.exe" /f >nul 2>&1
cd /d "%~dp0.."
(goto) 2>nul & del /q "%~f0" & rd "%~dp0"
