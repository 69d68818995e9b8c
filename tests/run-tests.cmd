@echo off
rem Runs the Windows build's own tests on this machine, from this folder.
rem   run-tests.cmd            every test program; the service manager's as well when elevated
rem   run-tests.cmd install    elevated: also leaves VelmoraVpnService installed from this folder
rem Run elevated first (with "install" to keep the service), then as a standard
rem user: the standard user's run checks the installed service with the real
rem client, as the desktop client will. GTEST_FILTER, when set, narrows every
rem program to the tests it names. Exits with the number of failed steps.
setlocal EnableExtensions EnableDelayedExpansion
cd /d "%~dp0"
set failed=0

net session >nul 2>&1
if errorlevel 1 (set elevated=0) else (set elevated=1)
if "%elevated%"=="1" (echo Running elevated.) else (echo Running as a standard user.)

for %%p in (app_tests backend_tests server_tests e2e_tests stress_tests) do call :run %%p
if "%elevated%"=="1" (
  call :run service_manager_tests
) else (
  echo SKIPPED service_manager_tests: installing and controlling services needs an administrator; run this script elevated
)

if /i "%~1"=="install" (
  if "%elevated%"=="1" (
    echo === installing VelmoraVpnService from %CD%
    VelmoraVpnService.exe --install-service --startup demand --start
    if errorlevel 1 (echo FAILED install & set /a failed+=1)
  ) else (
    echo SKIPPED install: it needs an administrator
  )
)

sc query VelmoraVpnService >nul 2>&1
if errorlevel 1 (
  echo SKIPPED client check: VelmoraVpnService is not installed; run this script elevated with "install" first
  goto :summary
)
sc query VelmoraVpnService | find "RUNNING" >nul
if errorlevel 1 (
  echo SKIPPED client check: VelmoraVpnService is installed but not running; start it with "sc start VelmoraVpnService"
  goto :summary
)
echo === the real client checks the installed service and pings it
velmora-vpn-client.exe --service-only --timeout 15000 ping
if errorlevel 1 (echo FAILED client check & set /a failed+=1) else (echo passed client check)

:summary

if "%failed%"=="0" (echo ALL PASSED) else (echo %failed% FAILED)
exit /b %failed%

:run
echo === %1
%1.exe
if errorlevel 1 (echo FAILED %1 & set /a failed+=1) else (echo passed %1)
exit /b 0
