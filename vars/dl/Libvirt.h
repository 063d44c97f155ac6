/** @file
  The few routines of libvirt (libvirt.so.0) that finding a domain's NVRAM
  needs, loaded at run time as the other optional libraries are. Its
  handles are declared by libvirt's own names, so that a test compiled
  against libvirt's header can check every routine's type.
**/

#ifndef LIBVIRT_H_
#define LIBVIRT_H_

#include <string>

/// libvirt's handles, opaque here as they are to its callers.
typedef struct _virConnect *virConnectPtr;
typedef struct _virDomain  *virDomainPtr;
typedef struct _virError   *virErrorPtr;

/// What libvirt calls with each error (virErrorFunc).
typedef void (*LIBVIRT_ERROR_FUNC) (void *UserData, virErrorPtr Error);

/// VIR_DOMAIN_SHUTOFF, the state of a domain that is shut off.
#define LIBVIRT_DOMAIN_SHUTOFF 5
/// VIR_DOMAIN_XML_INACTIVE, the definition the next start uses.
#define LIBVIRT_XML_INACTIVE (1 << 1)
/// VIR_ERR_NO_DOMAIN, the error of a lookup that found no such domain.
#define LIBVIRT_ERR_NO_DOMAIN 42

///
/// libvirt's routines, as its stable interface declares them.
///
typedef struct {
  virConnectPtr (*OpenReadOnly) (const char *Name);
  int (*Close) (virConnectPtr Connection);
  char *(*GetCapabilities) (virConnectPtr Connection);
  virDomainPtr (*LookupByName) (virConnectPtr Connection, const char *Name);
  int (*GetState) (virDomainPtr Domain, int *State, int *Reason, unsigned int Flags);
  int (*HasManagedSaveImage) (virDomainPtr Domain, unsigned int Flags);
  char *(*GetXmlDesc) (virDomainPtr Domain, unsigned int Flags);
  int (*FreeDomain) (virDomainPtr Domain);
  void (*SetErrorFunc) (void *UserData, LIBVIRT_ERROR_FUNC Handler);
  int (*GetLastErrorCode) (void);
  const char *(*GetLastErrorMessage) (void);
} LIBVIRT_LIBRARY;

/**
  Loads libvirt once per run.

  @param[out] Error  Receives a message naming its Debian package on failure.

  @return Its routines, or NULL when it is missing.
**/
const LIBVIRT_LIBRARY *LoadLibvirtLibrary (std::string *Error);

#endif
