@echo off
rem Registers pellinor.sys as a kernel service by hand, as "pellinorctl
rem install" does, and copies the tools to the system folder. Run it from an
rem elevated command prompt in the driver package's folder. Start type: demand
rem (3); use start= auto for tracing from every system start. No settings
rem values are created: each takes its default (pellinor-defaults.reg shows
rem them).

copy /y "%~dp0pellinor.sys" "%SystemRoot%\System32\drivers\pellinor.sys" || exit /b 1
rem The tools beside it, in the system folder as the INF puts them.
for %%f in (pellinorctl.exe pellinor-log.exe capidecode.exe) do copy /y "%~dp0%%f" "%SystemRoot%\System32\%%f" >nul || exit /b 1
sc create Pellinor type= kernel start= demand error= normal binPath= \SystemRoot\System32\drivers\pellinor.sys DisplayName= "Pellinor CAPI trace driver" || exit /b 1

rem The driver as the source of its entries in the System event log, as
rem "pellinorctl install" registers it (reg.exe: Windows XP; on 2000 from
rem the Support Tools). Doubled percent signs stand for single ones.
reg add HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\Pellinor /v EventMessageFile /t REG_EXPAND_SZ /d "%%SystemRoot%%\System32\IoLogMsg.dll;%%SystemRoot%%\System32\drivers\pellinor.sys" /f >nul || exit /b 1
reg add HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\Pellinor /v TypesSupported /t REG_DWORD /d 7 /f >nul || exit /b 1

rem Load the driver now:
rem   sc start Pellinor
rem Remove it again (unloads it first):
rem   sc stop Pellinor
rem   sc delete Pellinor
rem   reg delete HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\Pellinor /f
rem   del "%SystemRoot%\System32\drivers\pellinor.sys"
rem   del "%SystemRoot%\System32\pellinorctl.exe" "%SystemRoot%\System32\pellinor-log.exe" "%SystemRoot%\System32\capidecode.exe"
