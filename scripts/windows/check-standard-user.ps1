<#
.SYNOPSIS
  Checks, on a real Windows machine, that a standard user gets only what the helper allows.

.DESCRIPTION
  Run as an administrator on a disposable Windows test machine (a CI runner). It installs the
  helper service from an admin-only directory under Program Files, creates a temporary standard
  user, runs corvidctl as that user once for each refusal and once for a plain start, compares
  every answer with the expected text, then uninstalls the service and removes the user, its
  profile and the directory, whatever happened. Exit code 0 when every answer matched, 1 when one
  did not, 2 when the check could not be set up.

  Works with Windows PowerShell 5.1 and PowerShell 7.

.PARAMETER BuildDir
  The directory holding corvid_helper_service.exe, corvidctl.exe and corvid_fake_core.exe (the
  stand-in core, installed as clash-rs.exe).

.PARAMETER InstallDir
  Where the service is installed; it must not exist yet, and it inherits the access list of its
  parent, so keep it under Program Files.

.EXAMPLE
  powershell -NoProfile -ExecutionPolicy Bypass -File scripts\windows\check-standard-user.ps1 -BuildDir build\msvc\bin\Release
#>
[CmdletBinding()]
param(
  [Parameter(Mandatory = $true)][string]$BuildDir,
  [string]$InstallDir = (Join-Path $env:ProgramFiles 'CorvidCheck')
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$principal = New-Object Security.Principal.WindowsPrincipal(
  [Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
  Write-Error 'Run this as an elevated administrator.'
  exit 2
}
$BuildDir = (Resolve-Path -LiteralPath $BuildDir).Path
foreach ($name in 'corvid_helper_service.exe', 'corvidctl.exe', 'corvid_fake_core.exe') {
  if (-not (Test-Path -LiteralPath (Join-Path $BuildDir $name) -PathType Leaf)) {
    Write-Error "$name is not in $BuildDir"
    exit 2
  }
}
if (Test-Path -LiteralPath $InstallDir) {
  Write-Error "$InstallDir exists already; the check installs into a directory of its own."
  exit 2
}

$service = Join-Path $InstallDir 'corvid_helper_service.exe'
$ctl = Join-Path $InstallDir 'corvidctl.exe'
$core = Join-Path $InstallDir 'clash-rs.exe'
$userName = 'corvidchk' + (Get-Random -Minimum 10000 -Maximum 99999)
# The user's working directory: outside every profile, so the user can reach it.
$work = Join-Path ($env:SystemDrive + '\') ("corvid-check-" + [guid]::NewGuid().ToString('N'))
$failures = 0
$installed = $false
$userCreated = $false

# A random password that meets the default complexity rules.
function New-Password {
  $bytes = New-Object byte[] 18
  [Security.Cryptography.RandomNumberGenerator]::Create().GetBytes($bytes)
  return [Convert]::ToBase64String($bytes) + 'a1!B'
}

# Runs corvidctl with the given arguments as $credential; output and exit code captured.
function Invoke-AsUser([Management.Automation.PSCredential]$credential, [string[]]$arguments) {
  $out = Join-Path $work ([guid]::NewGuid().ToString('N') + '.out')
  $err = Join-Path $work ([guid]::NewGuid().ToString('N') + '.err')
  # Start-Process joins the arguments with blanks: quote each one the Windows way.
  $quoted = foreach ($a in $arguments) {
    if ($a -eq '' -or $a -match '[\s"]') {
      '"' + ($a -replace '(\\*)"', '$1$1\"' -replace '(\\+)$', '$1$1') + '"'
    } else { $a }
  }
  $process = Start-Process -FilePath $ctl -ArgumentList $quoted -Credential $credential `
    -WorkingDirectory $work -RedirectStandardOutput $out -RedirectStandardError $err `
    -Wait -PassThru
  $text = ''
  if (Test-Path -LiteralPath $out) { $text = [IO.File]::ReadAllText($out).TrimEnd("`r", "`n") }
  $errText = ''
  if (Test-Path -LiteralPath $err) { $errText = [IO.File]::ReadAllText($err).TrimEnd() }
  return New-Object PSObject -Property @{ ExitCode = $process.ExitCode; Out = $text; Err = $errText }
}

# The response line corvidctl prints for a refused start with id "chk".
function Refused([string]$text) {
  $json = $text.Replace('\', '\\')
  return '{"id":"chk","ok":false,"error":"' + $json + '","data":null}'
}

function Check([string]$name, $result, [int]$exitCode, [string]$line) {
  if ($result.ExitCode -eq $exitCode -and $result.Out -ceq $line) {
    Write-Host "ok    $name"
    return
  }
  $script:failures++
  Write-Host "FAIL  $name"
  Write-Host "      expected exit $exitCode, $line"
  Write-Host "      got      exit $($result.ExitCode), $($result.Out)"
  if ($result.Err) { Write-Host "      stderr: $($result.Err)" }
}

try {
  # The install directory inherits Program Files' access list: administrators may change it,
  # users may read and run.
  New-Item -ItemType Directory -Path $InstallDir | Out-Null
  New-Item -ItemType Directory -Path $work | Out-Null
  Copy-Item -LiteralPath (Join-Path $BuildDir 'corvid_helper_service.exe') -Destination $service
  Copy-Item -LiteralPath (Join-Path $BuildDir 'corvidctl.exe') -Destination $ctl
  Copy-Item -LiteralPath (Join-Path $BuildDir 'corvid_fake_core.exe') -Destination $core

  & $service install
  if ($LASTEXITCODE -ne 0) { throw "install failed with exit code $LASTEXITCODE" }
  $installed = $true

  $password = New-Password
  $secure = ConvertTo-SecureString $password -AsPlainText -Force
  New-LocalUser -Name $userName -Password $secure -AccountNeverExpires `
    -Description 'Temporary user of check-standard-user.ps1' | Out-Null
  $userCreated = $true
  # Users (S-1-5-32-545), named by SID because the group's name depends on the language.
  Add-LocalGroupMember -SID 'S-1-5-32-545' -Member $userName -ErrorAction SilentlyContinue
  $credential = New-Object Management.Automation.PSCredential(".\$userName", $secure)
  # The user's temporary files land here: let the user write it.
  $acl = Get-Acl -LiteralPath $work
  $acl.AddAccessRule((New-Object Security.AccessControl.FileSystemAccessRule(
        $userName, 'Modify', 'ContainerInherit,ObjectInherit', 'None', 'Allow')))
  Set-Acl -LiteralPath $work -AclObject $acl

  # The service creates its pipe once it runs; wait for it as the administrator first.
  for ($i = 0; $i -lt 30; $i++) {
    & $ctl ping | Out-Null
    if ($LASTEXITCODE -eq 0) { break }
    Start-Sleep -Seconds 1
  }
  $ping = Invoke-AsUser $credential @('ping', '--id', 'chk')
  Check 'the standard user reaches the pipe' $ping 0 '{"id":"chk","ok":true,"error":null,"data":{"pong":true}}'

  $cmd = Join-Path $env:SystemRoot 'System32\cmd.exe'
  $system32Log = Join-Path $env:SystemRoot 'System32\corvid-check.log'
  $hosts = Join-Path $env:SystemRoot 'System32\drivers\etc\hosts'
  $bat = Join-Path $InstallDir 'x.bat'
  $dll = Join-Path $InstallDir 'flutter_windows.dll'
  $refusals = @(
    @{ Name = 'a core outside the install directory'; Args = @('--core-path', $cmd)
       Error = "core path not allowed: $cmd" },
    @{ Name = 'another file inside the install directory'; Args = @('--core-path', $bat)
       Error = "core path not allowed: $bat" },
    @{ Name = 'a working directory elsewhere'; Args = @('--work-dir', $work, '--core-path', $core)
       Error = "work dir not allowed: $work" },
    @{ Name = 'a UNC working directory'; Args = @('--work-dir', '\\localhost\C$', '--core-path', $core)
       Error = 'work dir not allowed: \\localhost\C$' },
    @{ Name = 'a protected configuration file'; Args = @('--config-path', $hosts)
       Error = "config path not allowed: $hosts" },
    @{ Name = 'a configuration that would replace the core'; Args = @('--config-path', $core, '--config', 'x')
       Error = "config path not allowed: $core" },
    @{ Name = 'a configuration that would plant a library'; Args = @('--config-path', $dll, '--config', 'x')
       Error = "config path not allowed: $dll" },
    @{ Name = 'a log under System32'; Args = @('--log-path', $system32Log)
       Error = "log path not allowed: $system32Log" },
    @{ Name = 'a log path with a line feed'; Args = @('--log-path', "$InstallDir\a`nb.log")
       Error = "log path not allowed: $InstallDir\a\u000ab.log" }
  )
  foreach ($r in $refusals) {
    $result = Invoke-AsUser $credential (@('start', '--id', 'chk') + $r.Args)
    Check $r.Name $result 1 (Refused $r.Error)
  }
  if (Test-Path -LiteralPath $system32Log) {
    $failures++
    Write-Host "FAIL  $system32Log was created"
  }

  # The stand-in core runs until it is ended when its configuration says "run".
  $start = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run')
  Check 'a plain start of the installed core' $start 0 '{"id":"chk","ok":true,"error":null,"data":null}'
  Start-Sleep -Seconds 2
  $status = Invoke-AsUser $credential @('status', '--id', 'chk')
  if ($status.ExitCode -eq 0 -and $status.Out -match '"running":true') {
    Write-Host 'ok    the core runs'
  } else {
    $failures++
    Write-Host "FAIL  the core does not run: $($status.Out)"
  }
  $stop = Invoke-AsUser $credential @('stop', '--id', 'chk')
  Check 'stop' $stop 0 '{"id":"chk","ok":true,"error":null,"data":null}'
}
catch {
  Write-Host "ERROR $($_.Exception.Message)"
  if ($failures -eq 0) { $failures = -1 }
}
finally {
  if ($installed) {
    & $service uninstall
    if ($LASTEXITCODE -ne 0) { Write-Host "uninstall failed with exit code $LASTEXITCODE" }
  }
  if ($userCreated) {
    $account = Get-LocalUser -Name $userName -ErrorAction SilentlyContinue
    if ($account) {
      $sid = $account.SID.Value
      Remove-LocalUser -Name $userName
      Get-CimInstance -ClassName Win32_UserProfile -Filter "SID = '$sid'" -ErrorAction SilentlyContinue |
        Remove-CimInstance -ErrorAction SilentlyContinue
    }
  }
  # The service has stopped and its core with it; give Windows a moment to release the files.
  for ($i = 0; $i -lt 10 -and (Test-Path -LiteralPath $InstallDir); $i++) {
    Remove-Item -LiteralPath $InstallDir -Recurse -Force -ErrorAction SilentlyContinue
    if (Test-Path -LiteralPath $InstallDir) { Start-Sleep -Seconds 1 }
  }
  Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}

if ($failures -lt 0) { exit 2 }
if ($failures -gt 0) {
  Write-Host "$failures check(s) failed"
  exit 1
}
Write-Host 'every check passed'
exit 0
