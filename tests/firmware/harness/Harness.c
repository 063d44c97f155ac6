/** @file
  A test tool, never shipped: starts brisvane.efi the way a shell of the
  caller's choosing would, with a chosen set of shell protocols on its image
  handle, and reports what it returned.

  Usage, from the UEFI Shell:

    harness none
    harness interface WORD...
    harness parameters WORD...
    harness both WORD... :: WORD...

  brisvane.efi is loaded with LoadImage from the folder that holds this
  harness. "none" starts it with no shell protocol on its handle;
  "interface" installs EFI_SHELL_INTERFACE and "parameters"
  EFI_SHELL_PARAMETERS_PROTOCOL, each with the words given as its argument
  vector (the first word is the vector's Argv[0]); "both" installs the two,
  the words before "::" for EFI_SHELL_PARAMETERS_PROTOCOL and those after it
  for EFI_SHELL_INTERFACE. Every word is a writable copy of its own.

  After StartImage the harness prints one line with the status it returned,
  then one line per installed vector with its words as they are now, and
  exits with the same status, so that the shell's lasterror matches. Its own
  failures print a line starting "harness: error" and exit with EFI_ABORTED.
**/

#include <Uefi.h>

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
// EfiShellInterface.h uses EFI_LOADED_IMAGE_PROTOCOL without including it.
#include <Protocol/LoadedImage.h>

#include <Protocol/EfiShellInterface.h>
#include <Protocol/ShellParameters.h>

#define IMAGE_NAME L"brisvane.efi"
#define SEPARATOR  L"::"

typedef struct {
  UINTN    Argc;
  CHAR16 **Argv;
} WORD_VECTOR;

