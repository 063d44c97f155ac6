/** @file
  The UEFI types, status codes and constants that the command logic uses,
  with their UEFI values, for builds that run on Linux rather than on
  firmware: brisvane-vars and the host tests. PlatformTypes.h includes this
  header by name when BRISVANE_HOST_BUILD is defined.
**/

#ifndef HOST_UEFI_TYPES_H_
#define HOST_UEFI_TYPES_H_

#include <stddef.h>
#include <stdint.h>

typedef uint8_t  UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int64_t  INTN;
typedef uint64_t UINTN;
typedef uint8_t  BOOLEAN;
typedef void     VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8  Data4[8];
} EFI_GUID;

typedef struct HOST_EFI_SYSTEM_TABLE EFI_SYSTEM_TABLE;

#define EFIAPI
#define TRUE  ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

#define HOST_ERROR_BIT          0x8000000000000000ULL
#define HOST_ENCODE_ERROR(Code) ((EFI_STATUS)(HOST_ERROR_BIT | (Code)))
#define EFI_ERROR(Status)       (((EFI_STATUS)(Status)&HOST_ERROR_BIT) != 0)

#define EFI_SUCCESS            ((EFI_STATUS)0)
#define EFI_LOAD_ERROR         HOST_ENCODE_ERROR (1)
#define EFI_INVALID_PARAMETER  HOST_ENCODE_ERROR (2)
#define EFI_UNSUPPORTED        HOST_ENCODE_ERROR (3)
#define EFI_BAD_BUFFER_SIZE    HOST_ENCODE_ERROR (4)
#define EFI_BUFFER_TOO_SMALL   HOST_ENCODE_ERROR (5)
#define EFI_NOT_READY          HOST_ENCODE_ERROR (6)
#define EFI_DEVICE_ERROR       HOST_ENCODE_ERROR (7)
#define EFI_WRITE_PROTECTED    HOST_ENCODE_ERROR (8)
#define EFI_OUT_OF_RESOURCES   HOST_ENCODE_ERROR (9)
#define EFI_NOT_FOUND          HOST_ENCODE_ERROR (14)
#define EFI_ACCESS_DENIED      HOST_ENCODE_ERROR (15)
#define EFI_SECURITY_VIOLATION HOST_ENCODE_ERROR (26)

#define EFI_VARIABLE_NON_VOLATILE       0x00000001
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002
#define EFI_VARIABLE_RUNTIME_ACCESS     0x00000004

#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002

#endif
