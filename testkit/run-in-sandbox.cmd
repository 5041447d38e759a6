@echo off
rem Runs legalnotice's tests in Windows Sandbox, a disposable Windows that
rem leaves this one untouched; see README.txt.
rem Opened from Explorer, the window would close before anyone could read it:
rem started by its own path, the runner waits for a key at the end.
setlocal EnableDelayedExpansion
set "started=!CMDCMDLINE!"
set "LEGALNOTICE_PAUSE="
if defined started if not "!started:%~f0=!"=="!started!" set "LEGALNOTICE_PAUSE=1"
setlocal DisableDelayedExpansion
"%~dp0tests\testkit.exe" /sandbox
exit /b %ERRORLEVEL%
