/** @file
  Loading an optional library at run time.
**/

#include "vars/dl/OptionalLibrary.h"

#include <dlfcn.h>
#include <errno.h>
#include <string.h>

bool
LoadOptionalLibrary (const OPTIONAL_LIBRARY *Library, std::string *Error)
{
  // The library stays loaded until the run ends, as its routines may be
  // called until then; a second load only finds it again.
  void *Handle = dlopen (Library->Soname, RTLD_NOW | RTLD_LOCAL);

  // The loader's first words name the file it could not load: the library, or one it needs.
  if (Handle == NULL) {
    const char *Reason = dlerror ();

    bool Absent = (strncmp (Reason, Library->Soname, strlen (Library->Soname)) == 0) &&
                  (Reason[strlen (Library->Soname)] == ':') &&
                  (strstr (Reason, strerror (ENOENT)) != NULL);

    *Error = Absent ? std::string (Library->Soname) + " is missing: install the Debian package " +
                          Library->Package
                    : std::string (Library->Soname) + " cannot be loaded (" + Reason +
                          "): install the Debian package " + Library->Package +
                          " with its dependencies";
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
