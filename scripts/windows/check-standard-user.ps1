<#
.SYNOPSIS
  Checks, on a real Windows machine, that a standard user gets only what the helper allows.

.DESCRIPTION
  Run as an administrator on a disposable Windows test machine (a CI runner). It installs the
  helper service from an admin-only directory under Program Files, creates two temporary standard
  users and checks, as the first, what Wine cannot show:
  - the pipe: the user opens \\.\pipe\corvid-helper for reading and writing and pings through
    it, 50 times back to back without ever finding the name without an instance (no
    ERROR_FILE_NOT_FOUND), and sees the service's own process serve it
    (GetNamedPipeServerProcessId against Win32_Service's ProcessId); neither the user nor this
    administrator can add an instance of it (CreateNamedPipeW asking for 1, 4 or 255 instances
    fails with ERROR_PIPE_BUSY, or access denied for the user), since the service holds all four;
    the user cannot open it for WRITE_DAC, this administrator can; it is owned by LocalSystem;
  - the starts: corvidctl is refused every start a standard user may not make (other paths, a write
    over the app's own code, leaving its bytes unchanged; a path holding U+009B and U+202E, shown
    escaped in the answer and in the helper log, never raw; any start while the install directory
    would hand Users write access to what is created in it, or while Users may modify a wintun.dll
    beside the core) and allowed a plain start, also once the wintun.dll is gone and once
    clash-rs.exe is WOF-compressed (compact /exe:lzx); the core is told the canonical -d, -c and -l
    paths, also when the start spelled them as \\?\C:\... or with forward slashes; config.json is
    for LocalSystem and Administrators only, and a handle opened on it before a start still reads
    the old bytes after it; the second user may not stop the first one's core;
  - the service: its failure actions; `install` refused, with its reason printed and no service
    left registered, from a copy under this administrator's %LOCALAPPDATA%\Programs and through
    \\localhost\C$; and installed once more below a junction under Program Files, where a
    standard user's start must be refused.
  Every check prints PASS or FAIL. Then it uninstalls the service, prints its log and removes the
  users, their profiles, the copies and the directories, whatever happened. Exit code 0 when every
  check passed, 1 when one did not, 2 when the check could not be set up.

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

# Write-Error would stop the script here with exit code 1: these say why and exit with 2.
$principal = New-Object Security.Principal.WindowsPrincipal(
  [Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
  Write-Host 'ERROR Run this as an elevated administrator.'
  exit 2
}
$BuildDir = (Resolve-Path -LiteralPath $BuildDir).Path
foreach ($name in 'corvid_helper_service.exe', 'corvidctl.exe', 'corvid_fake_core.exe') {
  if (-not (Test-Path -LiteralPath (Join-Path $BuildDir $name) -PathType Leaf)) {
    Write-Host "ERROR $name is not in $BuildDir"
    exit 2
  }
}
# The canonical spelling the core must be told: a full path on a drive letter, backslashes only.
$InstallDir = [IO.Path]::GetFullPath(
  $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($InstallDir)).TrimEnd('\')
if ($InstallDir -notmatch '^[A-Za-z]:\\[^/]+$') {
  Write-Host "ERROR $InstallDir is not a directory on a drive letter."
  exit 2
}
foreach ($dir in $InstallDir, (Join-Path $env:ProgramFiles 'CorvidCheckLink')) {
  if (Test-Path -LiteralPath $dir) {
    Write-Host "ERROR $dir exists already; the check installs into a directory of its own."
    exit 2
  }
}
# Cleaning up removes whatever service of this name is registered: it must be the check's own.
if (Get-Service -Name 'corvid-helper' -ErrorAction SilentlyContinue) {
  Write-Host 'ERROR The service corvid-helper is installed already; the check installs its own.'
  exit 2
}

$service = Join-Path $InstallDir 'corvid_helper_service.exe'
$ctl = Join-Path $InstallDir 'corvidctl.exe'
$core = Join-Path $InstallDir 'clash-rs.exe'
$userName = 'corvidchk' + (Get-Random -Minimum 10000 -Maximum 99999)
$otherUserName = $userName + 'b'
# The user's working directory: outside every profile, so the user can reach it.
$work = Join-Path ($env:SystemDrive + '\') ("corvid-check-" + [guid]::NewGuid().ToString('N'))
$failures = 0
$installed = $false
$createdUsers = @()
# The second install, below a junction.
$linkDir = Join-Path $env:ProgramFiles 'CorvidCheckLink'
$linkTarget = Join-Path ($env:SystemDrive + '\') ("corvid-check-link-" + [guid]::NewGuid().ToString('N'))
$linkInstall = Join-Path $linkDir 'app'
$linkService = Join-Path $linkInstall 'corvid_helper_service.exe'
$linkInstalled = $false
# A copy in this administrator's own profile, which `install` must refuse.
$localPrograms = Join-Path $env:LOCALAPPDATA 'Programs'
$localProgramsMade = $false
$localCopy = Join-Path $localPrograms ('CorvidCheck-' + [guid]::NewGuid().ToString('N'))
# What the stand-in core records of each run, beside it.
$runs = Join-Path $InstallDir 'fake-core-runs.log'

$serviceName = 'corvid-helper'
$pipeName = '\\.\pipe\corvid-helper'

# The Win32 calls the checks need. C# 5, for Windows PowerShell 5.1's compiler.
$nativeSource = @'
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

public static class CorvidCheckNative {
  [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern IntPtr CreateNamedPipeW(string name, uint openMode, uint pipeMode,
    uint maxInstances, uint outSize, uint inSize, uint timeout, IntPtr attributes);
  [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern IntPtr CreateFileW(string name, uint access, uint share, IntPtr attributes,
    uint disposition, uint flags, IntPtr template);
  [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern bool WaitNamedPipeW(string name, uint timeout);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool CloseHandle(IntPtr handle);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool GetNamedPipeServerProcessId(IntPtr pipe, out uint processId);
  [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern bool CreateProcessW(string application, StringBuilder commandLine,
    IntPtr processAttributes, IntPtr threadAttributes, bool inheritHandles, uint flags,
    IntPtr environment, string directory, ref StartupInfo startup, out ProcessInformation process);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern uint WaitForSingleObject(IntPtr handle, uint milliseconds);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool GetExitCodeProcess(IntPtr process, out uint code);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool TerminateProcess(IntPtr process, uint code);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool WriteFile(IntPtr file, byte[] buffer, uint size, out uint done,
    IntPtr overlapped);
  [DllImport("kernel32.dll", SetLastError = true)]
  static extern bool ReadFile(IntPtr file, byte[] buffer, uint size, out uint done,
    IntPtr overlapped);
  [DllImport("kernel32.dll")]
  static extern IntPtr LocalFree(IntPtr memory);
  [DllImport("advapi32.dll")]
  static extern uint GetSecurityInfo(IntPtr handle, int objectType, uint information,
    out IntPtr owner, out IntPtr group, out IntPtr dacl, out IntPtr sacl, out IntPtr descriptor);
  [DllImport("advapi32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern bool ConvertSidToStringSidW(IntPtr sid, out IntPtr text);
  [DllImport("advapi32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern IntPtr OpenSCManagerW(string machine, string database, uint access);
  [DllImport("advapi32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern IntPtr OpenServiceW(IntPtr manager, string name, uint access);
  [DllImport("advapi32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern bool QueryServiceConfig2W(IntPtr service, uint level, IntPtr buffer, uint size,
    out uint needed);
  [DllImport("advapi32.dll", SetLastError = true)]
  static extern bool CloseServiceHandle(IntPtr handle);

  // Public, so that fields filled only by the marshaller draw no compiler warning.
  [StructLayout(LayoutKind.Sequential)]
  public struct FailureActions {
    public uint ResetPeriod;
    public IntPtr RebootMessage;
    public IntPtr Command;
    public uint ActionCount;
    public IntPtr Actions;
  }
  [StructLayout(LayoutKind.Sequential)]
  public struct ScAction {
    public int Type;
    public uint Delay;
  }
  [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
  public struct StartupInfo {
    public int Size;
    public string Reserved;
    public string Desktop;
    public string Title;
    public int X, Y, XSize, YSize, XCountChars, YCountChars, FillAttribute;
    public int Flags;
    public short ShowWindow;
    public short Reserved2Size;
    public IntPtr Reserved2;
    public IntPtr StdInput;
    public IntPtr StdOutput;
    public IntPtr StdError;
  }
  [StructLayout(LayoutKind.Sequential)]
  public struct ProcessInformation {
    public IntPtr Process;
    public IntPtr Thread;
    public int ProcessId;
    public int ThreadId;
  }
  [StructLayout(LayoutKind.Sequential)]
  public struct SecurityAttributes {
    public int Length;
    public IntPtr Descriptor;
    public int InheritHandle;
  }

  static readonly IntPtr Invalid = new IntPtr(-1);
  const uint ReadControl = 0x20000;
  const int KernelObject = 6;          // SE_KERNEL_OBJECT
  const uint OwnerInformation = 1;     // OWNER_SECURITY_INFORMATION

  // Adds an instance to the pipe with the server's own parameters but `maxInstances`, and closes
  // it again at once: 0 when that worked, else the error.
  public static int CreateInstance(string name, uint maxInstances) {
    // PIPE_ACCESS_DUPLEX; PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
    // PIPE_REJECT_REMOTE_CLIENTS; 64 KiB each way; the default time-out.
    IntPtr pipe = CreateNamedPipeW(name, 3, 0xE, maxInstances, 65536, 65536, 0, IntPtr.Zero);
    if (pipe == Invalid) return Marshal.GetLastWin32Error();
    CloseHandle(pipe);
    return 0;
  }

  // Opens the pipe as a client asking for `access`, waiting while every instance is busy:
  // 0 or the error.
  static int Open(string name, uint access, out IntPtr pipe) {
    for (int attempt = 0; ; attempt++) {
      pipe = CreateFileW(name, access, 0, IntPtr.Zero, 3 /* OPEN_EXISTING */, 0, IntPtr.Zero);
      if (pipe != Invalid) return 0;
      int error = Marshal.GetLastWin32Error();
      if (error != 231 /* ERROR_PIPE_BUSY */ || attempt >= 30) return error;
      WaitNamedPipeW(name, 1000);
    }
  }

  public static int OpenAndClose(string name, uint access) {
    IntPtr pipe;
    int error = Open(name, access, out pipe);
    if (error == 0) CloseHandle(pipe);
    return error;
  }

  // Opens the pipe for GENERIC_READ | GENERIC_WRITE, as most clients do, and pings through that
  // handle: the response line, or "error N".
  public static string PingReadWrite(string name) {
    return Ping(name, "rw");
  }

  // `count` pings back to back, each on a connection of its own: how many were answered, how
  // many opens found no instance under the name (ERROR_FILE_NOT_FOUND), and the first other
  // failure.
  public static string PingBurst(string name, int count) {
    string expected = "{\"id\":\"burst\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}";
    int answered = 0, notFound = 0;
    string other = null;
    for (int i = 0; i < count; i++) {
      string response = Ping(name, "burst");
      if (response == expected) answered++;
      else if (response == "open error 2") notFound++;
      else if (other == null) other = response;
    }
    return answered + "/" + count + " answered, " + notFound + " not found" +
      (other == null ? "" : ", first other failure: " + other);
  }

  // The process serving the instance a client connects to, or "error N".
  public static string ServerProcessId(string name) {
    IntPtr pipe;
    int error = Open(name, 0xC0000000, out pipe);
    if (error != 0) return "error " + error;
    try {
      uint server;
      if (!GetNamedPipeServerProcessId(pipe, out server))
        return "error " + Marshal.GetLastWin32Error();
      return server.ToString();
    } finally { CloseHandle(pipe); }
  }

  // One ping with `id` through a GENERIC_READ | GENERIC_WRITE handle: the response line,
  // "open error N" when the pipe did not open, or "error N".
  static string Ping(string name, string id) {
    IntPtr pipe;
    int error = Open(name, 0xC0000000, out pipe);
    if (error != 0) return "open error " + error;
    try {
      byte[] request = Encoding.UTF8.GetBytes("{\"id\":\"" + id + "\",\"action\":\"ping\"}\n");
      uint done;
      if (!WriteFile(pipe, request, (uint)request.Length, out done, IntPtr.Zero))
        return "error " + Marshal.GetLastWin32Error();
      MemoryStream response = new MemoryStream();
      byte[] buffer = new byte[4096];
      for (;;) {
        bool read = ReadFile(pipe, buffer, (uint)buffer.Length, out done, IntPtr.Zero);
        response.Write(buffer, 0, (int)done);
        if (read && (done == 0 || buffer[done - 1] == (byte)'\n')) break;
        if (read) continue;
        error = Marshal.GetLastWin32Error();
        if (error == 234 /* ERROR_MORE_DATA */) continue;
        if (error == 109 /* ERROR_BROKEN_PIPE */) break;
        return "error " + error;
      }
      return Encoding.UTF8.GetString(response.ToArray()).TrimEnd('\n');
    } finally { CloseHandle(pipe); }
  }

  // The pipe owner's SID as text, or "error N".
  public static string PipeOwner(string name) {
    IntPtr pipe;
    int error = Open(name, ReadControl, out pipe);
    if (error != 0) return "error " + error;
    try {
      IntPtr owner, group, dacl, sacl, descriptor;
      uint status = GetSecurityInfo(pipe, KernelObject, OwnerInformation, out owner, out group,
        out dacl, out sacl, out descriptor);
      if (status != 0) return "error " + status;
      try {
        if (owner == IntPtr.Zero) return "no owner";
        IntPtr text;
        if (!ConvertSidToStringSidW(owner, out text))
          return "error " + Marshal.GetLastWin32Error();
        try { return Marshal.PtrToStringUni(text); } finally { LocalFree(text); }
      } finally { LocalFree(descriptor); }
    } finally { CloseHandle(pipe); }
  }

  // A service setting read back with QueryServiceConfig2W and turned into text by `read`
  // while the buffer (which points into itself) lives, or "error N".
  static string QueryConfig(string service, uint level, Func<IntPtr, string> read) {
    IntPtr manager = OpenSCManagerW(null, null, 1 /* SC_MANAGER_CONNECT */);
    if (manager == IntPtr.Zero) return "error " + Marshal.GetLastWin32Error();
    try {
      IntPtr handle = OpenServiceW(manager, service, 1 /* SERVICE_QUERY_CONFIG */);
      if (handle == IntPtr.Zero) return "error " + Marshal.GetLastWin32Error();
      try {
        uint needed;
        QueryServiceConfig2W(handle, level, IntPtr.Zero, 0, out needed);
        if (needed == 0) return "error " + Marshal.GetLastWin32Error();
        IntPtr buffer = Marshal.AllocHGlobal((int)needed);
        try {
          if (!QueryServiceConfig2W(handle, level, buffer, needed, out needed))
            return "error " + Marshal.GetLastWin32Error();
          return read(buffer);
        } finally { Marshal.FreeHGlobal(buffer); }
      } finally { CloseServiceHandle(handle); }
    } finally { CloseServiceHandle(manager); }
  }

  // "reset <seconds>s; <type>/<delay ms>, ..." (type 1 is a restart), or "error N".
  public static string FailureActionsText(string service) {
    return QueryConfig(service, 2 /* SERVICE_CONFIG_FAILURE_ACTIONS */, delegate(IntPtr buffer) {
      FailureActions actions =
        (FailureActions)Marshal.PtrToStructure(buffer, typeof(FailureActions));
      string text = "reset " + actions.ResetPeriod + "s;";
      int size = Marshal.SizeOf(typeof(ScAction));
      for (int i = 0; i < actions.ActionCount; i++) {
        ScAction action = (ScAction)Marshal.PtrToStructure(
          new IntPtr(actions.Actions.ToInt64() + i * size), typeof(ScAction));
        text += (i == 0 ? " " : ", ") + action.Type + "/" + action.Delay;
      }
      return text;
    });
  }

  // Runs `program` as spelled, both as the module to run and first on its command line, with
  // `arguments`, its standard output and error going to the file `output`: "exit N", "error N"
  // when it could not be started, or "timed out" (it is then ended).
  public static string RunSpelled(string program, string arguments, string output) {
    SecurityAttributes inheritable = new SecurityAttributes();
    inheritable.Length = Marshal.SizeOf(typeof(SecurityAttributes));
    inheritable.InheritHandle = 1;
    IntPtr attributes = Marshal.AllocHGlobal(inheritable.Length);
    try {
      Marshal.StructureToPtr(inheritable, attributes, false);
      // GENERIC_WRITE, shared for reading and writing, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL.
      IntPtr file = CreateFileW(output, 0x40000000, 3, attributes, 2, 0x80, IntPtr.Zero);
      if (file == Invalid) return "error " + Marshal.GetLastWin32Error();
      try {
        StartupInfo startup = new StartupInfo();
        startup.Size = Marshal.SizeOf(typeof(StartupInfo));
        startup.Flags = 0x100;  // STARTF_USESTDHANDLES
        startup.StdOutput = file;
        startup.StdError = file;
        StringBuilder commandLine = new StringBuilder("\"" + program + "\" " + arguments);
        ProcessInformation process;
        if (!CreateProcessW(program, commandLine, IntPtr.Zero, IntPtr.Zero, true, 0, IntPtr.Zero,
            null, ref startup, out process))
          return "error " + Marshal.GetLastWin32Error();
        CloseHandle(process.Thread);
        try {
          // `uninstall` waits at most 30 s for the service to end.
          if (WaitForSingleObject(process.Process, 120000) != 0) {
            TerminateProcess(process.Process, 1);
            return "timed out";
          }
          uint code;
          if (!GetExitCodeProcess(process.Process, out code))
            return "error " + Marshal.GetLastWin32Error();
          return "exit " + code;
        } finally { CloseHandle(process.Process); }
      } finally { CloseHandle(file); }
    } finally { Marshal.FreeHGlobal(attributes); }
  }

  // Whether a stop with an error code counts as a failure too: "1", "0", or "error N".
  public static string FailureActionsFlagText(string service) {
    return QueryConfig(service, 4 /* SERVICE_CONFIG_FAILURE_ACTIONS_FLAG */,
      delegate(IntPtr buffer) { return Marshal.ReadInt32(buffer).ToString(); });
  }
}
'@

# What the standard user runs to try the pipe: one "name=value" line per check.
$probeSource = @'
param([string]$PipeName)
$ErrorActionPreference = 'Stop'
# Add-Type compiles into the temporary directory: this one is the user's to write.
$env:TEMP = $PSScriptRoot
$env:TMP = $PSScriptRoot
Add-Type -Path (Join-Path $PSScriptRoot 'CorvidCheckNative.cs') -IgnoreWarnings
foreach ($max in 1, 4, 255) {
  "create_instance_$max=" + [CorvidCheckNative]::CreateInstance($PipeName, $max)
}
'ping_read_write=' + [CorvidCheckNative]::PingReadWrite($PipeName)
'open_write_dac=' + [CorvidCheckNative]::OpenAndClose($PipeName, 0x40000)
'owner=' + [CorvidCheckNative]::PipeOwner($PipeName)
'server_pid=' + [CorvidCheckNative]::ServerProcessId($PipeName)
'ping_burst=' + [CorvidCheckNative]::PingBurst($PipeName, 50)
'@

# A random password that meets the default complexity rules.
function New-Password {
  $bytes = New-Object byte[] 18
  [Security.Cryptography.RandomNumberGenerator]::Create().GetBytes($bytes)
  return [Convert]::ToBase64String($bytes) + 'a1!B'
}

# Runs corvidctl with the given arguments as $credential; output and exit code captured.
function Invoke-AsUser([Management.Automation.PSCredential]$credential, [string[]]$arguments) {
  return Invoke-ProgramAsUser $credential $ctl $arguments
}

# Runs a program with the given arguments as $credential; output and exit code captured.
function Invoke-ProgramAsUser([Management.Automation.PSCredential]$credential, [string]$program,
                              [string[]]$arguments) {
  $out = Join-Path $work ([guid]::NewGuid().ToString('N') + '.out')
  $err = Join-Path $work ([guid]::NewGuid().ToString('N') + '.err')
  # Start-Process joins the arguments with blanks: quote each one the Windows way.
  $quoted = foreach ($a in $arguments) {
    if ($a -eq '' -or $a -match '[\s"]') {
      '"' + ($a -replace '(\\*)"', '$1$1\"' -replace '(\\+)$', '$1$1') + '"'
    } else { $a }
  }
  $process = Start-Process -FilePath $program -ArgumentList $quoted -Credential $credential `
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
    Write-Host "PASS  $name"
    return
  }
  $script:failures++
  Write-Host "FAIL  $name"
  Write-Host "      expected exit $exitCode, $line"
  Write-Host "      got      exit $($result.ExitCode), $($result.Out)"
  if ($result.Err) { Write-Host "      stderr: $($result.Err)" }
}

# Prints PASS or FAIL for one check, with what was expected and what came when it failed.
function Report-Check([string]$name, [bool]$passed, [string]$expected, [string]$got) {
  if ($passed) {
    Write-Host "PASS  $name"
    return
  }
  $script:failures++
  Write-Host "FAIL  $name"
  Write-Host "      expected $expected"
  Write-Host "      got      $got"
}

# One check of a value against the expected one.
function Check-Value([string]$name, [string]$got, [string]$expected) {
  Report-Check $name ($got -ceq $expected) $expected $got
}

# One check of a value against a pattern (case-sensitive), for texts with a part Windows decides.
function Check-Match([string]$name, [string]$got, [string]$pattern) {
  Report-Check $name ($got -cmatch $pattern) "a match of $pattern" $got
}

# A file's text as UTF-8, read while the helper or the core may hold it open for writing; empty
# when there is no such file.
function Read-SharedText([string]$path) {
  if (-not (Test-Path -LiteralPath $path -PathType Leaf)) { return '' }
  $stream = [IO.File]::Open($path, 'Open', 'Read', 'ReadWrite, Delete')
  try {
    $reader = New-Object IO.StreamReader($stream, (New-Object Text.UTF8Encoding($false)))
    return $reader.ReadToEnd()
  }
  finally { $stream.Dispose() }
}

# The whole lines of a file that is appended to: what follows the last line feed may still be
# being written.
function Read-Lines([string]$path) {
  $parts = (Read-SharedText $path) -split "`n"
  if ($parts.Count -le 1) { return @() }
  return $parts[0..($parts.Count - 2)]
}

function Test-ServiceRegistered {
  return [string][bool](Get-Service -Name $serviceName -ErrorAction SilentlyContinue)
}

# Uninstalls whatever service of the check's name is registered, and waits until the Service
# Control Manager has let go of it, so that the next install does not meet it.
function Remove-CheckService {
  if ((Test-ServiceRegistered) -eq 'False') { return }
  $helper = $service
  if (-not (Test-Path -LiteralPath $helper -PathType Leaf)) { $helper = $linkService }
  if (Test-Path -LiteralPath $helper -PathType Leaf) {
    & $helper uninstall
    if ($LASTEXITCODE -ne 0) { Write-Host "uninstall failed with exit code $LASTEXITCODE" }
  } else {
    & sc.exe stop $serviceName | Out-Null
    & sc.exe delete $serviceName | Out-Null
  }
  for ($i = 0; $i -lt 30 -and (Test-ServiceRegistered) -eq 'True'; $i++) { Start-Sleep -Seconds 1 }
}

# Runs the helper's `verb` through `program`, a spelling of its path, exactly as spelled, as this
# administrator: how it ended ("exit N", or why it did not run) and what it printed.
function Invoke-Spelled([string]$program, [string]$verb) {
  $out = Join-Path $work ([guid]::NewGuid().ToString('N') + '.out')
  $ran = [CorvidCheckNative]::RunSpelled($program, $verb, $out)
  $text = (Read-SharedText $out) -replace "`r`n", "`n"
  return New-Object PSObject -Property @{ Ran = $ran; Out = $text.TrimEnd() }
}

# `install` through `program` must be refused for `dir`, with a cause matching `why` for it, and
# leave no service registered. helper_service/host/run_modes.cpp prints the error this way.
function Check-InstallRefused([string]$name, [string]$program, [string]$dir, [string]$why) {
  $result = Invoke-Spelled $program 'install'
  Write-Host "      install $name`: $($result.Ran)"
  $result.Out -split "`n" | ForEach-Object { Write-Host "        $_" }
  Check-Value "install $name ends with exit code 1" $result.Ran 'exit 1'
  $shown = [regex]::Escape($dir)
  Check-Match "install $name is refused for its directory, with the reason" $result.Out `
    "^Error: install directory is writable by non-administrators: $shown\n\nCaused by:\n    ${shown}: ($why)`$"
  Check-Value "install $name leaves no service registered" (Test-ServiceRegistered) 'False'
  Remove-CheckService
}

# The arguments the core was started with after its program, on the first run the stand-in
# recorded after line $before of its record, against the canonical paths of the install
# directory.
function Check-CoreArguments([string]$name, [int]$before) {
  $run = $null
  for ($i = 0; $i -lt 30 -and -not $run; $i++) {
    $lines = @(Read-Lines $runs)
    if ($lines.Count -gt $before) { $run = $lines[$before] | ConvertFrom-Json }
    else { Start-Sleep -Seconds 1 }
  }
  $got = 'no run recorded'
  if ($run) {
    Write-Host "      the core ran as $($run.command_line), in $($run.cwd)"
    $got = (@($run.argv) | Select-Object -Skip 1) -join ' | '
  }
  Check-Value $name $got (@('-d', $InstallDir, '-c', "$InstallDir\config.json", '-l',
    "$InstallDir\log\clash.log") -join ' | ')
}

function Get-Sha256([string]$path) {
  return (Get-FileHash -LiteralPath $path -Algorithm SHA256).Hash
}

# A temporary standard user, member of Users alone, allowed to write the working directory.
function New-CheckUser([string]$name) {
  $secure = ConvertTo-SecureString (New-Password) -AsPlainText -Force
  New-LocalUser -Name $name -Password $secure -AccountNeverExpires `
    -Description 'Temporary user of check-standard-user.ps1' | Out-Null
  $script:createdUsers += $name
  # Users (S-1-5-32-545), named by SID because the group's name depends on the language.
  Add-LocalGroupMember -SID 'S-1-5-32-545' -Member $name -ErrorAction SilentlyContinue
  $acl = Get-Acl -LiteralPath $work
  $acl.AddAccessRule((New-Object Security.AccessControl.FileSystemAccessRule(
        $name, 'Modify', 'ContainerInherit,ObjectInherit', 'None', 'Allow')))
  Set-Acl -LiteralPath $work -AclObject $acl
  return New-Object Management.Automation.PSCredential(".\$name", $secure)
}

# Waits until the installed helper answers a ping from the administrator.
function Wait-Helper([string]$client) {
  for ($i = 0; $i -lt 30; $i++) {
    & $client ping | Out-Null
    if ($LASTEXITCODE -eq 0) { return }
    Start-Sleep -Seconds 1
  }
  throw 'the helper does not answer a ping'
}

# What the helper logged in $dir, the rotated file first, for whoever reads the job's output.
function Show-HelperLog([string]$dir) {
  foreach ($name in 'corvid-helper.log.1', 'corvid-helper.log') {
    $path = Join-Path $dir $name
    if (Test-Path -LiteralPath $path -PathType Leaf) {
      Write-Host "----- $path"
      Get-Content -LiteralPath $path | ForEach-Object { Write-Host $_ }
    }
  }
}

# An access list only LocalSystem and Administrators may change, read and run for Users, nothing
# inherited: what an installer under Program Files gets.
function Protect-Directory([string]$path) {
  & icacls $path /setowner '*S-1-5-32-544' /q | Out-Null
  & icacls $path /inheritance:r /grant:r '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-544:(OI)(CI)F' `
    '*S-1-5-32-545:(OI)(CI)RX' /q | Out-Null
  if ($LASTEXITCODE -ne 0) { throw "icacls $path failed with exit code $LASTEXITCODE" }
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

  # The users' temporary files land in $work: each may write it.
  $credential = New-CheckUser $userName
  $otherCredential = New-CheckUser $otherUserName

  # The service creates its pipe once it runs; wait for it as the administrator first.
  Wait-Helper $ctl
  $ping = Invoke-AsUser $credential @('ping', '--id', 'chk')
  Check 'the standard user reaches the pipe' $ping 0 '{"id":"chk","ok":true,"error":null,"data":{"pong":true}}'

  # After a failure the SCM restarts the service 1 s, 5 s and 60 s later (type 1: a restart),
  # counting afresh after a day, and a stop with an error code counts as a failure.
  # Windows PowerShell turns compiler warnings into errors; none of them would matter here.
  Add-Type -TypeDefinition $nativeSource -IgnoreWarnings
  Check-Value 'the failure actions are restarts after 1 s, 5 s and 60 s, reset after a day' `
    ([CorvidCheckNative]::FailureActionsText($serviceName)) 'reset 86400s; 1/1000, 1/5000, 1/60000'
  Check-Value 'a stop with an error code counts as a failure' `
    ([CorvidCheckNative]::FailureActionsFlagText($serviceName)) '1'

  # The pipe as the standard user finds it while the service serves it: no instance of the
  # user's own under its name, no way to its access list, the service as its owner and its
  # server, and an instance ready for every connection.
  $nativeFile = Join-Path $work 'CorvidCheckNative.cs'
  $probe = Join-Path $work 'pipe-probe.ps1'
  Set-Content -LiteralPath $nativeFile -Value $nativeSource -Encoding UTF8
  Set-Content -LiteralPath $probe -Value $probeSource -Encoding UTF8
  $powershell = Join-Path $env:SystemRoot 'System32\WindowsPowerShell\v1.0\powershell.exe'
  $probed = Invoke-ProgramAsUser $credential $powershell @('-NoProfile', '-NonInteractive',
    '-ExecutionPolicy', 'Bypass', '-File', $probe, '-PipeName', $pipeName)
  $seen = @{}
  foreach ($line in ($probed.Out -split "`r?`n")) {
    if ($line -match '^([a-z0-9_]+)=(.*)$') { $seen[$Matches[1]] = $Matches[2] }
  }
  if ($probed.ExitCode -ne 0 -or $seen.Count -ne 8) {
    Write-Host "      the probe: exit $($probed.ExitCode), $($probed.Out) $($probed.Err)"
  }
  # The service holds all four instances the pipe allows (its first made with
  # FILE_FLAG_FIRST_PIPE_INSTANCE) and never closes one, so whatever count a creation asks for,
  # even an administrator's is refused with ERROR_PIPE_BUSY (231); the user's may be refused by
  # the access list (5, ERROR_ACCESS_DENIED) first, should it ever withhold
  # FILE_CREATE_PIPE_INSTANCE again.
  foreach ($max in 1, 4, 255) {
    Check-Value "an administrator cannot add an instance of the pipe (nMaxInstances $max)" `
      ([string][CorvidCheckNative]::CreateInstance($pipeName, $max)) '231'
    Check-Match "the standard user cannot add an instance of the pipe (nMaxInstances $max)" `
      ([string]$seen["create_instance_$max"]) '^(231|5)$'
  }
  # What the administrator may do shows that the probe asks for the right thing: what the user
  # is refused, the access list refuses.
  Check-Value 'an administrator can open the pipe for WRITE_DAC' `
    ([string][CorvidCheckNative]::OpenAndClose($pipeName, 0x40000)) '0'
  Check-Value 'the standard user opens the pipe for GENERIC_READ | GENERIC_WRITE and pings' `
    ([string]$seen['ping_read_write']) '{"id":"rw","ok":true,"error":null,"data":{"pong":true}}'
  Check-Value 'the standard user cannot open the pipe for WRITE_DAC' `
    ([string]$seen['open_write_dac']) '5'
  Check-Value 'the pipe is owned by LocalSystem' ([string]$seen['owner']) 'S-1-5-18'
  $servicePid = [string](Get-CimInstance -ClassName Win32_Service -Filter "Name = '$serviceName'").ProcessId
  Check-Value "the standard user's client finds the service's process ($servicePid) serving the pipe" `
    ([string]$seen['server_pid']) $servicePid
  # Each worker disconnects its client and listens again without closing its instance, so a
  # client never finds the name without one (ERROR_FILE_NOT_FOUND, 2).
  Check-Value 'fifty pings back to back from the standard user: every one answered, no open finds no instance' `
    ([string]$seen['ping_burst']) '50/50 answered, 0 not found'

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
  } else {
    Write-Host "PASS  $system32Log was not created"
  }

  # The app's compiled code beside the core, which the next user of the app would run: no start
  # may write over it, whatever its name.
  $appCode = Join-Path $InstallDir 'data\app.so'
  New-Item -ItemType Directory -Path (Join-Path $InstallDir 'data') -Force | Out-Null
  [IO.File]::WriteAllBytes($appCode, [byte[]](0..255))
  $appHash = Get-Sha256 $appCode
  $result = Invoke-AsUser $credential @('start', '--id', 'chk', '--config-path', $appCode,
    '--config', 'overwritten')
  Check 'a configuration written over the app''s code' $result 1 (Refused "config path not allowed: $appCode")
  Check-Value 'the app''s code is unchanged' (Get-Sha256 $appCode) $appHash

  # An entry an installer may leave: Users get full control of whatever is created in the
  # directory later, not of the directory itself. The service creates things there for a start,
  # so while it is there no standard user's start may go on, not even the plainest.
  $users = New-Object Security.Principal.SecurityIdentifier('S-1-5-32-545')
  $inheritable = New-Object Security.AccessControl.FileSystemAccessRule($users, 'FullControl',
    'ContainerInherit', 'InheritOnly', 'Allow')
  $acl = Get-Acl -LiteralPath $InstallDir
  $acl.AddAccessRule($inheritable)
  Set-Acl -LiteralPath $InstallDir -AclObject $acl
  try {
    Check-Value 'the install directory carries (A;CIIO;FA;;;BU)' `
      ([string]((Get-Acl -LiteralPath $InstallDir).Sddl -clike '*(A;CIIO;FA;;;BU)*')) 'True'
    $writable = "install directory is writable by non-administrators: $InstallDir"
    $starts = @(
      @{ Name = 'a plain start'; Args = @('--config', 'run') },
      @{ Name = 'a start without a configuration'; Args = @() },
      @{ Name = 'a start naming every default'
         Args = @('--work-dir', $InstallDir, '--core-path', $core,
                  '--config-path', (Join-Path $InstallDir 'config.json'),
                  '--log-path', (Join-Path $InstallDir 'log\clash.log'), '--config', 'run') }
    )
    foreach ($r in $starts) {
      $result = Invoke-AsUser $credential (@('start', '--id', 'chk') + $r.Args)
      Check "$($r.Name) while Users may write what is created" $result 1 (Refused $writable)
    }
    $status = Invoke-AsUser $credential @('status', '--id', 'chk')
    Check 'no core runs after those starts' $status 0 '{"id":"chk","ok":true,"error":null,"data":{"pid":null,"running":false}}'
  }
  finally {
    $acl = Get-Acl -LiteralPath $InstallDir
    $acl.RemoveAccessRuleSpecific($inheritable)
    Set-Acl -LiteralPath $InstallDir -AclObject $acl
  }
  Check-Value 'the entry is removed again' `
    ([string]((Get-Acl -LiteralPath $InstallDir).Sddl -clike '*(A;CIIO;FA;;;BU)*')) 'False'

  # A file beside the core that Users may modify (the core loads DLLs from its directory): every
  # entry of the install directory is judged, so no standard user's start goes on while it is
  # there. The judgement's cause goes to the log: Modify less what the judgement leaves alone.
  $wintun = Join-Path $InstallDir 'wintun.dll'
  $helperLog = Join-Path $InstallDir 'corvid-helper.log'
  [IO.File]::WriteAllBytes($wintun, [byte[]](1..64))
  & icacls $wintun /grant '*S-1-5-32-545:(M)' /q | Out-Null
  if ($LASTEXITCODE -ne 0) { throw "icacls $wintun failed with exit code $LASTEXITCODE" }
  Check-Value 'wintun.dll carries (A;;0x1301bf;;;BU)' `
    ([string]((Get-Acl -LiteralPath $wintun).Sddl -clike '*(A;;0x1301bf;;;BU)*')) 'True'
  $result = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run')
  Check 'a start while Users may modify wintun.dll' $result 1 `
    (Refused "install directory is writable by non-administrators: $InstallDir")
  $cause = "    $wintun`: allows S-1-5-32-545 0x00010116"
  $logged = @((Read-SharedText $helperLog) -split "`n" | Where-Object { $_ -ceq $cause })
  Check-Value 'the helper log names wintun.dll and what Users may do to it' ([string]$logged.Count) '1'
  $status = Invoke-AsUser $credential @('status', '--id', 'chk')
  Check 'no core runs after that start' $status 0 '{"id":"chk","ok":true,"error":null,"data":{"pid":null,"running":false}}'
  Remove-Item -LiteralPath $wintun -Force
  $result = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run')
  Check 'the same start once wintun.dll is gone' $result 0 '{"id":"chk","ok":true,"error":null,"data":null}'
  $stop = Invoke-AsUser $credential @('stop', '--id', 'chk')
  Check 'stop' $stop 0 '{"id":"chk","ok":true,"error":null,"data":null}'

  # A path holding a CSI (U+009B), which rewrites a console line, and a right-to-left override
  # (U+202E), which reorders what a reader sees: refused as any other path, and shown escaped in
  # the answer and the log (helper_service/common/shown_text.cpp), never raw.
  $oddPath = "$InstallDir\a" + [char]0x9B + 'b' + [char]0x202E + 'c.json'
  $oddShown = "$InstallDir\a\u009bb\u202ec.json"
  $result = Invoke-AsUser $credential @('start', '--id', 'chk', '--config-path', $oddPath,
    '--config', 'run')
  Check 'a configuration path holding U+009B and U+202E' $result 1 (Refused "config path not allowed: $oddShown")
  $logText = Read-SharedText $helperLog
  $logged = @($logText -split "`n" | Where-Object {
      $_.EndsWith("] start failed: config path not allowed: $oddShown", [StringComparison]::Ordinal) })
  foreach ($line in $logged) { Write-Host "      $line" }
  Check-Value 'the helper log shows that path with U+009B and U+202E escaped' ([string]$logged.Count) '1'
  Check-Value 'the helper log holds no raw U+009B or U+202E' `
    ([string]($logText.IndexOf([char]0x9B) -ge 0 -or $logText.IndexOf([char]0x202E) -ge 0)) 'False'
  Check-Value 'nothing was written at that path' ([string](Test-Path -LiteralPath $oddPath)) 'False'
  $status = Invoke-AsUser $credential @('status', '--id', 'chk')
  Check 'no core runs after that start' $status 0 '{"id":"chk","ok":true,"error":null,"data":{"pid":null,"running":false}}'

  # The stand-in core runs until it is ended when its configuration says "run". It is told the
  # defaults as the service spells them: here, the install directory as it was given.
  $before = @(Read-Lines $runs).Count
  $start = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run')
  Check 'a plain start of the installed core' $start 0 '{"id":"chk","ok":true,"error":null,"data":null}'
  Check-CoreArguments 'the core is told the canonical paths' $before
  Start-Sleep -Seconds 2
  $status = Invoke-AsUser $credential @('status', '--id', 'chk')
  if ($status.ExitCode -eq 0 -and $status.Out -match '"running":true') {
    Write-Host 'PASS  the core runs'
  } else {
    $failures++
    Write-Host "FAIL  the core does not run: $($status.Out)"
  }
  # The configuration a standard user's start wrote can hold proxy credentials: only LocalSystem
  # and Administrators may read it, and nothing is inherited.
  $config = Join-Path $InstallDir 'config.json'
  $configAcl = Get-Acl -LiteralPath $config
  $readers = @($configAcl.Access | ForEach-Object { $_.IdentityReference.Translate(
    [Security.Principal.SecurityIdentifier]).Value } | Sort-Object -Unique) -join ','
  Check-Value 'config.json is for LocalSystem and Administrators only' $readers 'S-1-5-18,S-1-5-32-544'
  Check-Value 'config.json inherits nothing' ([string]$configAcl.AreAccessRulesProtected) 'True'
  $read = Invoke-ProgramAsUser $credential "$env:SystemRoot\System32\cmd.exe" @('/c', 'type', $config)
  Check-Value 'the standard user cannot read config.json' ([string]($read.ExitCode -ne 0)) 'True'

  # A handle opened before a start keeps what it was opened on: the next configuration is a file
  # of its own, which no handle opened earlier (under any access list) can read.
  $held = [IO.File]::Open($config, 'Open', 'Read', 'ReadWrite, Delete')
  try {
    $restart = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', "run`n# the second")
    Check 'a second start' $restart 0 '{"id":"chk","ok":true,"error":null,"data":null}'
    $oldBytes = New-Object IO.StreamReader($held)
    Check-Value 'a handle opened on config.json before a start reads only the old bytes' `
      $oldBytes.ReadToEnd() 'run'
  }
  finally { $held.Dispose() }
  Check-Value 'config.json holds the second configuration' `
    ([IO.File]::ReadAllText($config)) "run`n# the second"

  # The core is the first user's: another standard user may not end it.
  $foreign = Invoke-AsUser $otherCredential @('stop', '--id', 'chk')
  Check 'a second standard user''s stop' $foreign 1 (Refused 'core is in use by another user')
  $stop = Invoke-AsUser $credential @('stop', '--id', 'chk')
  Check 'stop' $stop 0 '{"id":"chk","ok":true,"error":null,"data":null}'

  # The defaults spelled as a verbatim path and with forward slashes: the comparison of a start's
  # paths reads both as the defaults, and the core, which reads a path its own way, is told the
  # defaults as the service spells them, whatever spelling passed.
  $spellings = @(
    @{ Name = 'a \\?\ spelling'; Dir = '\\?\' + $InstallDir; Sep = '\' },
    @{ Name = 'forward slashes'; Dir = ($InstallDir -replace '\\', '/'); Sep = '/' })
  foreach ($spelling in $spellings) {
    $dir = $spelling.Dir
    $sep = $spelling.Sep
    $before = @(Read-Lines $runs).Count
    $start = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run',
      '--work-dir', $dir, '--core-path', "$dir${sep}clash-rs.exe",
      '--config-path', "$dir${sep}config.json", '--log-path', "$dir${sep}log${sep}clash.log")
    Check "a start with the defaults in $($spelling.Name)" $start 0 '{"id":"chk","ok":true,"error":null,"data":null}'
    if ($start.ExitCode -eq 0) {
      Check-CoreArguments "the core is told the canonical paths, the start's in $($spelling.Name)" $before
    }
    $stop = Invoke-AsUser $credential @('stop', '--id', 'chk')
    Check 'stop' $stop 0 '{"id":"chk","ok":true,"error":null,"data":null}'
  }

  # A core that Windows compresses (WOF) is a reparse point that stays where it is named: the
  # judgement lets it pass. Compressed once no core runs from it (the image of the one just
  # ended may still be mapped for a moment).
  $tag = ''
  for ($i = 0; $i -lt 10 -and $tag -notmatch '0x80000017'; $i++) {
    if ($i -gt 0) { Start-Sleep -Seconds 1 }
    & compact.exe /c /exe:lzx $core | Out-Null
    $tag = & fsutil.exe reparsepoint query $core | Out-String
  }
  Check-Value 'compact /c /exe:lzx makes clash-rs.exe a WOF reparse point (tag 0x80000017)' `
    ([string]($tag -match '0x80000017')) 'True'
  $start = Invoke-AsUser $credential @('start', '--id', 'chk', '--config', 'run')
  Check 'a plain start of the compressed core' $start 0 '{"id":"chk","ok":true,"error":null,"data":null}'
  $stop = Invoke-AsUser $credential @('stop', '--id', 'chk')
  Check 'stop' $stop 0 '{"id":"chk","ok":true,"error":null,"data":null}'

  & $service uninstall
  if ($LASTEXITCODE -ne 0) { throw "uninstall failed with exit code $LASTEXITCODE" }
  $installed = $false
  for ($i = 0; $i -lt 30 -and (Test-ServiceRegistered) -eq 'True'; $i++) { Start-Sleep -Seconds 1 }

  # `install` trusts LocalSystem, Administrators and TrustedInstaller alone, not the
  # administrator who runs it: a folder of their own is open to every unelevated process they
  # run. The folder itself is judged first; it inherits this account's full control from the
  # profile (and may be owned by it).
  if (-not (Test-Path -LiteralPath $localPrograms)) {
    New-Item -ItemType Directory -Path $localPrograms | Out-Null
    $localProgramsMade = $true
  }
  New-Item -ItemType Directory -Path $localCopy | Out-Null
  foreach ($name in 'corvid_helper_service.exe', 'corvidctl.exe') {
    Copy-Item -LiteralPath (Join-Path $BuildDir $name) -Destination (Join-Path $localCopy $name)
  }
  Copy-Item -LiteralPath (Join-Path $BuildDir 'corvid_fake_core.exe') `
    -Destination (Join-Path $localCopy 'clash-rs.exe')
  $me = [regex]::Escape([Security.Principal.WindowsIdentity]::GetCurrent().User.Value)
  Check-InstallRefused 'from %LOCALAPPDATA%\Programs' "$localCopy\corvid_helper_service.exe" `
    $localCopy "owned by $me|allows $me 0x[0-9a-f]{8}"

  # The admin-only install directory reached through a share: its "Administrators" would be the
  # server's. Refused by the path's form before anything is read.
  $uncDir = '\\localhost\' + $InstallDir.Substring(0, 1) + '$' + $InstallDir.Substring(2)
  Check-InstallRefused 'through \\localhost\C$' "$uncDir\corvid_helper_service.exe" $uncDir `
    'is on a network share'

  # The same install reached through a junction under Program Files that leads to an admin-only
  # folder elsewhere: every descriptor on the way is admin-only, and yet whoever can change the
  # junction's target decides what the service runs. A standard user's start must be refused.
  # An installer that registers the service itself would get past `install`, so this one does.
  New-Item -ItemType Directory -Path $linkTarget | Out-Null
  Protect-Directory $linkTarget
  New-Item -ItemType Junction -Path $linkDir -Target $linkTarget | Out-Null
  New-Item -ItemType Directory -Path $linkInstall | Out-Null
  foreach ($name in 'corvid_helper_service.exe', 'corvidctl.exe') {
    Copy-Item -LiteralPath (Join-Path $BuildDir $name) -Destination (Join-Path $linkInstall $name)
  }
  Copy-Item -LiteralPath (Join-Path $BuildDir 'corvid_fake_core.exe') `
    -Destination (Join-Path $linkInstall 'clash-rs.exe')
  # Windows PowerShell stops at a native program's first line on standard error otherwise.
  $ErrorActionPreference = 'Continue'
  $installOutput = & $linkService install 2>&1 | Out-String
  $installExit = $LASTEXITCODE
  $ErrorActionPreference = 'Stop'
  if ($installExit -eq 0) {
    Write-Host '      install below the junction was accepted'
  } else {
    Write-Host "      install below the junction was refused: $($installOutput.Trim())"
    New-Service -Name $serviceName -BinaryPathName "`"$linkService`"" -StartupType Manual | Out-Null
    Start-Service -Name $serviceName
  }
  $linkInstalled = $true
  $linkCtl = Join-Path $linkInstall 'corvidctl.exe'
  Wait-Helper $linkCtl
  $linked = Invoke-ProgramAsUser $credential $linkCtl @('start', '--id', 'chk', '--config', 'run')
  if ($linked.ExitCode -eq 1 -and $linked.Out -clike '{"id":"chk","ok":false,"error":"*') {
    Write-Host "PASS  a start below a junction is refused: $($linked.Out)"
  } else {
    $failures++
    Write-Host "FAIL  a start below a junction: exit $($linked.ExitCode), $($linked.Out) $($linked.Err)"
  }
  $status = Invoke-ProgramAsUser $credential $linkCtl @('status', '--id', 'chk')
  Check 'no core runs below the junction' $status 0 '{"id":"chk","ok":true,"error":null,"data":{"pid":null,"running":false}}'
}
catch {
  Write-Host "ERROR $($_.Exception.Message)"
  if ($failures -eq 0) { $failures = -1 }
}
finally {
  # Uninstall waits until the service and its core are gone, so that the files can go next.
  if ($installed) {
    & $service uninstall
    if ($LASTEXITCODE -ne 0) { Write-Host "uninstall failed with exit code $LASTEXITCODE" }
  }
  if ($linkInstalled) {
    & $linkService uninstall
    if ($LASTEXITCODE -ne 0) { Write-Host "uninstall below the junction failed with exit code $LASTEXITCODE" }
  }
  # A service an install through another spelling, or one that should have been refused, left.
  try { Remove-CheckService } catch { Write-Host "removing the service failed: $($_.Exception.Message)" }
  Show-HelperLog $InstallDir
  Show-HelperLog (Join-Path $linkTarget 'app')
  foreach ($name in $createdUsers) {
    $account = Get-LocalUser -Name $name -ErrorAction SilentlyContinue
    if ($account) {
      $sid = $account.SID.Value
      Remove-LocalUser -Name $name
      Get-CimInstance -ClassName Win32_UserProfile -Filter "SID = '$sid'" -ErrorAction SilentlyContinue |
        Remove-CimInstance -ErrorAction SilentlyContinue
    }
  }
  # The junction alone (rmdir does not follow it), then what it led to.
  if (Test-Path -LiteralPath $linkDir) { & cmd.exe /c rmdir "$linkDir" }
  foreach ($dir in $InstallDir, $linkTarget) {
    for ($i = 0; $i -lt 10 -and (Test-Path -LiteralPath $dir); $i++) {
      Remove-Item -LiteralPath $dir -Recurse -Force -ErrorAction SilentlyContinue
      if (Test-Path -LiteralPath $dir) { Start-Sleep -Seconds 1 }
    }
  }
  Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
  Remove-Item -LiteralPath $localCopy -Recurse -Force -ErrorAction SilentlyContinue
  if ($localProgramsMade) {
    Remove-Item -LiteralPath $localPrograms -Recurse -Force -ErrorAction SilentlyContinue
  }
}

if ($failures -lt 0) { exit 2 }
if ($failures -gt 0) {
  Write-Host "$failures check(s) failed"
  exit 1
}
Write-Host 'every check passed'
exit 0
