/** @file
  A libvirt domain's managed save image, found from its NVRAM file's name.
**/

#include "vars/media/ManagedSave.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

// The names libvirt gives a domain's NVRAM file (qemuDomainNVRAMPathFormat), by its format.
static const char *const mNvramSuffixes[] = { "_VARS.fd", "_VARS.qcow2" };

static bool
EndsWith (const std::string &Text, const std::string &End)
{
  return (Text.size () > End.size ()) &&
         (Text.compare (Text.size () - End.size (), End.size (), End) == 0);
}

// The image of the domain whose NVRAM file is at Path by libvirt's names, or "".
static std::string
FindByName (const std::string &Path, std::string *Domain)
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

/**
  The folders where libvirt keeps its domains' NVRAM files: qemu:///system's,
  and this user's qemu:///session's.
**/
static std::vector<std::string>
NvramFolders (void)
{
  const char              *Config  = getenv ("XDG_CONFIG_HOME");
  const char              *Home    = getenv ("HOME");
  std::vector<std::string> Folders = { "/var/lib/libvirt/qemu/nvram" };

  if ((Config != NULL) && (Config[0] == '/')) {
    Folders.push_back (std::string (Config) + "/libvirt/qemu/nvram");
  } else if ((Home != NULL) && (Home[0] == '/')) {
    Folders.push_back (std::string (Home) + "/.config/libvirt/qemu/nvram");
  }

  return Folders;
}

// The name in Folder of the file Status describes, or "".
static std::string
FindLink (const std::string &Folder, const struct stat *Status)
{
  DIR           *Files = opendir (Folder.c_str ());
  struct dirent *Entry;
  struct stat    Other;
  std::string    Found;

  while ((Files != NULL) && Found.empty () && ((Entry = readdir (Files)) != NULL)) {
    std::string Name = Folder + "/" + Entry->d_name;

    if ((lstat (Name.c_str (), &Other) == 0) && (Other.st_dev == Status->st_dev) &&
        (Other.st_ino == Status->st_ino)) {
      Found = Name;
    }
  }

  if (Files != NULL) {
    closedir (Files);
  }

  return Found;
}

std::string
FindManagedSaveImage (const std::string &Path, std::string *Domain)
{
  std::string Image = FindByName (Path, Domain);
  struct stat Status;

  // A second name (a hard link) of a domain's NVRAM is that NVRAM too, whose name libvirt's
  // folders hold.
  if (!Image.empty () || (stat (Path.c_str (), &Status) != 0) || (Status.st_nlink < 2)) {
    return Image;
  }

  for (const std::string &Folder : NvramFolders ()) {
    std::string Link = FindLink (Folder, &Status);

    if (!Link.empty () && (Link != Path)) {
      return FindByName (Link, Domain);
    }
  }

  return "";
}
