# Detection script of an Intune remediation: exit 1 (remediate) when a camera does not hold the
# firmware or its state is unknown; a device without the camera needs nothing.
& "${env:ProgramFiles(x86)}\qvflash\qvflash.exe" --check
exit [int]($LASTEXITCODE -notin 0, 3)
