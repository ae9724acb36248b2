@echo off
rem Registers pellinor.sys as a kernel service by hand, as "pellinorctl
rem install" does. Run it from an elevated command prompt in the folder that
rem holds pellinor.sys. Start type: demand (3); use start= auto for tracing
rem from every system start. No settings values are created: each takes its
rem default (pellinor-defaults.reg shows them).

copy /y "%~dp0pellinor.sys" "%SystemRoot%\System32\drivers\pellinor.sys" || exit /b 1
sc create Pellinor type= kernel start= demand error= normal binPath= \SystemRoot\System32\drivers\pellinor.sys DisplayName= "Pellinor CAPI trace driver" || exit /b 1

rem Load the driver now:
rem   sc start Pellinor
rem Remove it again (unloads it first):
rem   sc stop Pellinor
rem   sc delete Pellinor
rem   del "%SystemRoot%\System32\drivers\pellinor.sys"