/**
  Copies Count words into a vector of writable strings of its own, ended by
  a NULL entry as a C-style vector would be.
**/
STATIC
EFI_STATUS
CopyWords (IN CHAR16 **Words, IN UINTN Count, OUT WORD_VECTOR *Vector)
{
  UINTN Index;

  Vector->Argc = Count;
  Vector->Argv = AllocateZeroPool ((Count + 1) * sizeof (CHAR16 *));
  if (Vector->Argv == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (Index = 0; Index < Count; Index++) {
    Vector->Argv[Index] = AllocateCopyPool (StrSize (Words[Index]), Words[Index]);
    if (Vector->Argv[Index] == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  return EFI_SUCCESS;
}

STATIC
VOID
PrintVector (IN CONST CHAR16 *Label, IN CONST WORD_VECTOR *Vector)
{
  UINTN Index;

  Print (L"harness: %s vector now:", Label);
  for (Index = 0; Index < Vector->Argc; Index++) {
    Print (L" %s", Vector->Argv[Index]);
  }

  Print (L"\r\n");
}

/**
  The device path of brisvane.efi in the folder of this image's own file.
**/
STATIC
EFI_DEVICE_PATH_PROTOCOL *
SiblingImagePath (IN EFI_LOADED_IMAGE_PROTOCOL *Self)
{
  EFI_DEVICE_PATH_PROTOCOL *Node;
  CHAR16                    Path[256];
  UINTN                     Length;

  Path[0] = L'\0';
  for (Node = Self->FilePath; Node != NULL && !IsDevicePathEnd (Node);
       Node = NextDevicePathNode (Node)) {
    if ((DevicePathType (Node) == MEDIA_DEVICE_PATH) &&
        (DevicePathSubType (Node) == MEDIA_FILEPATH_DP)) {
      Length = StrLen (Path);
      if ((Length > 0) && (Path[Length - 1] != L'\\')) {
        StrCatS (Path, ARRAY_SIZE (Path), L"\\");
      }

      StrCatS (Path, ARRAY_SIZE (Path), ((FILEPATH_DEVICE_PATH *)Node)->PathName);
    }
  }

  // Keep the folder, up to and including its last backslash.
  for (Length = StrLen (Path); Length > 0 && Path[Length - 1] != L'\\'; Length--) {
  }

  Path[Length] = L'\0';
  if (Length == 0) {
    StrCpyS (Path, ARRAY_SIZE (Path), L"\\");
  }

  StrCatS (Path, ARRAY_SIZE (Path), IMAGE_NAME);
  return FileDevicePath (Self->DeviceHandle, Path);
}

STATIC
EFI_STATUS
Fail (IN CONST CHAR16 *What, IN EFI_STATUS Status)
{
  Print (L"harness: error: %s: %r\r\n", What, Status);
  return EFI_ABORTED;
}

EFI_STATUS
EFIAPI
HarnessMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  EFI_STATUS                     Status;
  EFI_STATUS                     ChildStatus;
  EFI_SHELL_PARAMETERS_PROTOCOL *Own;
  EFI_LOADED_IMAGE_PROTOCOL     *Self;
  EFI_LOADED_IMAGE_PROTOCOL     *ChildInfo;
  EFI_DEVICE_PATH_PROTOCOL      *ImagePath;
  EFI_HANDLE                     Child;
  CHAR16                        *Mode;
  CHAR16                       **Words;
  UINTN                          WordCount;
  UINTN                          Split;
  BOOLEAN                        WithParameters;
  BOOLEAN                        WithInterface;
  WORD_VECTOR                    ParametersVector;
  WORD_VECTOR                    InterfaceVector;
  EFI_SHELL_PARAMETERS_PROTOCOL  Parameters;
  EFI_SHELL_INTERFACE            Interface;

  Status = gBS->OpenProtocol (
      ImageHandle, &gEfiShellParametersProtocolGuid, (VOID **)&Own, ImageHandle, NULL,
      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR (Status)) {
    return Fail (L"not started by a UEFI Shell", Status);
  }

  if (Own->Argc < 2) {
    Print (L"usage: harness none | interface WORD... | parameters WORD... | both WORD... :: "
           L"WORD...\r\n");
    return EFI_INVALID_PARAMETER;
  }

  Mode      = Own->Argv[1];
  Words     = Own->Argv + 2;
  WordCount = Own->Argc - 2;
  ZeroMem (&ParametersVector, sizeof (ParametersVector));
  ZeroMem (&InterfaceVector, sizeof (InterfaceVector));
  WithParameters = FALSE;
  WithInterface  = FALSE;
  Status         = EFI_SUCCESS;

  if (StrCmp (Mode, L"none") == 0) {
    // No protocol and so no vector.
  } else if (StrCmp (Mode, L"interface") == 0) {
    WithInterface = TRUE;
    Status        = CopyWords (Words, WordCount, &InterfaceVector);
  } else if (StrCmp (Mode, L"parameters") == 0) {
    WithParameters = TRUE;
    Status         = CopyWords (Words, WordCount, &ParametersVector);
  } else if (StrCmp (Mode, L"both") == 0) {
    for (Split = 0; Split < WordCount && StrCmp (Words[Split], SEPARATOR) != 0; Split++) {
    }

    if (Split == WordCount) {
      return Fail (L"\"both\" needs \"::\" between the two vectors", EFI_INVALID_PARAMETER);
    }

    WithParameters = TRUE;
    WithInterface  = TRUE;
    Status         = CopyWords (Words, Split, &ParametersVector);
    if (!EFI_ERROR (Status)) {
      Status = CopyWords (Words + Split + 1, WordCount - Split - 1, &InterfaceVector);
    }
  } else {
    return Fail (L"unknown mode", EFI_INVALID_PARAMETER);
  }

  if (EFI_ERROR (Status)) {
    return Fail (L"copying the words", Status);
  }

  Status = gBS->OpenProtocol (
      ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Self, ImageHandle, NULL,
      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR (Status)) {
    return Fail (L"own loaded image", Status);
  }

  ImagePath = SiblingImagePath (Self);
  if (ImagePath == NULL) {
    return Fail (L"path of " IMAGE_NAME, EFI_OUT_OF_RESOURCES);
  }

  Child  = NULL;
  Status = gBS->LoadImage (FALSE, ImageHandle, ImagePath, NULL, 0, &Child);
  FreePool (ImagePath);
  if (EFI_ERROR (Status)) {
    return Fail (L"LoadImage " IMAGE_NAME, Status);
  }

  Status = gBS->OpenProtocol (
      Child, &gEfiLoadedImageProtocolGuid, (VOID **)&ChildInfo, ImageHandle, NULL,
      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR (Status)) {
    gBS->UnloadImage (Child);
    return Fail (L"loaded image of " IMAGE_NAME, Status);
  }

  if (WithParameters) {
    // The standard handles are the shell's own, as it would pass them on.
    Parameters.Argv   = ParametersVector.Argv;
    Parameters.Argc   = ParametersVector.Argc;
    Parameters.StdIn  = Own->StdIn;
    Parameters.StdOut = Own->StdOut;
    Parameters.StdErr = Own->StdErr;
    Status            = gBS->InstallProtocolInterface (
                   &Child, &gEfiShellParametersProtocolGuid, EFI_NATIVE_INTERFACE, &Parameters);
    if (EFI_ERROR (Status)) {
      gBS->UnloadImage (Child);
      return Fail (L"installing EFI_SHELL_PARAMETERS_PROTOCOL", Status);
    }
  }

  if (WithInterface) {
    ZeroMem (&Interface, sizeof (Interface));
    Interface.ImageHandle = Child;
    Interface.Info        = ChildInfo;
    Interface.Argv        = InterfaceVector.Argv;
    Interface.Argc        = InterfaceVector.Argc;
    Interface.ArgInfo = AllocateZeroPool ((InterfaceVector.Argc + 1) * sizeof (EFI_SHELL_ARG_INFO));
    Status            = gBS->InstallProtocolInterface (
                   &Child, &gEfiShellInterfaceGuid, EFI_NATIVE_INTERFACE, &Interface);
    if (EFI_ERROR (Status)) {
      if (WithParameters) {
        gBS->UninstallProtocolInterface (Child, &gEfiShellParametersProtocolGuid, &Parameters);
      }

      gBS->UnloadImage (Child);
      return Fail (L"installing EFI_SHELL_INTERFACE", Status);
    }
  }

  ChildStatus = gBS->StartImage (Child, NULL, NULL);

  // The image is unloaded by now; what is left on its handle is ours.
  if (WithParameters) {
    gBS->UninstallProtocolInterface (Child, &gEfiShellParametersProtocolGuid, &Parameters);
  }

  if (WithInterface) {
    gBS->UninstallProtocolInterface (Child, &gEfiShellInterfaceGuid, &Interface);
  }

  Print (L"harness: " IMAGE_NAME L" returned 0x%lx\r\n", (UINT64)ChildStatus);
  if (WithParameters) {
    PrintVector (L"parameters", &ParametersVector);
  }

  if (WithInterface) {
    PrintVector (L"interface", &InterfaceVector);
  }

  return ChildStatus;
}
