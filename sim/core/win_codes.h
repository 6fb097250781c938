// The Windows error codes and access bits that the simulated machine answers
// with but the installer's platform headers do not name, each defined once
// with Windows' own name and value.
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

// Setup API errors.
#define ERROR_LINE_NOT_FOUND 0xE0000102L
#define ERROR_CLASS_MISMATCH 0xE0000201L
#define ERROR_INVALID_REG_PROPERTY 0xE0000209L

// Access bits.
#define FILE_WRITE_DATA 0x0002u
#define ACCESS_SYSTEM_SECURITY 0x01000000u
#define MAXIMUM_ALLOWED 0x02000000u
#define TOKEN_ALL_ACCESS 0x000F01FFu

// Attributes of a privilege in a token.
#define SE_PRIVILEGE_REMOVED 0x00000004u
