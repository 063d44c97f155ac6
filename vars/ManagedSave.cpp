/** @file
  A libvirt domain's managed save image, found from its NVRAM file's name.
**/

#include "vars/ManagedSave.h"

#include <sys/stat.h>

// The names libvirt gives a domain's NVRAM file (qemuDomainNVRAMPathFormat), by its format.
static const char *const mNvramSuffixes[] = { "_VARS.fd", "_VARS.qcow2" };

static bool
EndsWith (const std::string &Text, const std::string &End)
{
  return (Text.size () > End.size ()) &&
         (Text.compare (Text.size () - End.size (), End.size (), End) == 0);
}

std::string
FindManagedSaveImage (const std::string &Path, std::string *Domain)
{
  const std::string Folder = "/qemu/nvram/";
  size_t            Name   = Path.rfind ('/') + 1;
  std::string       Image;
  struct stat       Status;

  if ((Name < Folder.size ()) ||
      (Path.compare (Name - Folder.size (), Folder.size (), Folder) != 0)) {
    return "";
  }

  for (const char *Suffix : mNvramSuffixes) {
    if (EndsWith (Path.substr (Name), Suffix)) {
      *Domain = Path.substr (Name, Path.size () - Name - std::string (Suffix).size ());
      Image   = Path.substr (0, Name - Folder.size ()) + "/qemu/save/" + *Domain + ".save";
    }
  }

  return (!Image.empty () && (stat (Image.c_str (), &Status) == 0)) ? Image : "";
}
