# Detection rule of the Win32 app (Intune) or the application (Configuration Manager): installed when
# this prints a line; it always exits 0, since Configuration Manager takes any other code for an error.
& "${env:ProgramFiles(x86)}\qvflash\qvflash.exe" --check
if ($LASTEXITCODE -eq 3) { 'qvflash: no 04F2:B5BD camera on this device' }
exit 0
