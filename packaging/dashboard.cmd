@echo off
rem Starts the dashboard: the reference host with the three plug-ins, one
rem recording device each, each with a nominal away from its measured value,
rem served at http://127.0.0.1:8080/, and opens it in the default browser.
rem Close this window or press Ctrl-C to stop the host.
rem   ORV_DASHBOARD_NO_BROWSER=1  does not open the browser (tests)
rem   ORV_DASHBOARD_ARGS          more orv_host arguments; a later option wins
setlocal
if "%~1"=="--open-browser" goto open_browser
cd /d "%~dp0bin"
if not "%ORV_DASHBOARD_NO_BROWSER%"=="1" start "" /b cmd /c call "%~f0" --open-browser
echo Starting the dashboard at http://127.0.0.1:8080/ (Ctrl-C or closing this window stops it)
orv_host.exe --web 127.0.0.1:8080 --duration 0 --devices 1 --interval 0 ^
  --plugin gasctl_sim.dll --set 1=8 ^
  --plugin twotemp_sim.dll --set 1=45 --set 4=30 ^
  --plugin climate_sim.dll --set 1=3 %ORV_DASHBOARD_ARGS%
if errorlevel 1 (
  echo The dashboard could not start: see the message above.
  if not "%ORV_DASHBOARD_NO_BROWSER%"=="1" pause
  exit /b 1
)
exit /b 0

:open_browser
rem The host needs a moment to listen before the page can load.
ping -n 4 127.0.0.1 >nul
start "" "http://127.0.0.1:8080/"
exit /b 0
