/** @file
  A libvirt domain's NVRAM, through libvirt's stable C interface loaded at
  run time: the prototypes below are those of libvirt/libvirt-host.h,
  libvirt-domain.h and virterror.h.
**/

#include "vars/Domain.h"

#include "vars/DomainXml.h"
#include "vars/ExitStatus.h"
#include "vars/OptionalLibrary.h"
#include "vars/Template.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#define LIBVIRT_DEFAULT_URI     "qemu:///system"
#define LIBVIRT_DOMAIN_SHUTOFF  5
#define LIBVIRT_XML_INACTIVE    (1 << 1)
#define LIBVIRT_ERR_NO_DOMAIN   42
#define LIBVIRT_NVRAM_FILE_MODE 0600

typedef void (*LIBVIRT_ERROR_FUNC) (void *UserData, void *Error);

static void *(*mOpenReadOnly) (const char *);
static int (*mClose) (void *);
static char *(*mGetCapabilities) (void *);
static void *(*mLookupByName) (void *, const char *);
static int (*mGetState) (void *, int *, int *, unsigned int);
static int (*mHasManagedSaveImage) (void *, unsigned int);
static char *(*mGetXmlDesc) (void *, unsigned int);
static int (*mFreeDomain) (void *);
static void (*mSetErrorFunc) (void *, LIBVIRT_ERROR_FUNC);
static int (*mGetLastErrorCode) (void);
static const char *(*mGetLastErrorMessage) (void);

static const OPTIONAL_SYMBOL mSymbols[] = {
  { "virConnectOpenReadOnly", (void **)&mOpenReadOnly },
  { "virConnectClose", (void **)&mClose },
  { "virConnectGetCapabilities", (void **)&mGetCapabilities },
  { "virDomainLookupByName", (void **)&mLookupByName },
  { "virDomainGetState", (void **)&mGetState },
  { "virDomainHasManagedSaveImage", (void **)&mHasManagedSaveImage },
  { "virDomainGetXMLDesc", (void **)&mGetXmlDesc },
  { "virDomainFree", (void **)&mFreeDomain },
  { "virSetErrorFunc", (void **)&mSetErrorFunc },
  { "virGetLastErrorCode", (void **)&mGetLastErrorCode },
  { "virGetLastErrorMessage", (void **)&mGetLastErrorMessage },
};

static const OPTIONAL_LIBRARY mLibvirt = { "libvirt.so.0", "libvirt0", mSymbols,
                                           sizeof (mSymbols) / sizeof (mSymbols[0]) };

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
Quiet (void *UserData, void *Error)
{
  (void)UserData;
  (void)Error;
}

static int
LibvirtRefusal (std::string *Error, int Code, const std::string &Message)
{
  const char *Reason = mGetLastErrorMessage ();

  return VarsRefusal (
      Error, Code, Message + ": " + ((Reason != NULL) ? Reason : "no reason given"));
}

/**
  Refuses a domain that is not shut off, whose QEMU holds the NVRAM, and
  notes a managed save image, whose restore would put the NVRAM back as it
  was.
**/
static int
CheckShutOff (void *Domain, const char *Name, DOMAIN_NVRAM *Nvram, std::string *Error)
{
  int         State;
  int         Reason;
  int         Saved;
  const char *Named;

  if (mGetState (Domain, &State, &Reason, 0) != 0) {
    return LibvirtRefusal (Error, VarsExitNoDomain, "cannot read its state");
  }

  if (State != LIBVIRT_DOMAIN_SHUTOFF) {
    Named = ((State > 0) && ((size_t)State < sizeof (mStateNames) / sizeof (mStateNames[0])))
                ? mStateNames[State]
                : mStateNames[0];
    return VarsRefusal (
        Error, VarsExitVirtualMachine,
        std::string ("it is ") + Named + ": shut it down first (virsh shutdown " + Name + ")");
  }

  Saved = mHasManagedSaveImage (Domain, 0);
  if (Saved < 0) {
    return LibvirtRefusal (
        Error, VarsExitNoDomain, "cannot tell whether it has a managed save image");
  }

  Nvram->ManagedSave = (Saved == 1);
  return 0;
}

// The NVRAM of a domain found and checked on an open connection.
static int
FindOnConnection (
    void         *Connection,
    void         *Domain,
    const char   *Name,
    DOMAIN_NVRAM *Nvram,
    std::string  *Error)
{
  std::string DomainType;
  struct stat Status;
  char       *Xml;
  char       *Capabilities;
  int         Code = CheckShutOff (Domain, Name, Nvram, Error);

  if (Code != 0) {
    return Code;
  }

  Xml = mGetXmlDesc (Domain, LIBVIRT_XML_INACTIVE);
  if (Xml == NULL) {
    return LibvirtRefusal (Error, VarsExitNoDomain, "cannot read its definition");
  }

  Code = ReadDomainNvram (Xml, Nvram, &DomainType, Error);
  free (Xml);
  Nvram->Absent = (Code == 0) && (lstat (Nvram->Path.c_str (), &Status) != 0) && (errno == ENOENT);
  if ((Code != 0) || !Nvram->Absent) {
    return Code;
  }

  if (Nvram->Template.empty ()) {
    return VarsRefusal (
        Error, VarsExitCannotRead,
        Nvram->Path + " does not exist, and its definition names no template to make it from");
  }

  Capabilities = mGetCapabilities (Connection);
  if (Capabilities == NULL) {
    return LibvirtRefusal (Error, VarsExitNoDomain, "cannot read libvirt's capabilities");
  }

  Code = ReadNvramOwner (Capabilities, DomainType, Nvram, Error);
  free (Capabilities);
  return Code;
}

int
FindDomainNvram (const char *Name, const char *Uri, DOMAIN_NVRAM *Nvram, std::string *Error)
{
  void *Connection;
  void *Domain;
  int   Code;

  Uri    = (Uri != NULL) ? Uri : LIBVIRT_DEFAULT_URI;
  *Nvram = DOMAIN_NVRAM ();
  Code   = CheckLocalUri (Uri, Error);
  if (Code != 0) {
    return Code;
  }

  if (!LoadOptionalLibrary (&mLibvirt, Error)) {
    return VarsExitMissing;
  }

  mSetErrorFunc (NULL, Quiet);
  Connection = mOpenReadOnly (Uri);
  if (Connection == NULL) {
    return LibvirtRefusal (Error, VarsExitNoDomain, std::string ("cannot reach libvirt at ") + Uri);
  }

  Domain = mLookupByName (Connection, Name);
  if (Domain == NULL) {
    Code = LibvirtRefusal (
        Error, VarsExitNoDomain,
        (mGetLastErrorCode () == LIBVIRT_ERR_NO_DOMAIN)
            ? std::string ("no such domain at ") + Uri
            : std::string ("cannot look it up at ") + Uri);
  } else {
    Code = FindOnConnection (Connection, Domain, Name, Nvram, Error);
    mFreeDomain (Domain);
  }

  mClose (Connection);
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
