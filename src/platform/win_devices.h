// Device setup: the Setup API (SetupDi...), the new-device library and the
// HID library, with the device file handles opened through CreateFileA.
#pragma once

#include "platform/win_base.h"

#ifdef _WIN32
#include <setupapi.h>
// MAX_CLASS_NAME_LEN comes from the configuration manager's header.
#include <cfgmgr32.h>
#include <newdev.h>
// MinGW-w64's hidsdi.h declares C functions without C linkage of its own.
extern "C" {
#include <hidsdi.h>
}
#else

typedef PVOID HDEVINFO;
typedef UINT DI_FUNCTION;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
typedef HIDD_ATTRIBUTES* PHIDD_ATTRIBUTES;

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define SPDRP_COMPATIBLEIDS 0x00000002u
#define SPDRP_CLASS 0x00000007u
#define SPDRP_CLASSGUID 0x00000008u
#define SPDRP_DRIVER 0x00000009u

#define DICD_GENERATE_ID 0x00000001u
#define DICD_INHERIT_CLASSDRVS 0x00000002u

#define DIF_SELECTDEVICE 0x00000001u
#define DIF_INSTALLDEVICE 0x00000002u
#define DIF_REMOVE 0x00000005u
#define DIF_REGISTERDEVICE 0x00000019u

#define SPDIT_NODRIVER 0x00000000u
#define SPDIT_CLASSDRIVER 0x00000001u
#define SPDIT_COMPATDRIVER 0x00000002u

#define MAX_CLASS_NAME_LEN 32
#define LINE_LEN 256

#define INSTALLFLAG_FORCE 0x00000001u
#define INSTALLFLAG_READONLY 0x00000002u
#define INSTALLFLAG_NONINTERACTIVE 0x00000004u

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags);
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(CONST GUID* ClassGuid, HWND hwndParent);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              CONST BYTE* PropertyBuffer,
                                              DWORD PropertyBufferSize);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        CONST GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName,
                                DWORD ClassNameSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName,
                                     CONST GUID* ClassGuid, PCSTR DeviceDescription,
                                     HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD DriverType);

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId,
                                               LPCSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired);

void WINAPI HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);

#endif  // _WIN32
