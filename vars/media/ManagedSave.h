/** @file
  The managed-save trap: an edit to a libvirt domain's NVRAM while the
  domain has a managed save image is undone when the domain starts, since
  the restore puts the saved flash contents back over the file.
**/

#ifndef MANAGED_SAVE_H_
#define MANAGED_SAVE_H_

#include <string>

/**
  Finds the managed save image of the libvirt domain whose NVRAM file Path
  is by its place and name: DIR/qemu/nvram/NAME_VARS.fd (or NAME_VARS.qcow2),
  as libvirt names it under /var/lib/libvirt (qemu:///system) or
  ~/.config/libvirt (qemu:///session), and its image DIR/qemu/save/NAME.save.
  A file of another name that is a hard link of one in those folders is
  taken by that name.

  @param[in]  Path    The file's name, every link in it resolved.
  @param[out] Domain  Receives the domain's name when it has an image.

  @return The image's path, or an empty string when there is none.
**/
std::string FindManagedSaveImage (const std::string &Path, std::string *Domain);

#endif
