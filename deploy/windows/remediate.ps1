# Remediation script of an Intune remediation: updates every camera that needs it, report in ProgramData.
New-Item -ItemType Directory -Force "$env:ProgramData\qvflash\reports" | Out-Null
& "${env:ProgramFiles(x86)}\qvflash\qvflash.exe" --all --if-needed --verify --json "$env:ProgramData\qvflash\reports\$env:COMPUTERNAME.json"
exit $LASTEXITCODE
