/** @file
  Loading an optional library at run time.
**/

#include "vars/OptionalLibrary.h"

#include <dlfcn.h>

bool
LoadOptionalLibrary (const OPTIONAL_LIBRARY *Library, std::string *Error)
{
  // The library stays loaded until the run ends, as its routines may be
  // called until then; a second load only finds it again.
  void *Handle = dlopen (Library->Soname, RTLD_NOW | RTLD_LOCAL);

  if (Handle == NULL) {
    *Error = std::string (Library->Soname) + " is missing: install the Debian package " +
             Library->Package;
    return false;
  }

  for (UINTN Index = 0; Index < Library->SymbolCount; Index++) {
    void *Address = dlsym (Handle, Library->Symbols[Index].Name);

    if (Address == NULL) {
      *Error = std::string (Library->Soname) + " has no " + Library->Symbols[Index].Name +
               ": install a newer " + Library->Package;
      return false;
    }

    *Library->Symbols[Index].Address = Address;
  }

  return true;
}
