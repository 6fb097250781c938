// The Windows error codes, access bits and other constants that the
// simulated machine answers with or keeps but the installer's platform
// headers (src/platform/) do not name, each defined once with Windows' own
// name and value. The simulator takes every Windows constant from here or
// from those headers.
#pragma once

#include "platform/win_base.h"

// System errors.
#define ERROR_DISK_FULL 112L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define ERROR_SERVICE_NOT_IN_EXE 1083L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define RPC_S_SERVER_UNAVAILABLE 1722L

// The exit code of a process ended by Ctrl+C.
#define STATUS_CONTROL_C_EXIT 0xC000013AUL

// Setup API errors.
#define ERROR_LINE_NOT_FOUND 0xE0000102L
#define ERROR_CLASS_MISMATCH 0xE0000201L
#define ERROR_INVALID_REG_PROPERTY 0xE0000209L

// File errors.
#define ERROR_NOT_SAME_DEVICE 17L

// Access bits.
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_EXECUTE 0x0020u
#define ACCESS_SYSTEM_SECURITY 0x01000000u
#define MAXIMUM_ALLOWED 0x02000000u
#define TOKEN_ALL_ACCESS 0x000F01FFu

// Attributes of a privilege in a token.
#define SE_PRIVILEGE_REMOVED 0x00000004u

// Shutdown.
#define EWX_FORCEIFHUNG 0x00000010u

// Services.
#define SERVICE_INTERACTIVE_PROCESS 0x00000100u
#define SERVICE_PAUSED 0x00000007u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u

// Device interfaces.
#define SPINT_ACTIVE 0x00000001u

// INF files: directory ids, AddReg flags, AddService flags.
#define DIRID_WINDOWS 10
#define DIRID_SYSTEM 11
#define DIRID_DRIVERS 12
#define FLG_ADDREG_BINVALUETYPE 0x00000001u
#define FLG_ADDREG_NOCLOBBER 0x00000002u
#define FLG_ADDREG_KEYONLY 0x00000010u
#define FLG_ADDREG_TYPE_MULTI_SZ 0x00010000u
#define FLG_ADDREG_TYPE_EXPAND_SZ 0x00020000u
#define FLG_ADDREG_TYPE_DWORD 0x00010001u
#define SPSVCINST_ASSOCSERVICE 0x00000002u

// Registry value types.
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
