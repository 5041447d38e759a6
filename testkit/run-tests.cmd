@echo off
rem Runs legalnotice's tests on this Windows and puts back all they change;
rem see README.txt. Run it as an administrator.
rem   run-tests.cmd [/report FOLDER] [EXE]   the suite, on legalnotice.exe here or on EXE
rem   run-tests.cmd /restore                 only puts back what an interrupted run changed
rem   run-tests.cmd /sandbox                 the suite in Windows Sandbox (run-in-sandbox.cmd)
rem Opened from Explorer, the window would close before anyone could read it:
rem started by a path in this folder, the runner waits for a key at the end.
setlocal EnableDelayedExpansion
set "started=!CMDCMDLINE!"
set "LEGALNOTICE_PAUSE="
if defined started if not "!started:%~dp0=!"=="!started!" set "LEGALNOTICE_PAUSE=1"
setlocal DisableDelayedExpansion
rem Smart App Control blocks programs that no publisher it trusts has signed,
rem whatever Unblock does: when it is on (1), an unsigned bundle cannot run.
set "policy="
for /f "tokens=1,3" %%a in ('reg query "HKLM\SYSTEM\CurrentControlSet\Control\CI\Policy" /v VerifiedAndReputablePolicyState 2^>nul') do (
  if /i "%%a"=="VerifiedAndReputablePolicyState" set "policy=%%b"
)
if "@BUNDLE_SIGNED@ %policy%"=="unsigned 0x1" (
  echo Smart App Control is on. It blocks this bundle's programs, which are not signed,
  echo whatever Unblock does. Run the bundle in a virtual machine, or in Windows Sandbox
  echo started by hand: copy this folder into it and run run-tests.cmd there.
  echo Nothing was changed.
  goto :could_not_run
)
"%~dp0tests\testkit.exe" %*
set "code=%ERRORLEVEL%"
if "%code%"=="0" exit /b 0
if "%code%"=="1" exit /b 1
if "%code%"=="2" exit /b 2
echo tests\testkit.exe could not be started, or did not finish (exit code %code%). The usual
echo causes: Smart App Control, App Control for Business (WDAC) or AppLocker, which block
echo programs no publisher they trust has signed; an antivirus program; or a damaged
echo download (compare the files with SHA256SUMS).
:could_not_run
if defined LEGALNOTICE_PAUSE pause
exit /b 2
