@echo off
rem Runs legalnotice's tests in Windows Sandbox, a disposable Windows that
rem leaves this one untouched, and waits for them; see README.txt. Hands over
rem to run-tests.cmd (without call: its exit code is this one's).
"%~dp0run-tests.cmd" /sandbox
