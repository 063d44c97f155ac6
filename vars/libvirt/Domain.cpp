/** @file
  A libvirt domain's NVRAM, through libvirt's stable C interface loaded at
  run time (vars/dl/Libvirt.h).
**/

#include "vars/libvirt/Domain.h"

#include "vars/base/ExitStatus.h"
#include "vars/dl/Libvirt.h"
#include "vars/libvirt/DomainXml.h"
#include "vars/media/Medium.h"
#include "vars/media/Template.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#define LIBVIRT_SYSTEM_URI      "qemu:///system"
#define LIBVIRT_NVRAM_FILE_MODE 0600

///
/// The states of a domain (virDomainState), as a refusal names them; shut off is 5.
///
static const char *const mStateNames[] = {
  "in no known state", "running",  "running (blocked)",           "paused",
  "being shut down",   "shut off", "crashed, with its QEMU kept", "suspended by the guest",
};

// libvirt prints its errors on standard error unless told otherwise; each refusal here says what
// failed in one line of its own.
static void
Quiet (void *UserData, virErrorPtr Error)
{
  (void)UserData;
  (void)Error;
}

static int
LibvirtRefusal (
    const LIBVIRT_LIBRARY *Virt,
    std::string           *Error,
    int                    Code,
    const std::string     &Message)
{
  const char *Reason = Virt->GetLastErrorMessage ();

  return VarsRefusal (
      Error, Code, Message + ": " + ((Reason != NULL) ? Reason : "no reason given"));
}

/**
  Refuses a domain that is not shut off, whose QEMU holds the NVRAM, and
  notes a managed save image, whose restore would put the NVRAM back as it
  was.
**/
static int
CheckShutOff (
    const LIBVIRT_LIBRARY *Virt,
    virDomainPtr           Domain,
    const char            *Name,
    DOMAIN_NVRAM          *Nvram,
    std::string           *Error)
{
  int         State;
  int         Reason;
  int         Saved;
  const char *Named;

  if (Virt->GetState (Domain, &State, &Reason, 0) != 0) {
    return LibvirtRefusal (Virt, Error, VarsExitNoDomain, "cannot read its state");
  }

  if (State != LIBVIRT_DOMAIN_SHUTOFF) {
    Named = ((State > 0) && ((size_t)State < sizeof (mStateNames) / sizeof (mStateNames[0])))
                ? mStateNames[State]
                : mStateNames[0];
    return VarsRefusal (
        Error, VarsExitVirtualMachine,
        std::string ("it is ") + Named + ": shut it down first (virsh shutdown " + Name + ")");
  }

  Saved = Virt->HasManagedSaveImage (Domain, 0);
  if (Saved < 0) {
    return LibvirtRefusal (
        Virt, Error, VarsExitNoDomain, "cannot tell whether it has a managed save image");
  }

  Nvram->ManagedSave = (Saved == 1);
  return 0;
}

// The NVRAM of a domain found and checked on an open connection; with NeedsOwner, the owner of one
// that is to be made.
static int
FindOnConnection (
    const LIBVIRT_LIBRARY *Virt,
    virConnectPtr          Connection,
    virDomainPtr           Domain,
    const char            *Name,
    bool                   NeedsOwner,
    DOMAIN_NVRAM          *Nvram,
    std::string           *Error)
{
  std::string DomainType;
  struct stat Status;
  char       *Xml;
  char       *Capabilities;
  int         Code = CheckShutOff (Virt, Domain, Name, Nvram, Error);

  if (Code != 0) {
    return Code;
  }

  Xml = Virt->GetXmlDesc (Domain, LIBVIRT_XML_INACTIVE);
  if (Xml == NULL) {
    return LibvirtRefusal (Virt, Error, VarsExitNoDomain, "cannot read its definition");
  }

  Code = ReadDomainNvram (Xml, Nvram, &DomainType, Error);
  free (Xml);
  Nvram->Absent = (Code == 0) && !IsNetworkNvram (Nvram->Path.c_str ()) &&
                  (lstat (Nvram->Path.c_str (), &Status) != 0) && (errno == ENOENT);
  if ((Code != 0) || !Nvram->Absent) {
    return Code;
  }

  if (Nvram->Template.empty ()) {
    return VarsRefusal (
        Error, VarsExitCannotRead,
        Nvram->Path + " does not exist, and its definition names no template to make it from");
  }

  // Only a file that is made needs its owner, and libvirt gathers its capabilities slowly.
  if (!NeedsOwner) {
    return 0;
  }

  Capabilities = Virt->GetCapabilities (Connection);
  if (Capabilities == NULL) {
    return LibvirtRefusal (Virt, Error, VarsExitNoDomain, "cannot read libvirt's capabilities");
  }

  Code = ReadNvramOwner (Capabilities, DomainType, Nvram, Error);
  free (Capabilities);
  return Code;
}

int
FindDomainNvram (
    const char   *Name,
    const char   *Uri,
    bool          Writing,
    DOMAIN_NVRAM *Nvram,
    std::string  *Error)
{
  const LIBVIRT_LIBRARY *Virt;
  virConnectPtr          Connection;
  virDomainPtr           Domain;
  int                    Code;
  bool                   Session = false;
  const char            *Default = getenv ("LIBVIRT_DEFAULT_URI");

  // virsh's default: the environment's URI where it is set, then the system daemon's.
  Uri = (Uri != NULL) ? Uri : ((Default != NULL) && (*Default != 0)) ? Default : LIBVIRT_SYSTEM_URI;
  *Nvram = DOMAIN_NVRAM ();
  Code   = CheckLocalUri (Uri, &Session, Error);
  if (Code != 0) {
    return Code;
  }

  Virt = LoadLibvirtLibrary (Error);
  if (Virt == NULL) {
    return VarsExitMissing;
  }

  Virt->SetErrorFunc (NULL, Quiet);
  Connection = Virt->OpenReadOnly (Uri);
  if (Connection == NULL) {
    return LibvirtRefusal (
        Virt, Error, VarsExitNoDomain, std::string ("cannot reach libvirt at ") + Uri);
  }

  Domain = Virt->LookupByName (Connection, Name);
  if (Domain == NULL) {
    Code = LibvirtRefusal (
        Virt, Error, VarsExitNoDomain,
        (Virt->GetLastErrorCode () == LIBVIRT_ERR_NO_DOMAIN)
            ? std::string ("no such domain at ") + Uri
            : std::string ("cannot look it up at ") + Uri);
  } else {
    // A session daemon runs QEMU as this user, who owns what this run makes: it has no owner to
    // ask.
    Code = FindOnConnection (Virt, Connection, Domain, Name, Writing && !Session, Nvram, Error);
    Virt->FreeDomain (Domain);
  }

  Virt->Close (Connection);
  return Code;
}

int
CreateDomainNvram (const DOMAIN_NVRAM *Nvram, MADE_FILE *Made, std::string *Error)
{
  // libvirt creates the file with this mode whatever the umask; this tool is single-threaded.
  mode_t Mask = umask (0777 & ~LIBVIRT_NVRAM_FILE_MODE);
  int    Code = CreateFromTemplate (Nvram->Template.c_str (), Nvram->Path.c_str (), Made, Error);

  umask (Mask);
  if ((Code != 0) || !Nvram->Owned ||
      (lchown (Nvram->Path.c_str (), Nvram->Uid, Nvram->Gid) == 0)) {
    return Code;
  }

  Code =
      VarsRefusal (Error, VarsExitCannotWrite, "cannot give it the owner libvirt gives it", errno);
  unlink (Nvram->Path.c_str ());
  return Code;
}
