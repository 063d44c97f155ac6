/** @file
  libvirt loaded at run time.
**/

#include "vars/dl/Libvirt.h"

#include "vars/dl/OptionalLibrary.h"

// Filled in by the first load; plain pointers, so no constructor runs.
static LIBVIRT_LIBRARY mLibvirt;

const LIBVIRT_LIBRARY *
LoadLibvirtLibrary (std::string *Error)
{
  static const OPTIONAL_SYMBOL Symbols[] = {
    { "virConnectOpenReadOnly", reinterpret_cast<void **> (&mLibvirt.OpenReadOnly) },
    { "virConnectClose", reinterpret_cast<void **> (&mLibvirt.Close) },
    { "virConnectGetCapabilities", reinterpret_cast<void **> (&mLibvirt.GetCapabilities) },
    { "virDomainLookupByName", reinterpret_cast<void **> (&mLibvirt.LookupByName) },
    { "virDomainGetState", reinterpret_cast<void **> (&mLibvirt.GetState) },
    { "virDomainHasManagedSaveImage", reinterpret_cast<void **> (&mLibvirt.HasManagedSaveImage) },
    { "virDomainGetXMLDesc", reinterpret_cast<void **> (&mLibvirt.GetXmlDesc) },
    { "virDomainFree", reinterpret_cast<void **> (&mLibvirt.FreeDomain) },
    { "virSetErrorFunc", reinterpret_cast<void **> (&mLibvirt.SetErrorFunc) },
    { "virGetLastErrorCode", reinterpret_cast<void **> (&mLibvirt.GetLastErrorCode) },
    { "virGetLastErrorMessage", reinterpret_cast<void **> (&mLibvirt.GetLastErrorMessage) },
  };
  static const OPTIONAL_LIBRARY Library = { "libvirt.so.0", "libvirt0", Symbols,
                                            sizeof (Symbols) / sizeof (Symbols[0]) };

  return LoadOptionalLibrary (&Library, Error) ? &mLibvirt : NULL;
}
