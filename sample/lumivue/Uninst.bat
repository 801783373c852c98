@echo off
rem Removes the files the Lumivue setup wrote, then this script and its folder.
cd /d "%~dp0"
del /q "Lumivue.exe" "Lumivue Help.htm" "ReadMe.txt" *.language
cd /d "%~dp0.."
(goto) 2>nul & del /q "%~f0" & rd "%~dp0"
