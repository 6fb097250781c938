"""Checks of the shipped 32-bit SETUP.EXE: that Windows 2000 can load it.

This machine's kernel cannot run 32-bit programs, so the i686 build is read
with objdump instead: a PE32 console program, a subsystem version Windows 2000
accepts, imports from Windows 2000 system DLLs only, and none of the imported
functions that are known to have first shipped in a later Windows.
"""

import os
import re
import shutil
import subprocess

from harness.checks import SKIP

# The system DLLs of Windows 2000 that the installer may use.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "setupapi.dll", "newdev.dll", "hid.dll", "msvcrt.dll"}

# Functions that a compiler runtime or careless code may import and that
# Windows 2000 does not export (first shipped in XP, Server 2003 or later).
LATER_FUNCTIONS = {
    "kernel32.dll": """AddVectoredExceptionHandler RemoveVectoredExceptionHandler GetModuleHandleExA
        GetModuleHandleExW InitializeSListHead InterlockedPushEntrySList InterlockedPopEntrySList
        InterlockedFlushSList QueryDepthSList GetNativeSystemInfo IsWow64Process GetTickCount64
        InitializeCriticalSectionEx SetThreadStackGuarantee EncodePointer DecodePointer FlsAlloc FlsFree
        FlsGetValue FlsSetValue GetSystemTimePreciseAsFileTime SetDllDirectoryA SetDllDirectoryW AttachConsole
        GetConsoleProcessList WTSGetActiveConsoleSessionId RtlCaptureContext RtlVirtualUnwind
        RtlLookupFunctionEntry RtlUnwindEx RtlCaptureStackBackTrace GetLogicalProcessorInformation
        InitOnceExecuteOnce InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
        WakeConditionVariable WakeAllConditionVariable InitializeSRWLock AcquireSRWLockExclusive
        ReleaseSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockShared TryAcquireSRWLockExclusive
        CreateSymbolicLinkA CreateSymbolicLinkW GetFinalPathNameByHandleA GetFileInformationByHandleEx
        SetFileInformationByHandle CancelIoEx GetCurrentProcessorNumber GetErrorMode GetProcessId GetThreadId
        CreateWaitableTimerExW LocaleNameToLCID LCIDToLocaleName GetUserDefaultLocaleName CompareStringEx
        GetLocaleInfoEx ConvertFiberToThread GetSystemWow64DirectoryA GetSystemWow64DirectoryW
        HeapSetInformation HeapQueryInformation GetProcessHandleCount SetFileValidData
        CheckRemoteDebuggerPresent TzSpecificLocalTimeToSystemTime GetDynamicTimeZoneInformation
        SetThreadErrorMode GetThreadErrorMode""",
    "advapi32.dll": """RegGetValueA RegGetValueW RegDeleteKeyExA RegDeleteKeyExW RegDeleteTreeA RegDeleteTreeW
        RegSetKeyValueA RegSetKeyValueW RegDeleteKeyValueA RegDeleteKeyValueW RegCopyTreeA RegCopyTreeW
        RegDisablePredefinedCacheEx RegOpenKeyTransactedA CreateWellKnownSid IsWellKnownSid EventRegister
        EventWrite EventUnregister ControlServiceExA ControlServiceExW SystemFunction036""",
    "setupapi.dll": """SetupDiGetDevicePropertyW SetupDiSetDevicePropertyW SetupDiGetClassPropertyW
        SetupDiGetDeviceInterfacePropertyW SetupDiGetActualModelsSectionA SetupUninstallOEMInfA
        SetupDiRestartDevices""",
    "newdev.dll": """DiInstallDevice DiInstallDriverA DiInstallDriverW DiUninstallDevice DiRollbackDriver
        DiShowUpdateDevice DiUninstallDriverA DiUninstallDriverW""",
    # The msvcrt.dll of Windows 2000 (6.1) predates these.
    "msvcrt.dll": """_vscprintf _scprintf _vscwprintf _get_output_format _set_output_format __iob_func
        _set_invalid_parameter_handler _get_invalid_parameter_handler _aligned_malloc _aligned_free
        _strtoi64 _strtoui64 _fseeki64 _ftelli64 _localtime64 _time64 _mktime64 _gmtime64 _ctime64 _stat64
        _wstat64 _findfirst64 _create_locale _free_locale _get_errno _set_errno _lock_file _unlock_file
        __uncaught_exception _set_abort_behavior""",
}


def parse_imports(text):
    """{dll name in lower case: [function names]} from objdump -p."""
    imports, current = {}, None
    in_tables = False
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            in_tables = True
            continue
        if not in_tables:
            continue
        if line.startswith("The ") and "Table" in line and not line.startswith("The Import"):
            break
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            current = m.group(1).lower()
            imports.setdefault(current, [])
            continue
        m = re.match(r"\s+[0-9a-fA-F]+\s+<?\s*(\d+)>?\s+(\S+)\s*$", line)
        if m and current:
            imports[current].append(m.group(2))
    return imports


def check(folder, program):
    """Checks a program of an i686 build (its path below folder, with /);
    the suite's exit code. (suite.py imports; the CTest tests
    Wine.i686.*_imports)"""
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if not objdump:
        print("i686-w64-mingw32-objdump is not installed: the checks of the i686 program are skipped")
        return SKIP
    return check_windows_2000_program(objdump, os.path.join(folder, *program.split("/")))


def check_windows_2000_program(objdump, path):
    result = subprocess.run([objdump, "-p", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL)
    text = result.stdout.decode("latin-1")
    problems = []
    if result.returncode != 0:
        print(text)
        print("objdump cannot read %s" % path)
        return 1
    if "file format pei-i386" not in text:
        problems.append("not a PE32 (i386) image")
    if not re.search(r"Subsystem\s+0+3\s+\(Windows CUI\)", text):
        problems.append("not a console program")
    for field in ("MajorSubsystemVersion", "MajorOSystemVersion"):
        m = re.search(r"%s\s+(\d+)" % field, text)
        minor = re.search(r"%s\s+(\d+)" % field.replace("Major", "Minor"), text)
        if not m or (int(m.group(1)), int(minor.group(1)) if minor else 0) > (5, 0):
            problems.append("%s is above 5.0: Windows 2000 refuses to load the program" % field)
    imports = parse_imports(text)
    if not imports:
        problems.append("no import table found")
    for dll, functions in sorted(imports.items()):
        if dll not in SYSTEM_DLLS:
            problems.append("imports %s, which is not a Windows 2000 system DLL" % dll)
            continue
        later = set(LATER_FUNCTIONS.get(dll, "").split())
        for f in functions:
            if f in later:
                problems.append("imports %s!%s, which Windows 2000 does not export" % (dll, f))
    for dll, functions in sorted(imports.items()):
        print("%s: %d functions" % (dll, len(functions)))
    if problems:
        print("\n".join(problems))
        return 1
    print("%s: PE32 console program for Windows 2000, imports system DLLs only" % path)
    return 0
