/** @file
  brisvane-vars --domain: a libvirt domain's NVRAM found through libvirt's
  own interface (libvirt.so.0, loaded when --domain is used), and made from
  the domain's template as libvirt makes it when the domain has never
  started.
**/

#ifndef DOMAIN_H_
#define DOMAIN_H_

#include "vars/media/Template.h"

#include <sys/types.h>

#include <string>

///
/// The NVRAM of a shut-off domain, as its inactive definition names it.
///
typedef struct {
  std::string Path;        ///< The file or block device.
  bool        Absent;      ///< Path does not exist yet: the domain has never started.
  std::string Template;    ///< What libvirt makes it from; "" when the definition names none.
  bool        ManagedSave; ///< It has a managed save image, which a write must not meet.
  bool        Owned;       ///< Uid and Gid are the owner that libvirt gives a new one.
  uid_t       Uid;
  gid_t       Gid;
} DOMAIN_NVRAM;

/**
  Finds the NVRAM of the domain Name, through libvirt at Uri, and makes sure
  that no running QEMU holds it; a managed save image, which would undo a
  write but not a read, is noted.

  @param[in]  Name     The domain's name.
  @param[in]  Uri      libvirt's URI, or NULL for LIBVIRT_DEFAULT_URI where
                       it is set and not empty, else qemu:///system.
  @param[in]  Writing  Whether the command may write: only then, and only of
                       a system daemon (a session one runs QEMU as this
                       user), is the owner of an NVRAM yet to be made asked
                       of libvirt.
  @param[out] Nvram    Receives its NVRAM.
  @param[out] Error    Receives a message on failure.

  @retval 0                       Found, and the domain is shut off.
  @retval VarsExitMissing         libvirt or libxml2 is missing.
  @retval VarsExitRemote          Uri leads to another host.
  @retval VarsExitNoDomain        libvirt cannot be reached, has no such domain, or the domain
                                  has no NVRAM.
  @retval VarsExitVirtualMachine  The domain is running, paused or otherwise not shut off.
  @retval VarsExitNetworkNvram    Its NVRAM is on the network.
  @retval VarsExitCannotRead      Its NVRAM is of no kind this tool opens, or is absent with no
                                  template to make it from.
**/
int FindDomainNvram (
    const char   *Name,
    const char   *Uri,
    bool          Writing,
    DOMAIN_NVRAM *Nvram,
    std::string  *Error);

/**
  Creates an absent NVRAM from its template as libvirt would at the
  domain's first start: mode 0600, owned by the user and group that libvirt
  runs QEMU as.

  @param[in]  Nvram  What FindDomainNvram found.
  @param[out] Made   Receives the file made, or Existed when another run
                     or libvirt made it meanwhile.
  @param[out] Error  Receives a message on failure.

  @retval 0  Created.
  @return    CreateFromTemplate's refusals, or VarsExitCannotWrite when it cannot be given its
             owner (it is removed again).
**/
int CreateDomainNvram (const DOMAIN_NVRAM *Nvram, MADE_FILE *Made, std::string *Error);

#endif
