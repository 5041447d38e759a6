@echo off
rem Runs legalnotice's tests on this Windows and puts back all they change;
rem see README.txt. Run it as an administrator.
rem   run-tests.cmd [/report FOLDER] [EXE]   the suite, on legalnotice.exe here or on EXE
rem   run-tests.cmd /restore                 only puts back what an interrupted run changed
rem Opened from Explorer, the window would close before anyone could read it:
rem started by its own path, the runner waits for a key at the end.
setlocal EnableDelayedExpansion
set "started=!CMDCMDLINE!"
set "LEGALNOTICE_PAUSE="
if defined started if not "!started:%~f0=!"=="!started!" set "LEGALNOTICE_PAUSE=1"
setlocal DisableDelayedExpansion
"%~dp0tests\testkit.exe" %*
exit /b %ERRORLEVEL%
